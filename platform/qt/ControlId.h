#pragma once

#include <QWidget>

// Every control carries the id its window gives it, so handlers and tests find controls by
// id the way the rest of the program names them.
void SetControlId(QWidget* control, int id);
int ControlId(const QWidget* control);  // -1 when the control has none

// The first direct or indirect child of `parent` with this id, or nullptr.
QWidget* FindControl(const QWidget* parent, int id);

template <typename T>
T* FindControlAs(const QWidget* parent, int id) {
    return qobject_cast<T*>(FindControl(parent, id));
}
