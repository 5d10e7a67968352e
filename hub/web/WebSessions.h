#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hub/core/HubState.h"

// The web door's sign-ins: a session is a random token (the cookie) naming a client of the
// hub, so that a browser's locks and turns are its own. Sessions end after kIdle without use
// (one with a WebSocket open is in use), when signed out, or the least recently used one when
// kMaxSessions are open. No Qt.
class CWebSessions {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::hours kIdle{12};
    static constexpr std::size_t kMaxSessions = 1024;

    // A new session; returns its token. `ended` gets the client of one that made room.
    std::string Open(Clock::time_point now, std::vector<ClientId>& ended);
    // The session's client, its use noted; nothing for an unknown or ended token.
    std::optional<ClientId> Use(std::string_view token, Clock::time_point now);
    // Ends a session; returns its client.
    std::optional<ClientId> Close(std::string_view token);
    // A WebSocket of the session opened or closed: an open one keeps the session alive.
    void Sockets(std::string_view token, int change);
    // Ends the sessions idle for kIdle; returns their clients.
    std::vector<ClientId> Expire(Clock::time_point now);

  private:
    struct Session {
        ClientId client = kNoClient;
        Clock::time_point used;
        int sockets = 0;
    };
    std::map<std::string, Session, std::less<>> m_sessions;
};

// Slows down password guessing, per address: after kFreeFailures failed sign-ins the next one
// is refused until a wait that doubles with each failure (to kMaxWait). A success forgets.
class CSignInThrottle {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFreeFailures = 3;
    static constexpr std::chrono::seconds kMaxWait{60};

    // Seconds to wait before this address may try again; 0 when it may now.
    int WaitFor(const std::string& address, Clock::time_point now) const;
    void Failed(const std::string& address, Clock::time_point now);
    void Succeeded(const std::string& address) { m_failures.erase(address); }

  private:
    struct Failures {
        int count = 0;
        Clock::time_point until;
    };
    std::map<std::string, Failures> m_failures;
};

// Password hashes for the web door (argon2id, libsodium's crypto_pwhash_str).
namespace WebPassword {
// The hash to keep in --web-password-file; empty when hashing failed (out of memory).
std::string Hash(std::string_view password);
bool Verify(const std::string& hash, std::string_view password);
// True for a text that is a hash Verify can check.
bool IsHash(std::string_view text);
// 32 random bytes as hex: a session token.
std::string RandomToken();
}  // namespace WebPassword
