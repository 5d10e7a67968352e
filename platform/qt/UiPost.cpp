#include "platform/qt/UiPost.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>

UiPost MakeUiPost(QObject* context) {
    QPointer<QObject> target(context);
    return [target](std::function<void()> task) {
        // QPointer is only read here: a context destroyed meanwhile makes Qt drop the call.
        if (QObject* object = target.data()) {
            QMetaObject::invokeMethod(object, std::move(task), Qt::QueuedConnection);
        }
    };
}
