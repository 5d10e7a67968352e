#include "controls/CIpAddressEdit.h"

#include <algorithm>

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

namespace {
constexpr int kMaxDigits = 3;
constexpr int kMaxValue = 255;
}  // namespace

CIpAddressEdit::CIpAddressEdit(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Base));
    setPalette(pal);

    auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]{0,3}"), this);
    for (int k = 0; k < kFields; ++k) {
        auto* field = new QLineEdit(this);
        field->setFrame(false);
        field->setAlignment(Qt::AlignCenter);
        field->setMaxLength(kMaxDigits);
        field->setValidator(digits);
        field->installEventFilter(this);
        connect(field, &QLineEdit::textEdited, this, [this, k] { OnEdited(k); });
        m_fields[static_cast<std::size_t>(k)] = field;
        if (k > 0) {
            auto* dot = new QLabel(".", this);
            dot->setObjectName(QString("dot%1").arg(k));
            dot->setAlignment(Qt::AlignCenter);
        }
    }
    setFocusProxy(m_fields[0]);
}

std::array<std::uint8_t, CIpAddressEdit::kFields> CIpAddressEdit::Address() const {
    std::array<std::uint8_t, kFields> address{};
    for (std::size_t k = 0; k < address.size(); ++k) {
        // The validator admits digits only and edits clamp to 255; a blank field reads 0.
        address[k] = static_cast<std::uint8_t>(std::min(m_fields[k]->text().toInt(), kMaxValue));
    }
    return address;
}

bool CIpAddressEdit::IsBlank() const {
    for (const QLineEdit* field : m_fields) {
        if (!field->text().isEmpty()) {
            return false;
        }
    }
    return true;
}

void CIpAddressEdit::OnEdited(int index) {
    QLineEdit* field = Field(index);
    if (field->text().toInt() > kMaxValue) {
        field->setText(QString::number(kMaxValue));
    }
    if (field->text().size() == kMaxDigits && index + 1 < kFields) {
        FocusField(index + 1, true);
    }
}

void CIpAddressEdit::FocusField(int index, bool selectAll) {
    QLineEdit* field = Field(index);
    field->setFocus(Qt::OtherFocusReason);
    if (selectAll) {
        field->selectAll();
    } else {
        field->end(false);
    }
}

int CIpAddressEdit::IndexOf(const QObject* field) const {
    for (int k = 0; k < kFields; ++k) {
        if (Field(k) == field) {
            return k;
        }
    }
    return -1;
}

bool CIpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
    const int index = IndexOf(watched);
    if (index < 0 || event->type() != QEvent::KeyPress) {
        return QFrame::eventFilter(watched, event);
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    QLineEdit* field = Field(index);
    if (key->text() == "." || key->key() == Qt::Key_Period) {
        if (index + 1 < kFields && !field->text().isEmpty()) {
            FocusField(index + 1, true);
        }
        return true;  // a dot is never part of a field
    }
    if (key->key() == Qt::Key_Backspace && field->text().isEmpty() && index > 0) {
        FocusField(index - 1, false);
        return true;
    }
    if (key->key() == Qt::Key_Right && field->cursorPosition() == field->text().size() &&
        index + 1 < kFields) {
        FocusField(index + 1, false);
        Field(index + 1)->setCursorPosition(0);
        return true;
    }
    if (key->key() == Qt::Key_Left && field->cursorPosition() == 0 && index > 0) {
        FocusField(index - 1, false);
        return true;
    }
    return QFrame::eventFilter(watched, event);
}

void CIpAddressEdit::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    const QRect inner = contentsRect();
    const int dotWidth = 6;
    const int fieldWidth = (inner.width() - dotWidth * (kFields - 1)) / kFields;
    int x = inner.left();
    for (int k = 0; k < kFields; ++k) {
        if (k > 0) {
            if (auto* dot = findChild<QLabel*>(QString("dot%1").arg(k))) {
                dot->setGeometry(x, inner.top(), dotWidth, inner.height());
            }
            x += dotWidth;
        }
        Field(k)->setGeometry(x, inner.top(), fieldWidth, inner.height());
        x += fieldWidth;
    }
}
