#include "platform/qt/QtMessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <QWidget>

#include "platform/MessageBox.h"

namespace {

void ShowBox(const void* owner, const std::string& text, const std::string& title) {
    // The owner is a window of ours, handed through the Qt-free links as an opaque pointer.
    auto* parent = static_cast<QWidget*>(const_cast<void*>(owner));
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title),
                    QString::fromStdString(text), QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace

void InstallQtMessageBox() {
    SetMessageBoxHook([](const void* owner, const std::string& text, const std::string& title) {
        QCoreApplication* app = QCoreApplication::instance();
        if (app == nullptr) {
            return;
        }
        if (QThread::currentThread() == app->thread()) {
            ShowBox(owner, text, title);
        } else {
            // Not waited for: a worker must never block on the UI thread that may be waiting
            // for it.
            QMetaObject::invokeMethod(
                app, [text, title] { ShowBox(nullptr, text, title); }, Qt::QueuedConnection);
        }
    });
}
