// Names for inputs and outputs: the labels file, and what the panel makes of it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAccessible>
#include <QLineEdit>
#include <QTest>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "controls/CGradientButton.h"
#include "panel/CStFunView.h"
#include "panel/PanelLabels.h"
#include "support/LinkTestSupport.h"
#include "support/PixelCheck.h"

using namespace std::chrono_literals;

namespace {

std::string Write(const ScopedSysDir& dir, const std::string& content) {
    const std::string path = dir.Path() + "/labels.ini";
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

LabelsRead Read(const std::string& path, bool named = true) {
    return ReadPanelLabels(QString::fromStdString(path), named);
}

QString NameOf(QWidget* widget) {
    return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
}

PanelLabels Studio() {
    PanelLabels labels;
    labels.inputs = {{2, "Laptop HDMI"}, {7, "Camera 7"}};
    labels.outputs = {{3, "Projector"}, {12, "Stage"}};
    return labels;
}

}  // namespace

TEST(PanelLabelsFile, GoodEntriesAreUsedAndEveryBadLineIsNamed) {
    ScopedSysDir dir;
    const std::string path = Write(dir,
                                   "; the studio\n"
                                   "[inputs]\n"
                                   "1=Camera 1\n"
                                   "2 =  Laptop HDMI  \n"
                                   "0=Nothing\n"
                                   "1025=Too far\n"
                                   "this line is wrong\n"
                                   "3=" +
                                       std::string(50, 'n') +
                                       "\n"
                                       "4=Left, right\n"
                                       "5=\n"
                                       "[outputs]\n"
                                       "5=Projector\n"
                                       "x=Not a number\n");
    const LabelsRead read = Read(path);
    EXPECT_EQ(read.labels.Input(1), "Camera 1");
    EXPECT_EQ(read.labels.Input(2), "Laptop HDMI");
    EXPECT_EQ(read.labels.Input(3), QString(40, u'n')) << "cut at 40 characters";
    EXPECT_EQ(read.labels.Input(4), "Left, right");
    EXPECT_EQ(read.labels.Input(5), "") << "an empty name is no name";
    EXPECT_EQ(read.labels.Output(5), "Projector");
    EXPECT_EQ(read.labels.inputs.size(), 4u);
    EXPECT_EQ(read.labels.outputs.size(), 1u);
    const std::vector<std::string> expected = {
        "matrixpanel: " + path + ":7: not a \"number=name\" line",
        "matrixpanel: " + path + ":5: \"0\" is not a number from 1 to 1024",
        "matrixpanel: " + path + ":6: \"1025\" is not a number from 1 to 1024",
        "matrixpanel: " + path + ":13: \"x\" is not a number from 1 to 1024",
    };
    EXPECT_EQ(read.warnings, expected);
}

TEST(PanelLabelsFile, MissingOrUnfitFilesGiveNoNamesAndNeverWait) {
    ScopedSysDir dir;
    const std::string missing = dir.Path() + "/none.ini";
    EXPECT_TRUE(Read(missing, false).warnings.empty()) << "the default file may be absent";
    ASSERT_EQ(Read(missing, true).warnings.size(), 1u);

    const std::string fifo = dir.Path() + "/fifo.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string folder = dir.Path() + "/folder.ini";
    std::filesystem::create_directory(folder);
    for (const std::string& path : {fifo, folder}) {
        SCOPED_TRACE(path);
        auto read = std::async(std::launch::async, [&] { return Read(path); });
        ASSERT_EQ(read.wait_for(10s), std::future_status::ready) << "a FIFO held the start";
        const LabelsRead result = read.get();
        EXPECT_TRUE(result.labels.Empty());
        ASSERT_EQ(result.warnings.size(), 1u);
        EXPECT_EQ(result.warnings[0].rfind("matrixpanel: " + path + ": ", 0), 0u);
    }
}

TEST(PanelLabelsOnKeys, ToolTipsAndNamesInEachLayout) {
    struct Case {
        int count;
        int id;
        const char* tip;
        const char* name;
    };
    // Grid 4 x 4: header i = 4608 + i, label o = 4608 + 5 o, crosspoint = 4608 + 5 o + i.
    // Two-row 20 x 20: input j = 4607 + j, output j = 4627 + j.
    const Case cases[] = {
        {4, 4608 + 5 * 3 + 2, "Laptop HDMI \u2192 Projector",
         "Output 3 Projector, input 2 Laptop HDMI"},
        {4, 4608 + 5 * 1 + 2, "Laptop HDMI \u2192 Output 1", "Output 1, input 2 Laptop HDMI"},
        {4, 4608 + 5 * 3 + 1, "Input 1 \u2192 Projector", "Output 3 Projector, input 1"},
        {4, 4608 + 5 * 1 + 1, "", "Output 1, input 1"},
        {4, 4608 + 2, "Input 2 \u2014 Laptop HDMI", "Input 2 Laptop HDMI"},
        {4, 4608 + 1, "", "Input 1"},
        {4, 4608 + 5 * 3, "Output 3 \u2014 Projector", "Output 3 Projector"},
        {20, 4607 + 7, "Input 7 \u2014 Camera 7", "Input 7 Camera 7"},
        {20, 4627 + 12, "Output 12 \u2014 Stage", "Output 12 Stage"},
        {20, 4627 + 11, "", "Output 11"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + " / " + std::to_string(c.id));
        CStFunView panel(c.count, c.count, QRect(0, 0, 717, 475), nullptr, 8, {});
        panel.SetLabels(Studio());
        CGradientButton* key = panel.Key(c.id);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(key->toolTip().toStdString(), c.tip);
        EXPECT_EQ(NameOf(key).toStdString(), c.name);
    }
}

TEST(PanelLabelsOnKeys, AKeypadNamesTheTypedNumbers) {
    CStFunView panel(64, 64, QRect(0, 0, 717, 250), nullptr, 8, {});
    panel.SetLabels(Studio());
    panel.show();
    // Keypad digit keys: input digits 1..9, 0 from 4608.
    QTest::mouseClick(panel.Key(4608 + 6), Qt::LeftButton);  // input digit 7
    EXPECT_EQ(panel.NumberFieldEdit(NumberField::Input)->toolTip(), "Camera 7");
    QTest::mouseClick(panel.Key(4608 + 1), Qt::LeftButton);  // 2 after 7: input 72, no name
    EXPECT_EQ(panel.NumberFieldEdit(NumberField::Input)->toolTip(), "");
    EXPECT_EQ(NameOf(panel.Key(4608 + 1)), "Input digit 2");
}

TEST(PanelLabelsOnKeys, NamesChangeNoPixel) {
    for (const int count : {4, 20, 64}) {
        CStFunView plain(count, count, QRect(0, 0, 717, 475), nullptr, 8, {});
        CStFunView named(count, count, QRect(0, 0, 717, 475), nullptr, 8, {});
        named.SetLabels(Studio());
        plain.show();
        named.show();
        EXPECT_EQ(Grab(plain), Grab(named)) << count;
        for (const QWidget* key : plain.findChildren<CGradientButton*>()) {
            EXPECT_TRUE(key->toolTip().isEmpty()) << "without names, no tool tips";
        }
    }
}
