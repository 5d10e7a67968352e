#include "hub/web/WebSessions.h"

#include <sodium.h>

#include <algorithm>

std::string CWebSessions::Open(Clock::time_point now, std::vector<ClientId>& ended) {
    if (m_sessions.size() >= kMaxSessions) {
        const auto oldest = std::min_element(
            m_sessions.begin(), m_sessions.end(),
            [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
        ended.push_back(oldest->second.client);
        m_sessions.erase(oldest);
    }
    std::string token = WebPassword::RandomToken();
    m_sessions[token] = Session{NewClientId(), now, 0};
    return token;
}

std::optional<ClientId> CWebSessions::Use(std::string_view token, Clock::time_point now) {
    const auto found = m_sessions.find(token);
    if (found == m_sessions.end()) {
        return std::nullopt;
    }
    found->second.used = now;
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

void CSignInThrottle::Failed(const std::string& address, Clock::time_point now) {
    // Forget addresses whose wait is long over, so that a spray of them stays small.
    if (m_failures.size() >= 4096) {
        std::erase_if(m_failures,
                      [&](const auto& entry) { return entry.second.until + kMaxWait * 10 < now; });
    }
    Failures& failures = m_failures[address];
    ++failures.count;
    if (failures.count >= kFreeFailures) {
        const int doublings = std::min(failures.count - kFreeFailures, 6);
        failures.until =
            now + std::min<std::chrono::seconds>(kMaxWait, std::chrono::seconds(1 << doublings));
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
