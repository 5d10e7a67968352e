#pragma once

#include <QRect>
#include <QWidget>

#include <utility>

#include "platform/qt/ControlId.h"

// Dialog templates place their controls in dialog units of the template's font. The
// 10-point "System" font of the login, password and network dialogs makes a unit 2 px each
// way; the 9-point font of the main window and the About box makes it 1.5 px.
inline QRect SystemFontUnits(int x, int y, int w, int h) {
    return QRect(x * 2, y * 2, w * 2, h * 2);
}

inline QRect SmallFontUnits(int x, int y, int w, int h) {
    return QRect(x * 3 / 2, y * 3 / 2, w * 3 / 2, h * 3 / 2);
}

// One control of a template: made on `parent` (the constructor takes `args` and then the
// parent), given its id and put in its place.
template <typename T, typename... Args>
T* AddControl(QWidget* parent, int id, const QRect& place, Args&&... args) {
    auto* control = new T(std::forward<Args>(args)..., parent);
    SetControlId(control, id);
    control->setGeometry(place);
    return control;
}
