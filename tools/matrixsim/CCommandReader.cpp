#include "tools/matrixsim/CCommandReader.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

std::vector<std::string> CCommandReader::Feed(std::string_view bytes) {
    m_strPending.append(bytes);
    std::vector<std::string> commands;
    for (;;) {
        std::size_t start = 0;
        while (start < m_strPending.size() && IsBlank(m_strPending[start])) {
            ++start;
        }
        m_strPending.erase(0, start);
        if (m_strPending.empty()) {
            break;
        }
        if (m_strPending.rfind("AT", 0) == 0) {
            const std::size_t end = m_strPending.find_first_of("\r\n");
            const std::size_t length = end == std::string::npos ? m_strPending.size() : end;
            commands.push_back(m_strPending.substr(0, length));
            m_strPending.erase(0, length);
            continue;
        }
        const std::size_t end = m_strPending.find_first_of(".;");
        if (end == std::string::npos) {
            break;
        }
        commands.push_back(m_strPending.substr(0, end + 1));
        m_strPending.erase(0, end + 1);
    }
    if (m_strPending.size() > kMaxPending) {
        m_strPending.clear();
    }
    return commands;
}
