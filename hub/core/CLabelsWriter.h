#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "access/LabelsFile.h"
#include "hub/core/LabelChange.h"

// Keeps the names clients change in the labels file, on a thread of its own: a write (two
// fsyncs and a look through the directory) never holds up the clients, and a flood of renames
// costs one write every kMinInterval, not one each. Each write goes on top of the file as it is
// then, so that names put there by hand are kept, and always ends with the last names handed
// in. A file found empty or unreadable is one an editor is still saving: it is read again a
// moment later, and the names known are kept rather than "no names" written back. Stopping
// (the destructor) writes what is still waiting first.
class CLabelsWriter {
  public:
    static constexpr std::chrono::milliseconds kMinInterval{250};

    // What one write did: the names now on file (what was known before, when it failed), and
    // the generation of the last change it holds.
    struct Written {
        std::uint64_t generation = 0;
        bool ok = false;
        LabelNames onFile;
    };

    // `written` is called on the writer's thread after each write. `known` are the names the
    // daemon started with: the base when the file cannot be read.
    CLabelsWriter(std::string path, LabelNames known, std::function<void(const Written&)> written);
    ~CLabelsWriter();
    CLabelsWriter(const CLabelsWriter&) = delete;
    CLabelsWriter& operator=(const CLabelsWriter&) = delete;

    // Hands changes in; returns their generation (counting from 1).
    std::uint64_t Change(const std::vector<LabelChange>& changes);
    // Waits until everything handed in is written (or failed).
    void Flush();

  private:
    void Work();

    const std::string m_strPath;
    const std::function<void(const Written&)> m_written;
    // The writer thread's only.
    LabelNames m_known;
    std::vector<LabelChange> m_unwritten;  // changes a failed write could not keep

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::vector<LabelChange> m_pending;
    std::uint64_t m_nHandedIn = 0;
    std::uint64_t m_nWritten = 0;
    bool m_bHurry = false;
    bool m_bStop = false;
    std::thread m_thread;
};
