#include "platform/qt/UiPost.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <utility>

// ThreadSanitizer sees only the locks and atomics of code it compiled. Qt's own are not among
// them: QCoreApplication::postEvent puts the task in the receiving thread's event queue under
// that queue's mutex, and the UI thread takes it out under the same mutex, so everything the
// worker wrote before posting happens before the UI thread runs the task, but TSan cannot see
// it and reports the task's captures as a race. The hand-over below tells it what Qt's mutex
// does; in any other build it is nothing.
#if defined(__SANITIZE_THREAD__)
#define MATRIXPANEL_TSAN_ANNOTATE 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MATRIXPANEL_TSAN_ANNOTATE 1
#endif
#endif

#ifdef MATRIXPANEL_TSAN_ANNOTATE
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace {

// The task as it travels: queued on the application object, which outlives every worker, and
// run only if the target still lives when its turn comes, so the worker never touches the
// target itself. Every construction publishes the object at its new address (the last one is
// the copy Qt keeps in its queued call, after which the worker writes nothing there); the UI
// thread takes it over before it reads anything, also when Qt drops the call unrun.
class QueuedTask {
  public:
    QueuedTask(QPointer<QObject> target, std::function<void()> task)
        : m_target(std::move(target)), m_task(std::move(task)) {
        Publish();
    }
    QueuedTask(QueuedTask&& other) noexcept
        : m_target(std::move(other.m_target)), m_task(std::move(other.m_task)) {
        Publish();
    }
    QueuedTask(const QueuedTask&) = delete;
    QueuedTask& operator=(const QueuedTask&) = delete;
    QueuedTask& operator=(QueuedTask&&) = delete;
    ~QueuedTask() { TakeOver(); }

    void operator()() {
        TakeOver();
        if (!m_target.isNull() && m_task) {
            m_task();
        }
    }

  private:
    void Publish() {
#ifdef MATRIXPANEL_TSAN_ANNOTATE
        __tsan_release(this);
#endif
    }
    void TakeOver() {
#ifdef MATRIXPANEL_TSAN_ANNOTATE
        __tsan_acquire(this);
#endif
    }

    QPointer<QObject> m_target;
    std::function<void()> m_task;
};

}  // namespace

UiPost MakeUiPost(QObject* context) {
    QPointer<QObject> target(context);
    return [target](std::function<void()> task) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), QueuedTask(target, std::move(task)),
                                  Qt::QueuedConnection);
    };
}
