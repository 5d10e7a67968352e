#include "platform/qt/UiPost.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

UiPost MakeUiPost(QObject* context) {
    QPointer<QObject> target(context);
    return [target](std::function<void()> task) {
        // Queued on the application object, which outlives every worker, and run only if the
        // target still lives when its turn comes: the worker never touches the target itself.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [target, task = std::move(task)] {
                if (!target.isNull()) {
                    task();
                }
            },
            Qt::QueuedConnection);
    };
}
