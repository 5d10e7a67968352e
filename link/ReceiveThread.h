#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "link/CHandOff.h"
#include "link/CNetClient.h"
#include "platform/WorkerThread.h"

// The network receive loop: reads the client's socket in chunks of up to 1024 bytes and hands
// each chunk's text (cut at its first zero byte) to the UI thread, synchronously. A receive
// error hands over "Data receival failure!" and ends the loop; the peer closing the connection
// ends it quietly. Either way the socket it read is closed (a newer socket is left alone).
class ReceiveThread {
  public:
    static constexpr std::size_t kChunk = 1024;
    using ChunkReceiver = std::function<void(std::string_view text)>;

    ReceiveThread();
    ~ReceiveThread();
    ReceiveThread(const ReceiveThread&) = delete;
    ReceiveThread& operator=(const ReceiveThread&) = delete;

    // Starts reading the client's current socket; a loop still running is stopped first.
    // False when the client has no socket.
    bool Start(CNetClient& client, ChunkReceiver receiver, UiPost post = {});
    // Ends the loop: nothing more is handed over once this returns. The socket is shut down to
    // wake the receive (the caller closes it); the thread is joined.
    void Stop();
    // False once the loop has ended by itself or was stopped.
    bool Running() const { return m_worker.Running(); }

  private:
    std::shared_ptr<CHandOff<std::string>> m_handOff;
    WorkerThread m_worker;
    CNetClient* m_pClient = nullptr;
    CNetClient::Token m_nToken = 0;
};
