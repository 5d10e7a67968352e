#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/UiThreadPost.h"

// The synchronous hand-off from a worker thread to the UI thread. The worker's Deliver blocks
// until the UI thread has run the receiver on the payload, so a worker never races ahead of
// what the UI has taken. Stop makes every later hand-off a no-op and releases a worker that
// waits in Deliver: the stopper never waits for a worker that waits for the stopper, and once
// Stop has returned no payload reaches the receiver.
template <class Payload>
class CHandOff {
  public:
    using Receiver = std::function<void(const Payload&)>;

    CHandOff() : m_state(std::make_shared<State>()) {}
    ~CHandOff() { Stop(); }
    CHandOff(const CHandOff&) = delete;
    CHandOff& operator=(const CHandOff&) = delete;

    void SetUiPost(UiPost post) {
        std::lock_guard lock(m_state->mutex);
        m_state->post = std::move(post);
    }
    void SetReceiver(Receiver receiver) {
        std::lock_guard lock(m_state->mutex);
        m_state->receiver = std::move(receiver);
    }

    // Opens the hand-off for a new worker.
    void Arm() {
        std::lock_guard lock(m_state->mutex);
        m_state->stopped = false;
    }

    // Waits only for a receiver that is running on another thread right now (never the case
    // when the receiver runs on the UI thread and Stop is called there).
    void Stop() {
        std::lock_guard delivering(m_state->delivering);
        std::lock_guard lock(m_state->mutex);
        m_state->stopped = true;
        m_state->pending.reset();
        m_state->cv.notify_all();
    }

    // Worker thread: true when the receiver took the payload, false when it was dropped.
    bool Deliver(Payload payload) {
        const std::shared_ptr<State> state = m_state;
        std::unique_lock lock(state->mutex);
        if (state->stopped) {
            return false;
        }
        state->pending = std::move(payload);
        const std::uint64_t id = ++state->posted;
        UiPost post = state->post;
        lock.unlock();
        if (post) {
            post([state] { state->Run(); });
        } else {
            state->Run();
        }
        lock.lock();
        state->cv.wait(lock, [&] { return state->handled >= id || state->stopped; });
        return state->handled >= id;
    }

  private:
    struct State {
        std::recursive_mutex delivering;  // held while the receiver runs
        mutable std::mutex mutex;
        std::condition_variable cv;
        bool stopped = true;
        std::optional<Payload> pending;
        std::uint64_t posted = 0;
        std::uint64_t handled = 0;
        Receiver receiver;
        UiPost post;

        void Run() {
            std::lock_guard delivering_(delivering);
            std::unique_lock lock(mutex);
            if (stopped || !pending) {
                return;
            }
            Payload payload = std::move(*pending);
            pending.reset();
            const std::uint64_t id = posted;
            Receiver deliver = receiver;
            lock.unlock();
            if (deliver) {
                deliver(payload);
            }
            lock.lock();
            handled = id;
            cv.notify_all();
        }
    };

    std::shared_ptr<State> m_state;
};
