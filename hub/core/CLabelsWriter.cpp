#include "hub/core/CLabelsWriter.h"

#include <sys/stat.h>

#include <cerrno>
#include <utility>

namespace {

// The file as it is now: nothing when it was removed (start afresh), `known` when it is there
// but gives nothing and a complaint (what is known stays rather than every name being dropped).
LabelNames Base(const std::string& path, const LabelNames& known) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? LabelNames{} : known;
    }
    LabelsFileRead read = ReadLabelsFile(path, true);
    return read.names.Empty() && !read.warnings.empty() ? known : std::move(read.names);
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
