#include <gtest/gtest.h>

#include "link/LinkTypes.h"
#include "link/Terminator.h"
#include "panel/CommandGrammar.h"
#include "panel/CommandSet.h"

namespace {

std::string OnSerial(const DeviceCommand& c) {
    return c.text + std::string(SerialTerminator(c.flag));
}
std::string OnNetwork(const DeviceCommand& c) {
    return c.text + std::string(NetTerminator(c.route, c.flag));
}

}  // namespace

// Each builder's command, as it goes on the wire and as it reads back: its kind, the reply line
// it is answered with, and the outputs it changes (0 none, -1 every output, else that output).
TEST(CommandSet, EveryCommandHasItsWireFormAndRouteAndReadsBack) {
    using K = CommandKind;
    struct Case {
        DeviceCommand command;
        const char* serialWire;
        const char* netWire;
        int route;
        CommandKind kind;
        const char* echo;
        int touched;
    };
    const Case cases[] = {
        {RouteCommand('B', InputNo{3}, OutputNo{5}), "3B5.", "3B5.", kRoutePanel, K::Route,
         "AV:3->5", 5},
        {RouteCommand('A', InputNo{3}, OutputNo{5}), "3A5.", "3A5.", kRoutePanel, K::Route,
         "A:3->5", 5},
        {RouteCommand('V', InputNo{3}, OutputNo{5}), "3V5.", "3V5.", kRoutePanel, K::Route,
         "V:3->5", 5},
        {RouteCommand('B', InputNo{0}, OutputNo{128}), "0B128.", "0B128.", kRoutePanel, K::Route,
         "AV:0->128", 128},
        {InputToAllCommand(InputNo{3}), "3All.", "3All.", kRoutePanel, K::InputToAll, "3 To All",
         -1},
        {AllToAllCommand(), "All$.", "All$.", kRoutePanel, K::AllToAll, "", -1},
        {AllToOutputCommand(OutputNo{5}), "5$.", "5$.", kRoutePanel, K::AllToOutput, "", 5},
        {AllThroughCommand(), "All#.", "All#.", kRoutePanel, K::AllThrough, "All Through.", -1},
        {InputThroughCommand(InputNo{3}), "3#.", "3#.", kRoutePanel, K::InputThrough, "", 3},
        {UndoCommand(), "Undo.", "Undo.", kRoutePanel, K::Undo, "", -1},
        {PresetCommand("Save", 5), "Save5.", "Save5.", kRoutePanel, K::Save, "", 0},
        {PresetCommand("Recall", 5), "Recall5.", "Recall5.", kRoutePanel, K::Recall, "", -1},
        {PresetCommand("Clear", 5), "Clear5.", "Clear5.", kRoutePanel, K::Clear, "", 0},
        {LockCommand(), "/%Lock;", "/%Lock;", kRoutePanel, K::Lock, "", 0},
        {UnlockCommand(), "/%Unlock;", "/%Unlock;", kRoutePanel, K::Unlock, "", 0},
        {DemoCommand(), "Demo.", "Demo.", kRoutePanel, K::Demo, "", -1},
        {OutputStatusCommand(OutputNo{5}), "Status5.", "Status5.", kRoutePanel, K::OutputStatus, "",
         0},
        {TypeQuery(), "/*Type;", "/*Type;", kRouteTerminal, K::Type, "", 0},
        {VersionQuery(), "/^Version;", "/^Version;", kRouteTerminal, K::Version, "", 0},
        {StatusQuery(true), "Status.", "Status.", kRoutePanel, K::Status, "", 0},
        {StatusQuery(false), "Status.", "Status", kRouteTerminal, K::Status, "", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OnSerial(c.command), c.serialWire) << c.command.text;
        EXPECT_EQ(c.command.route, c.route) << c.command.text;
        if (c.command.route == kRoutePanel || c.command.flag == kTermSemicolon) {
            EXPECT_EQ(OnNetwork(c.command), c.netWire) << c.command.text;
        }
        const auto read = ReadDeviceCommand(OnSerial(c.command));
        ASSERT_TRUE(read.has_value()) << c.command.text;
        EXPECT_EQ(read->kind, c.kind) << c.command.text;
        EXPECT_EQ(EchoOf(*read), c.echo) << c.command.text;
        const OutputsTouched touched = OutputsChangedBy(*read);
        EXPECT_EQ(touched.all               ? -1
                  : touched.outputs.empty() ? 0
                                            : touched.outputs.front(),
                  c.touched)
            << c.command.text;
    }
}

TEST(CommandSet, ReadsCommandsAsTheSwitcherReadsThemAndNothingElse) {
    const auto output = [](const char* text) {
        const auto read = ReadDeviceCommand(text);
        return read && read->kind == CommandKind::Route ? read->output : -1;
    };
    EXPECT_EQ(output(" 03B005.\r\n"), 5);  // blanks around, leading zeros
    for (const char* other : {"3B5", "3B5;", "3X5.", "B5.", "3B.", "-3B5.", "3B5x.", "Save.", ""}) {
        EXPECT_FALSE(ReadDeviceCommand(other).has_value()) << other;
    }
}

TEST(CommandSet, NetworkAppendsNothingForRawTerminalTextsOrUnknownRoutes) {
    EXPECT_EQ(NetTerminator(kRouteTerminal, kTermDot), "");
    EXPECT_EQ(NetTerminator(kRouteTerminal, kTermSemicolon), ";");
    EXPECT_EQ(NetTerminator(kRoutePanel, kTermDot), ".");
    EXPECT_EQ(NetTerminator(kRoutePanel, kTermSemicolon), ";");
    EXPECT_EQ(NetTerminator(static_cast<ReplyRoute>(0), kTermSemicolon), "");
    EXPECT_EQ(NetTerminator(static_cast<ReplyRoute>(3), kTermDot), "");
    // The serial link always terminates a command.
    EXPECT_EQ(SerialTerminator(kTermDot), ".");
    EXPECT_EQ(SerialTerminator(kTermSemicolon), ";");
}
