#pragma once

// An eventfd that one thread signals to end another thread's poll at once: closing or shutting
// down a descriptor does not wake a poll on Linux, so every blocking wait here polls this too.
class WakeEvent {
  public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    // Makes the descriptor if there is none yet; false when it cannot be made (out of
    // descriptors), and then nothing that needs waking may start.
    bool Ensure();
    int Fd() const { return m_fd; }
    void Signal();
    // Takes back a signal; true when there was one.
    bool Drain();

  private:
    int m_fd = -1;
};
