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
// (one with a WebSocket open is in use) or when signed out. When kMaxSessions are open a new
// one takes the place of a spare one; a session with a WebSocket open, or used within
// kSpareAfter, is never spare, so a flood of new sessions cannot end a panel in use. No Qt.
class CWebSessions {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::hours kIdle{12};
    static constexpr std::size_t kMaxSessions = 1024;
    static constexpr std::chrono::minutes kSpareAfter{10};

    struct Opened {
        std::string token;
        ClientId client = kNoClient;
    };
    // A new session; nothing when all kMaxSessions are in use. `ended` gets the client of a
    // spare one that made room.
    std::optional<Opened> Open(Clock::time_point now, std::vector<ClientId>& ended);
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
        bool returned = false;  // its cookie came back: the client keeps it
    };
    using Sessions = std::map<std::string, Session, std::less<>>;
    Sessions::iterator Spare(Clock::time_point now);
    Sessions m_sessions;
};

// Slows down password guessing, per address: after kFreeFailures failed sign-ins the next one
// is refused until a wait that doubles with each failure (to kMaxWait). A success forgets.
// An address failed within kRecent is a suspect: its sign-ins wait behind everyone else's.
class CSignInThrottle {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFreeFailures = 3;
    static constexpr std::chrono::seconds kMaxWait{60};
    static constexpr std::chrono::minutes kRecent{10};
    static constexpr std::size_t kMaxAddresses = 16384;

    // Seconds to wait before this address may try again; 0 when it may now.
    int WaitFor(const std::string& address, Clock::time_point now) const;
    bool FailedRecently(const std::string& address, Clock::time_point now) const;
    void Failed(const std::string& address, Clock::time_point now);
    void Succeeded(const std::string& address) { m_failures.erase(address); }

  private:
    struct Failures {
        int count = 0;
        Clock::time_point last;
        Clock::time_point until;
    };
    void MakeRoom(Clock::time_point now);
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
