#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// Keeps one file up to date on a thread of its own: each Write hands in the whole new content,
// and the thread replaces the file with the latest one handed in (through the settings writer:
// old or new content, never torn), so that a write's fsyncs never hold up the event loop and a
// burst of changes costs one write. Stopping (the destructor) writes what still waits.
class CFileWriter {
  public:
    // `failed` is called on the writer's thread when a write fails.
    CFileWriter(std::string path, unsigned mode, std::function<void()> failed);
    ~CFileWriter();
    CFileWriter(const CFileWriter&) = delete;
    CFileWriter& operator=(const CFileWriter&) = delete;

    void Write(std::string content);

  private:
    void Work();

    const std::string m_strPath;
    const unsigned m_nMode;
    const std::function<void()> m_failed;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::optional<std::string> m_pending;
    bool m_bStop = false;
    std::thread m_thread;
};
