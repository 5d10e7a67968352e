#include "platform/qt/ControlId.h"

#include <QVariant>

namespace {
constexpr const char* kIdProperty = "controlId";
}  // namespace

void SetControlId(QWidget* control, int id) {
    control->setProperty(kIdProperty, id);
}

int ControlId(const QWidget* control) {
    const QVariant id = control->property(kIdProperty);
    return id.isValid() ? id.toInt() : -1;
}

QWidget* FindControl(const QWidget* parent, int id) {
    const auto children = parent->findChildren<QWidget*>();
    for (QWidget* child : children) {
        if (ControlId(child) == id) {
            return child;
        }
    }
    return nullptr;
}
