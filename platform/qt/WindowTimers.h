#pragma once

#include <QObject>

#include <functional>
#include <map>

class QTimer;

// A window's timers, keyed by id as the program names them. Starting a timer that runs starts
// its period again; stopping one that does not run is harmless. Every expiry calls the
// handler with the timer's id; whether a timer repeats is the handler's business (one-shot
// timers stop themselves there).
class WindowTimers : public QObject {
    Q_OBJECT
  public:
    using Handler = std::function<void(int id)>;

    explicit WindowTimers(QObject* owner, Handler handler);

    void Start(int id, int milliseconds);
    void Stop(int id);
    bool IsActive(int id) const;
    int Interval(int id) const;  // -1 when the timer was never started

  private:
    Handler m_handler;
    std::map<int, QTimer*> m_timers;
};
