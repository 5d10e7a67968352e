#include "hub/core/CFileWriter.h"

#include <utility>

#include "access/SettingsFiles.h"

CFileWriter::CFileWriter(std::string path, unsigned mode, std::function<void()> failed)
    : m_strPath(std::move(path)),
      m_nMode(mode),
      m_failed(std::move(failed)),
      m_thread([this] { Work(); }) {}

CFileWriter::~CFileWriter() {
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void CFileWriter::Write(std::string content) {
    {
        std::lock_guard lock(m_mutex);
        m_pending = std::move(content);
    }
    m_wake.notify_one();
}

void CFileWriter::Work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_bStop || m_pending; });
        if (!m_pending) {
            return;  // stopped with nothing waiting
        }
        const std::string content = *std::exchange(m_pending, std::nullopt);
        lock.unlock();
        if (!ReplaceSettingsFile(m_strPath, content, m_nMode)) {
            m_failed();
        }
        lock.lock();
    }
}
