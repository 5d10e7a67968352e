#include "hub/core/CLabelsWriter.h"

#include <sys/stat.h>

#include <cerrno>
#include <thread>
#include <utility>

namespace {

// An editor that saves in place empties the file (or removes it) and writes it a moment later.
// A file seen without names is given this long (kSettleSteps looks, kSettleStep apart) to get
// them.
constexpr std::chrono::milliseconds kSettleStep{50};
constexpr int kSettleSteps = 20;

// No names on file while names are known: perhaps an editor is still writing the file.
bool NamesMayBeComing(const LabelsFileRead& read, const LabelNames& known) {
    return read.names.Empty() && !known.Empty();
}

// The file as it is now. One that stays removed gives nothing (start afresh); one that stays
// empty or cannot be read gives `known`: what every client sees stays, rather than "no names"
// being written back over the operator's file. One that stays without names but is read whole
// (the sections left, every line gone) is the operator's choice.
LabelNames Base(const std::string& path, const LabelNames& known) {
    for (int step = 0;; ++step) {
        struct stat st {};
        const bool there = ::stat(path.c_str(), &st) == 0;
        if (!there && errno != ENOENT) {
            return known;
        }
        LabelsFileRead read = there ? ReadLabelsFile(path, true) : LabelsFileRead{};
        if (!NamesMayBeComing(read, known)) {
            return std::move(read.names);
        }
        if (step == kSettleSteps) {
            const bool unwritten = there && (read.bytes == 0 || !read.warnings.empty());
            return unwritten ? known : std::move(read.names);
        }
        std::this_thread::sleep_for(kSettleStep);
    }
}

}  // namespace

CLabelsWriter::CLabelsWriter(std::string path, LabelNames known,
                             std::function<void(const Written&)> written)
    : m_strPath(std::move(path)), m_written(std::move(written)), m_known(std::move(known)) {
    m_thread = std::thread([this] { Work(); });
}

CLabelsWriter::~CLabelsWriter() {
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

std::uint64_t CLabelsWriter::Change(const std::vector<LabelChange>& changes) {
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(m_mutex);
        m_pending.insert(m_pending.end(), changes.begin(), changes.end());
        generation = ++m_nHandedIn;
    }
    m_wake.notify_all();
    return generation;
}

void CLabelsWriter::Flush() {
    std::unique_lock lock(m_mutex);
    m_bHurry = true;
    m_wake.notify_all();
    m_done.wait(lock, [this] { return m_nWritten == m_nHandedIn; });
    m_bHurry = false;
}

void CLabelsWriter::Work() {
    auto lastWrite = std::chrono::steady_clock::now() - kMinInterval;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_bStop || !m_pending.empty(); });
        if (m_pending.empty()) {
            return;  // stopping, nothing left
        }
        // Changes that come meanwhile join this write.
        m_wake.wait_until(lock, lastWrite + kMinInterval, [this] { return m_bStop || m_bHurry; });
        std::vector<LabelChange> changes = std::exchange(m_unwritten, {});
        changes.insert(changes.end(), m_pending.begin(), m_pending.end());
        m_pending.clear();
        const std::uint64_t generation = m_nHandedIn;
        lock.unlock();

        LabelNames names = Base(m_strPath, m_known);
        for (const LabelChange& change : changes) {
            auto& side = change.input ? names.inputs : names.outputs;
            if (change.name.empty()) {
                side.erase(change.number);
            } else {
                side[change.number] = change.name;
            }
        }
        const bool ok = WriteLabelsFile(m_strPath, names);
        if (ok) {
            m_known = names;
        } else {
            // Written with the next change: a full disk emptied later loses nothing, and a
            // file that cannot be written is not tried again and again meanwhile.
            m_unwritten = std::move(changes);
        }
        m_written(Written{generation, ok, ok ? std::move(names) : m_known});
        lastWrite = std::chrono::steady_clock::now();

        lock.lock();
        m_nWritten = generation;
        m_done.notify_all();
    }
}
