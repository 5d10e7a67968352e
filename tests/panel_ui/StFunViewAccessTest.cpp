#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include <set>
#include <string>
#include <vector>

#include "controls/CGradientButton.h"
#include "controls/CTextLabel.h"
#include "panel/CStFunView.h"
#include "platform/qt/ControlId.h"
#include "support/PixelCheck.h"

namespace {

QAccessibleInterface* Access(QWidget* widget) {
    return widget != nullptr ? QAccessible::queryAccessibleInterface(widget) : nullptr;
}

QString NameOf(QWidget* widget) {
    QAccessibleInterface* access = Access(widget);
    return access != nullptr ? access->text(QAccessible::Name) : QStringLiteral("<none>");
}

TEST(StFunViewAccessTest, KeysAreButtonsNamedForWhatTheyDoInEachLayout) {
    // Grid 4 x 4: header i = 4608 + i, label o = 4608 + 5 o, crosspoint = 4608 + 5 o + i.
    // Two-row 20 x 20: input j = 4607 + j, output j = 4627 + j. Keypad: 4608.. digits 1..9, 0.
    struct Case {
        int count;  // inputs and outputs
        int id;
        const char* name;
    };
    const Case cases[] = {
        {4, 4608 + 5 * 2 + 3, "Output 2, input 3"},
        {4, 4608 + 5 * 4 + 1, "Output 4, input 1"},
        {4, 4608 + 3, "Input 3"},
        {4, 4608 + 5 * 2, "Output 2"},
        {4, 4608, "Outputs by inputs"},
        {4, 4352, "AV"},
        {4, 4357, "<-"},
        {4, 4364, "Unlock"},
        {16, 4896, "Output 16, input 16"},
        {20, 4607 + 7, "Input 7"},
        {20, 4627 + 12, "Output 12"},
        {20, 4627 + 1, "Output 1"},
        {20, 4360, "Save"},
        {64, 4608 + 3, "Input digit 4"},
        {64, 4618 + 3, "Output digit 4"},
        {64, 4608 + 9, "Input digit 0"},
        {64, 4618 + 9, "Output digit 0"},
        {64, 5121, "Enter"},
        {64, 4362, "Clear"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " x " << c.count << ", key " << c.id);
        CStFunView view(c.count, c.count, QRect(0, 0, 717, 250), nullptr, 8, {});
        QAccessibleInterface* access = Access(FindControl(&view, c.id));
        ASSERT_NE(access, nullptr);
        EXPECT_EQ(access->text(QAccessible::Name), c.name);
        EXPECT_EQ(access->role(), QAccessible::Button);
    }
}

TEST(StFunViewAccessTest, NoTwoKeysShareAName) {
    for (const int count : {1, 4, 16, 20, 32, 64}) {
        SCOPED_TRACE(count);
        CStFunView view(count, count, QRect(0, 0, 717, 250), nullptr, 8, {});
        std::set<QString> names;
        const auto keys = view.findChildren<CGradientButton*>();
        for (CGradientButton* key : keys) {
            const QString name = NameOf(key);
            EXPECT_FALSE(name.isEmpty()) << ControlId(key);
            EXPECT_TRUE(names.insert(name).second) << name.toStdString();
        }
    }
}

TEST(StFunViewAccessTest, NumberFieldsAndCaptionsAreNamed) {
    CStFunView keypad(64, 64, QRect(0, 0, 717, 250), nullptr, 8, {});
    struct Field {
        NumberField field;
        const char* name;
    };
    for (const Field& f :
         {Field{NumberField::Input, "Input number"}, Field{NumberField::Output, "Output number"}}) {
        QAccessibleInterface* access = Access(keypad.NumberFieldEdit(f.field));
        ASSERT_NE(access, nullptr);
        EXPECT_EQ(access->text(QAccessible::Name), f.name);
        EXPECT_EQ(access->role(), QAccessible::EditableText);
    }

    for (const int count : {20, 64}) {
        SCOPED_TRACE(count);
        CStFunView view(count, count, QRect(0, 0, 717, 250), nullptr, 8, {});
        std::vector<QString> names;
        for (CTextLabel* label : view.findChildren<CTextLabel*>()) {
            QAccessibleInterface* access = Access(label);
            ASSERT_NE(access, nullptr);
            EXPECT_EQ(access->role(), QAccessible::StaticText);
            names.push_back(access->text(QAccessible::Name));
        }
        EXPECT_EQ(names, (std::vector<QString>{"Inputs:", "Outputs:"}));
    }
}

TEST(StFunViewAccessTest, UiAutomationPressesKeysLikeTheMouse) {
    struct Case {
        const char* name;
        int count;
        std::vector<int> presses;
        std::vector<std::string> commands;  // as the model sends them, before the terminator
    };
    const Case cases[] = {
        {"grid crosspoint", 4, {4608 + 5 * 2 + 4}, {"4B2"}},
        {"two-row input 7, output 12", 20, {4614, 4639}, {"7B12"}},
        {"keypad 12 to 3, Enter", 64, {4608, 4609, 4620, 5121}, {"12B3"}},
        {"lock", 4, {4363}, {"/%Lock"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> wire;
        CStFunView::Hooks hooks;
        hooks.send = [&wire](const std::string& text, ReplyRoute, TerminatorFlag) {
            wire.push_back(text);
        };
        CStFunView view(c.count, c.count, QRect(0, 0, 717, 250), nullptr, 8, std::move(hooks));
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
        for (const int id : c.presses) {
            CGradientButton* key = view.Key(id);
            ASSERT_NE(key, nullptr) << id;
            QAccessibleActionInterface* actions = Access(key)->actionInterface();
            ASSERT_NE(actions, nullptr) << id;
            QSignalSpy clicks(key, &QAbstractButton::clicked);
            actions->doAction(QAccessibleActionInterface::pressAction());
            ASSERT_TRUE(clicks.wait(2000)) << id;
        }
        EXPECT_EQ(wire, c.commands);
    }
}

// The outline 3 px inside `key`'s box, as the panel's image shows it.
int BlackOnOutline(const QImage& image, const QRect& key) {
    const QRect outline = key.adjusted(3, 3, -3, -3);
    int count = 0;
    for (int y = outline.top(); y <= outline.bottom(); ++y) {
        for (int x = outline.left(); x <= outline.right(); ++x) {
            const bool edge = x == outline.left() || x == outline.right() || y == outline.top() ||
                              y == outline.bottom();
            if (edge && Near(image.pixelColor(x, y), Qt::black, 10)) {
                ++count;
            }
        }
    }
    return count;
}

TEST(StFunViewAccessTest, TabFromAClickedCrosspointCuesOnlyTheNextOne) {
    CStFunView view(4, 4, QRect(0, 0, 717, 175), nullptr, 8, {});
    view.show();
    view.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    CGradientButton* clicked = view.Key(4608 + 5 + 1);  // output 1, input 1
    CGradientButton* next = view.Key(4608 + 5 + 2);     // output 1, input 2

    QTest::mouseClick(clicked, Qt::LeftButton);
    ASSERT_TRUE(clicked->hasFocus());
    const QImage before = Grab(view);
    EXPECT_EQ(BlackOnOutline(before, clicked->geometry()), 0);

    QTest::keyClick(clicked, Qt::Key_Tab);
    ASSERT_TRUE(next->hasFocus());
    const QImage after = Grab(view);
    EXPECT_EQ(BlackOnOutline(after, clicked->geometry()), 0);
    EXPECT_GE(BlackOnOutline(after, next->geometry()), 10);
    // Nothing else on the panel changes.
    const QRect outline = next->geometry().adjusted(3, 3, -3, -3);
    int changedElsewhere = 0;
    for (int y = 0; y < before.height(); ++y) {
        for (int x = 0; x < before.width(); ++x) {
            const bool onOutline =
                outline.contains(x, y) && !outline.adjusted(1, 1, -1, -1).contains(x, y);
            if (!onOutline && before.pixel(x, y) != after.pixel(x, y)) {
                ++changedElsewhere;
            }
        }
    }
    EXPECT_EQ(changedElsewhere, 0);
}

}  // namespace
