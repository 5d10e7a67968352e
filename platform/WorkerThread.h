#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

// A worker thread whose stop flag lives in state shared with the thread itself. Stop sets the
// flag, runs the caller's wake-up (which makes a blocked call return) and joins. A worker
// stopped from its own code (a receiver that ran on the worker thread) cannot join itself: it
// is detached, and since its body reads only the shared flags and what it captured, its owner
// may be gone by the time it looks at the flag and ends.
class WorkerThread {
  public:
    struct Flags {
        std::atomic<bool> stop{false};
        std::atomic<bool> running{false};
        std::atomic<bool> published{false};  // the owner knows the thread
    };
    using Body = std::function<void(const Flags& flags)>;

    WorkerThread() = default;
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Runs body on a new thread; a worker still running is stopped first (with no wake-up).
    void Start(Body body);
    // The wake-up runs after the flag is set, also when no worker was started.
    void Stop(const std::function<void()>& wake = {});
    // True from Start until the body has returned.
    bool Running() const { return m_flags && m_flags->running.load(); }

  private:
    std::shared_ptr<Flags> m_flags;
    std::thread m_thread;
};
