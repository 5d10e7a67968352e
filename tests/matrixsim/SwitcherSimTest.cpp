#include <gtest/gtest.h>

#include "tools/matrixsim/CCommandReader.h"
#include "tools/matrixsim/CSwitcherSim.h"

TEST(CommandReaderTest, CutsAtTerminatorsAndModuleCommandsAtTheirData) {
    CCommandReader reader;
    EXPECT_EQ(reader.Feed("3B"), std::vector<std::string>{});
    EXPECT_EQ(reader.Feed("5./%Lock;\r\nStatus."),
              (std::vector<std::string>{"3B5.", "/%Lock;", "Status."}));
    EXPECT_EQ(reader.Feed("AT + C1_STOPB = 1.5"), std::vector<std::string>{"AT + C1_STOPB = 1.5"});
    EXPECT_EQ(reader.Feed("AT + C1_BAUD = 9600\r\n1V2."),
              (std::vector<std::string>{"AT + C1_BAUD = 9600", "1V2."}));
    reader.Feed(std::string(CCommandReader::kMaxPending + 1, 'x'));
    EXPECT_TRUE(reader.Pending().empty()) << "an endless text is dropped, not kept";
}

TEST(SwitcherSimTest, AnswersEveryCommandInTheGrammarThePanelReads) {
    CSwitcherSim sim(4, 4);
    struct Row {
        const char* command;
        const char* reply;
    };
    const Row rows[] = {
        {"3B2.", "AV:3->2\r\n"},
        {"1A2.", "A:1->2\r\n"},
        {"4V2.", "V:4->2\r\n"},
        {"Status2.", "A:1->2\r\nV:4->2\r\n"},
        {"0B1.", "AV:0->1 OFF\r\n"},
        {"3$.", "AV:0->3 OFF\r\n"},
        {"2#.", "AV:2->2\r\n"},
        {"All#.", "All Through.\r\n"},
        {"3All.", "3 To All\r\n"},
        {"Undo.", "AV:1->1\r\nAV:2->2\r\nAV:3->3\r\nAV:4->4\r\n"},
        {"Save7.", "Save To F7\r\n"},
        {"1B1.", "AV:1->1\r\n"},
        {"Recall9.", "F9 Is Empty\r\n"},
        {"Clear7.", "Clear F7\r\n"},
        {"All$.", "AV:0->1 OFF\r\nAV:0->2 OFF\r\nAV:0->3 OFF\r\nAV:0->4 OFF\r\n"},
        {"Demo.", "Demo Mode\r\n"},
        {"Demo.", "Normal Mode\r\n"},
        {"/*Type;", "HDMI matrix 4x4\r\n"},
        {"/%Lock;", "System Locked!\r\n"},
        {"1B1.", "System Locked!\r\n"},
        {"Status1.", "AV:0->1 OFF\r\n"},
        {"/%Unlock;", "System Unlocked!\r\n"},
        {"5B1.", "Command Error!\r\n"},
        {"1B5.", "Command Error!\r\n"},
        {"Type.", "Command Error!\r\n"},
        {"AT + C1_BAUD = 57600", "OK\r\n"},
        {"AT + C1_BAUD = 12", "ERROR\r\n"},
        {"AT + C1_STOPB = 1.5", "OK\r\n"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(sim.Answer(row.command), row.reply) << row.command;
    }
}

TEST(SwitcherSimTest, RecallRestoresASavedState) {
    CSwitcherSim sim(2, 2);
    sim.Answer("2B1.");
    sim.Answer("Save1.");
    sim.Answer("1B1.");
    EXPECT_EQ(sim.Answer("Recall1."), "Recall From F1\r\nAV:2->1\r\nAV:2->2\r\n");
    EXPECT_EQ(sim.Video(1), 2);
}
