// Names for inputs and outputs: the labels file, and what the panel makes of it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAccessible>
#include <QLineEdit>
#include <QTest>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <thread>

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
        "matrixpanel: " + path + ":5: \"0\" is not a number from 1 to 1024",
        "matrixpanel: " + path + ":6: \"1025\" is not a number from 1 to 1024",
        "matrixpanel: " + path + ":7: not a \"number=name\" line",
        "matrixpanel: " + path + ":13: \"x\" is not a number from 1 to 1024",
    };
    EXPECT_EQ(read.warnings, expected);
}

TEST(PanelLabelsFile, HostileFilesKeepEveryUsableNameAndNameEveryOtherLine) {
    struct Case {
        const char* what;
        std::string text;
        std::map<int, QString> inputs, outputs;
        std::vector<int> warned;  // line numbers
    };
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
    const Case cases[] = {
        {"INI syntax is plain text in a name",
         "[inputs]\n1=Stage L; R\n2=a, b \"c\" \\d\n3=@Variant(\\0\\0\\0\\x7f)\n",
         {{1, "Stage L; R"}, {2, "a, b \"c\" \\d"}, {3, "@Variant(\\0\\0\\0\\x7f)"}},
         {},
         {}},
        {"a header without its bracket",
         "[inputs]\n1=A\n[outputs\n2=B\n",
         {{1, "A"}},
         {{2, "B"}},
         {3}},
        {"outside, unknown section, duplicate",
         "1=Stray\n[Inputs]\n1=A\n[misc]\n1=M\n[inputs]\n1=B\n",
         {{1, "B"}},
         {},
         {1, 4, 5, 7}},
        {"cut at 40 characters, never inside one",
         "[outputs]\n1=" + std::string(39, 'a') + "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\n",
         {},
         {{1, QString(39, u'a') + emoji}},
         {}},
        {"invalid UTF-8", "[inputs]\n1=ok\n2=bad\xFF\n", {{1, "ok"}}, {}, {3}},
        {"byte order mark and CRLF", "\xEF\xBB\xBF[inputs]\r\n1=Cam \r\n", {{1, "Cam"}}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedSysDir dir;
        const std::string path = dir.Path() + "/labels-\xFF.ini";  // not a UTF-8 name
        std::ofstream(path, std::ios::binary) << c.text;
        const LabelsRead read = ReadPanelLabels(path, true);
        EXPECT_EQ(read.labels.inputs, c.inputs);
        EXPECT_EQ(read.labels.outputs, c.outputs);
        std::vector<int> warned;
        for (const std::string& warning : read.warnings) {
            const std::string prefix = "matrixpanel: " + path + ":";
            ASSERT_EQ(warning.rfind(prefix, 0), 0u) << warning;
            warned.push_back(std::stoi(warning.substr(prefix.size())));
        }
        EXPECT_EQ(warned, c.warned);
    }
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

    // A FIFO swapped in for the file at any moment, between a check and an open included.
    const std::string swapped = dir.Path() + "/swapped.ini";
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        for (int i = 0; !stop; ++i) {
            const std::string next = swapped + ".next";
            if (i % 2 == 0) {
                std::ofstream(next) << "[inputs]\n1=A\n";
            } else {
                ::link(fifo.c_str(), next.c_str());  // `fifo` keeps a name for the rescue below
            }
            std::filesystem::rename(next, swapped);
        }
    });
    auto reads = std::async(std::launch::async, [&] {
        for (const auto end = std::chrono::steady_clock::now() + 1500ms;
             std::chrono::steady_clock::now() < end;) {
            Read(swapped);
        }
    });
    const bool ended = reads.wait_for(12s) == std::future_status::ready;
    stop = true;
    swapper.join();
    while (reads.wait_for(20ms) != std::future_status::ready) {
        ::close(::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));  // frees a stuck reader
    }
    EXPECT_TRUE(ended) << "a FIFO swapped in after the check held the start";
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
