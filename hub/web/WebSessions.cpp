#include "hub/web/WebSessions.h"

#include <sodium.h>

#include <algorithm>
#include <utility>

std::optional<CWebSessions::Opened> CWebSessions::Open(Clock::time_point now,
                                                       std::vector<ClientId>& ended) {
    if (m_sessions.size() >= kMaxSessions) {
        const auto spare = Spare(now);
        if (spare == m_sessions.end()) {
            return std::nullopt;
        }
        ended.push_back(spare->second.client);
        m_sessions.erase(spare);
    }
    Opened opened{WebPassword::RandomToken(), NewClientId()};
    m_sessions[opened.token] = Session{opened.client, now, 0, false};
    return opened;
}

// The least recently used of the sessions whose cookie never came back (a script that keeps
// no cookies makes one per call), else of those unused for kSpareAfter; never one with a
// WebSocket open.
CWebSessions::Sessions::iterator CWebSessions::Spare(Clock::time_point now) {
    const auto order = [](const Session& session) {
        return std::pair(session.returned, session.used);
    };
    auto spare = m_sessions.end();
    for (auto at = m_sessions.begin(); at != m_sessions.end(); ++at) {
        const Session& session = at->second;
        if (session.sockets > 0 || (session.returned && now - session.used < kSpareAfter)) {
            continue;
        }
        if (spare == m_sessions.end() || order(session) < order(spare->second)) {
            spare = at;
        }
    }
    return spare;
}

std::optional<ClientId> CWebSessions::Use(std::string_view token, Clock::time_point now) {
    const auto found = m_sessions.find(token);
    if (found == m_sessions.end()) {
        return std::nullopt;
    }
    found->second.used = now;
    found->second.returned = true;
    return found->second.client;
}

std::optional<ClientId> CWebSessions::Close(std::string_view token) {
    const auto found = m_sessions.find(token);
    if (found == m_sessions.end()) {
        return std::nullopt;
    }
    const ClientId client = found->second.client;
    m_sessions.erase(found);
    return client;
}

void CWebSessions::Sockets(std::string_view token, int change) {
    if (const auto found = m_sessions.find(token); found != m_sessions.end()) {
        found->second.sockets += change;
    }
}

std::vector<ClientId> CWebSessions::Expire(Clock::time_point now) {
    std::vector<ClientId> ended;
    std::erase_if(m_sessions, [&](const auto& entry) {
        const Session& session = entry.second;
        if (session.sockets > 0 || now - session.used < kIdle) {
            return false;
        }
        ended.push_back(session.client);
        return true;
    });
    return ended;
}

int CSignInThrottle::WaitFor(const std::string& address, Clock::time_point now) const {
    const auto found = m_failures.find(address);
    if (found == m_failures.end() || found->second.until <= now) {
        return 0;
    }
    return static_cast<int>(
        std::chrono::ceil<std::chrono::seconds>(found->second.until - now).count());
}

bool CSignInThrottle::FailedRecently(const std::string& address, Clock::time_point now) const {
    const auto found = m_failures.find(address);
    return found != m_failures.end() && now - found->second.last < kRecent;
}

void CSignInThrottle::Failed(const std::string& address, Clock::time_point now) {
    if (!m_failures.contains(address)) {
        MakeRoom(now);
    }
    Failures& failures = m_failures[address];
    ++failures.count;
    failures.last = now;
    if (failures.count >= kFreeFailures) {
        const int doublings = std::min(failures.count - kFreeFailures, 6);
        failures.until =
            now + std::min<std::chrono::seconds>(kMaxWait, std::chrono::seconds(1 << doublings));
    }
}

// Addresses not failed for kRecent are forgotten (their wait is long over); should a spray of
// addresses fill the table all the same, the one failed longest ago goes.
void CSignInThrottle::MakeRoom(Clock::time_point now) {
    if (m_failures.size() < kMaxAddresses) {
        return;
    }
    std::erase_if(m_failures,
                  [&](const auto& entry) { return now - entry.second.last >= kRecent; });
    if (m_failures.size() >= kMaxAddresses) {
        m_failures.erase(std::min_element(
            m_failures.begin(), m_failures.end(),
            [](const auto& a, const auto& b) { return a.second.last < b.second.last; }));
    }
}

namespace WebPassword {

namespace {
bool Ready() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}
}  // namespace

std::string Hash(std::string_view password) {
    char hash[crypto_pwhash_STRBYTES];
    if (!Ready() || crypto_pwhash_str(hash, password.data(), password.size(),
                                      crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                      crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
        return {};
    }
    return hash;
}

bool Verify(const std::string& hash, std::string_view password) {
    return Ready() && crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

bool IsHash(std::string_view text) {
    return text.substr(0, std::string_view(crypto_pwhash_STRPREFIX).size()) ==
               crypto_pwhash_STRPREFIX &&
           text.size() < crypto_pwhash_STRBYTES;
}

std::string RandomToken() {
    unsigned char bytes[32];
    Ready();
    randombytes_buf(bytes, sizeof bytes);
    char hex[sizeof bytes * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    return hex;
}

}  // namespace WebPassword
