#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string_view>

#include "link/LinkTypes.h"
#include "platform/WakeEvent.h"

// The TCP client of the network link. The socket is shared by the UI thread (Create, Send,
// Close) and the connect and receive threads; those threads name the socket they were started
// for by its token, so a socket that was closed, or replaced by a newer one, is never used by
// them. A descriptor is closed exactly once, and only when no call on any thread is still
// using it: Close shuts the socket down at once (which wakes a blocked connect or receive) and
// the last user closes it.
class CNetClient {
  public:
    using Token = std::uint64_t;  // names one socket of this client; 0 = none
    static constexpr int kNoSocket = -1;
    // How long a send may wait for room in the socket's buffers before it fails.
    static constexpr int kSendTimeLimitMs = 1000;

    CNetClient();
    ~CNetClient();
    CNetClient(const CNetClient&) = delete;
    CNetClient& operator=(const CNetClient&) = delete;

    // Starts the sockets library and makes a new IPv4 socket of the type. A socket still held
    // (one whose connect failed) is closed first.
    bool Create(int type = SOCK_STREAM);
    // Keeps the route, appends the terminator that route and flag select, sends in one call.
    // Anything short of all bytes, also a send that finds no room within kSendTimeLimitMs,
    // shows "Send failure!". A send cut off after part of its bytes also closes the socket,
    // as a lost link: nothing may follow half a command.
    bool Send(std::string_view text, ::ReplyRoute route, TerminatorFlag flag);
    // The network module's baud command for a position of its five-entry table; false when
    // the send failed.
    bool SetModuleBaud(int index);
    // The module's other line commands, sent and reported like the baud command.
    bool SetModuleParity(int position);
    bool SetModuleDataBits(int position);
    bool SetModuleStopBits(int position);
    // Closes the socket and ends this use of the sockets library; nothing when there is none.
    void Close();

    bool HasSocket() const;
    Token SocketToken() const;
    int ReplyRoute() const { return m_nReplyRoute.load(); }
    // The window the message boxes belong to (opaque here).
    void SetOwner(const void* owner) { m_pOwner = owner; }

    // For the connect and receive threads, each with the socket it was started for.
    // Connect returns 0 or the error code; Receive returns what recv returns (-1 with EBADF when
    // the socket is gone, with ECONNABORTED when it was closed here while the receive waited:
    // 0 is the peer's own close only).
    int Connect(Token token, const sockaddr_in& address);
    long Receive(Token token, char* buffer, std::size_t size);
    // Shuts the socket down if it is still current: a blocked receive returns, and so does a
    // connect in progress (which a shutdown alone would leave waiting for its handshake).
    void Interrupt(Token token);
    // Close, but only while token still names the current socket.
    void CloseIf(Token token);

  private:
    int Acquire(Token token);
    void Release(int fd);
    void CloseLocked();
    bool ConnectAbandoned(Token token) const;

    mutable std::mutex m_mutex;
    int m_hSocket = kNoSocket;
    Token m_nToken = 0;
    Token m_nLastToken = 0;
    std::map<int, int> m_users;  // descriptor -> calls using it right now
    std::set<int> m_retired;     // shut down, closed by their last user
    Token m_nInterrupted = 0;    // the socket whose connect was abandoned
    WakeEvent m_wake;            // wakes a connect in progress
    std::atomic<int> m_nReplyRoute{1};
    const void* m_pOwner = nullptr;
};
