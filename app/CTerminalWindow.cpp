#include "app/CTerminalWindow.h"

#include <QKeyEvent>

#include "terminal/CAdFunView.h"

namespace {
constexpr int kGap = 8;  // between the main window's frame and this one
}  // namespace

CTerminalWindow::CTerminalWindow(CAdFunView* view, QWidget* owner)
    : QWidget(owner, Qt::Window), m_pView(view) {
    setWindowTitle("Serial Terminal");
    view->setParent(this);
    view->move(0, 0);
    view->setEnabled(true);
    view->show();
    setFixedSize(view->size());
}

void CTerminalWindow::ShowBesideOwner() {
    if (const QWidget* owner = parentWidget()) {
        move(owner->frameGeometry().topRight() + QPoint(kGap, 0));
    }
    show();
}

void CTerminalWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        m_pView->OnSend();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}
