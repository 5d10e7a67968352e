#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "link/CHandOff.h"
#include "link/CNetClient.h"
#include "platform/WorkerThread.h"

// What the "Set Net" dialog hands to the connect step: the typed address (first field first),
// the typed port, and the client with the socket it made for this attempt.
struct ConnectRequest {
    std::array<std::uint8_t, 4> address{};
    std::uint16_t port = 0;
    CNetClient* client = nullptr;
    CNetClient::Token socket = 0;
};

// One connection attempt on a thread of its own. The result (0, or the error code) is handed
// to the UI thread once, synchronously; the main window turns it into WM_CONNECT_RESULT.
class ConnectThread {
  public:
    using ResultReceiver = std::function<void(int result)>;

    ConnectThread();
    ~ConnectThread();
    ConnectThread(const ConnectThread&) = delete;
    ConnectThread& operator=(const ConnectThread&) = delete;

    // Starts an attempt with its own copy of the request. An attempt still running is
    // abandoned first (see Stop).
    bool Start(const ConnectRequest& request, ResultReceiver receiver, UiPost post = {});
    // Abandons the attempt: its result is never handed over, a blocked connect is woken by
    // shutting the attempt's socket down, and the thread is joined.
    void Stop();
    // True until the thread has handed its result over (or dropped it).
    bool Running() const { return m_worker.Running(); }

    // The attempt itself, on the calling thread: 0 or the error code.
    static int Connect(const ConnectRequest& request);

  private:
    std::shared_ptr<CHandOff<int>> m_handOff;
    std::shared_ptr<std::atomic<bool>> m_pConnecting;  // the attempt's connect is under way
    WorkerThread m_worker;
    ConnectRequest m_request;
};
