#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "panel/ReplyLineReader.h"

// One block a router-protocol client sent: its header line ("VIDEO OUTPUT ROUTING:") and the
// lines up to the blank line that ended it. A block that broke a limit keeps neither; it is
// only there to be refused.
struct RouterRequest {
    enum class Fault {
        None,
        LineTooLong,   // a line over kMaxLine bytes
        BlockTooLong,  // more than kMaxBlockLines lines, or more than kMaxBlockBytes bytes
    };

    std::string header;
    std::vector<std::string> lines;
    Fault fault = Fault::None;

    bool operator==(const RouterRequest&) const = default;
};

// Cuts what one client sends into blocks. Lines end with "\n" or "\r\n"; blank lines between
// blocks are ignored. Memory stays bounded whatever arrives: an overlong line is dropped as the
// shared line reader drops it, and a block past its limits keeps reading (to find its end) but
// no longer keeps its lines. Not thread-safe.
class CRequestReader {
  public:
    static constexpr std::size_t kMaxLine = ReplyLineReader::kMaxLine;
    static constexpr std::size_t kMaxBlockLines = 4096;
    // What the largest real request needs (a label block naming all 1024 ports with 40
    // characters each, about 170 KiB; a full routing block is 16 KiB), so that clients that
    // leave blocks unfinished hold little each.
    static constexpr std::size_t kMaxBlockBytes = 256 * 1024;

    // Appends every block completed by `bytes` to `blocks`.
    void Feed(std::string_view bytes, std::vector<RouterRequest>& blocks);

    // True while a block has started and not ended.
    bool InBlock() const { return m_bInBlock; }
    // Bytes held for the block and the line not ended yet.
    std::size_t Held() const {
        const bool keeping = m_bInBlock && m_block.fault == RouterRequest::Fault::None;
        return (keeping ? m_nBlockBytes : 0) + m_lines.Pending().size();
    }

  private:
    void TakeLine(std::string_view line, bool overlong, std::vector<RouterRequest>& blocks);

    ReplyLineReader m_lines;
    RouterRequest m_block;
    bool m_bInBlock = false;
    std::size_t m_nBlockLines = 0;
    std::size_t m_nBlockBytes = 0;
};
