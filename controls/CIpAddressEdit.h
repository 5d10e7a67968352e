#pragma once

#include <QFrame>

#include <array>
#include <cstdint>

class QLineEdit;

// An IPv4 address entry: four fields of 0..255 with dots between them. Typing a dot, or a
// third digit, moves on to the next field; Backspace in an empty field goes back to the
// previous one; a number above 255 is cut to 255. A blank field reads as 0.
class CIpAddressEdit : public QFrame {
    Q_OBJECT
  public:
    static constexpr int kFields = 4;

    explicit CIpAddressEdit(QWidget* parent = nullptr);

    std::array<std::uint8_t, kFields> Address() const;
    bool IsBlank() const;
    QLineEdit* Field(int index) const { return m_fields[static_cast<std::size_t>(index)]; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void OnEdited(int index);
    void FocusField(int index, bool selectAll);
    int IndexOf(const QObject* field) const;

    std::array<QLineEdit*, kFields> m_fields{};
};
