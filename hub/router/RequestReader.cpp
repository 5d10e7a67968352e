#include "hub/router/RequestReader.h"

void CRequestReader::Feed(std::string_view bytes, std::vector<RouterRequest>& blocks) {
    m_lines.Feed(bytes, [&](std::string_view line, bool overlong) {
        // The line reader keeps room for a carriage return: one byte more without it is still
        // over the limit.
        TakeLine(line, overlong || line.size() > kMaxLine, blocks);
    });
}

void CRequestReader::TakeLine(std::string_view line, bool overlong,
                              std::vector<RouterRequest>& blocks) {
    using Fault = RouterRequest::Fault;
    if (!m_bInBlock) {
        if (line.empty() && !overlong) {
            return;  // blank lines between blocks say nothing
        }
        m_bInBlock = true;
        m_block = RouterRequest{};
        m_nBlockLines = 0;
        m_nBlockBytes = 0;
        if (overlong) {
            m_block.fault = Fault::LineTooLong;
        } else {
            m_block.header.assign(line);
        }
        return;
    }
    if (line.empty() && !overlong) {
        blocks.push_back(std::move(m_block));
        m_block = RouterRequest{};
        m_bInBlock = false;
        return;
    }
    if (m_block.fault != Fault::None) {
        return;  // the rest of a refused block is read only to find its end
    }
    ++m_nBlockLines;
    m_nBlockBytes += line.size();
    if (overlong) {
        m_block.fault = Fault::LineTooLong;
    } else if (m_nBlockLines > kMaxBlockLines || m_nBlockBytes > kMaxBlockBytes) {
        m_block.fault = Fault::BlockTooLong;
    } else {
        m_block.lines.emplace_back(line);
        return;
    }
    // A refused block keeps nothing: its memory goes at once, not when it ends.
    m_block.header.clear();
    m_block.header.shrink_to_fit();
    std::vector<std::string>().swap(m_block.lines);
}
