#include <gtest/gtest.h>

#include "link/LinkTypes.h"
#include "link/Terminator.h"
#include "panel/CommandSet.h"

namespace {

std::string OnSerial(const DeviceCommand& c) {
    return c.text + std::string(SerialTerminator(c.flag));
}
std::string OnNetwork(const DeviceCommand& c) {
    return c.text + std::string(NetTerminator(c.route, c.flag));
}

}  // namespace

TEST(CommandSet, EveryCommandHasItsWireFormAndRoute) {
    struct Case {
        DeviceCommand command;
        const char* serialWire;
        const char* netWire;
        int route;
    };
    const Case cases[] = {
        {RouteCommand('B', InputNo{3}, OutputNo{5}), "3B5.", "3B5.", kRoutePanel},
        {RouteCommand('A', InputNo{3}, OutputNo{5}), "3A5.", "3A5.", kRoutePanel},
        {RouteCommand('V', InputNo{3}, OutputNo{5}), "3V5.", "3V5.", kRoutePanel},
        {RouteCommand('B', InputNo{0}, OutputNo{128}), "0B128.", "0B128.", kRoutePanel},
        {InputToAllCommand(InputNo{3}), "3All.", "3All.", kRoutePanel},
        {AllToAllCommand(), "All$.", "All$.", kRoutePanel},
        {AllToOutputCommand(OutputNo{5}), "5$.", "5$.", kRoutePanel},
        {AllThroughCommand(), "All#.", "All#.", kRoutePanel},
        {InputThroughCommand(InputNo{3}), "3#.", "3#.", kRoutePanel},
        {UndoCommand(), "Undo.", "Undo.", kRoutePanel},
        {PresetCommand("Save", 5), "Save5.", "Save5.", kRoutePanel},
        {PresetCommand("Recall", 5), "Recall5.", "Recall5.", kRoutePanel},
        {PresetCommand("Clear", 5), "Clear5.", "Clear5.", kRoutePanel},
        {LockCommand(), "/%Lock;", "/%Lock;", kRoutePanel},
        {UnlockCommand(), "/%Unlock;", "/%Unlock;", kRoutePanel},
        {DemoCommand(), "Demo.", "Demo.", kRoutePanel},
        {OutputStatusCommand(OutputNo{5}), "Status5.", "Status5.", kRoutePanel},
        {TypeQuery(), "/*Type;", "/*Type;", kRouteTerminal},
        {VersionQuery(), "/^Version;", "/^Version;", kRouteTerminal},
        {StatusQuery(true), "Status.", "Status.", kRoutePanel},
        {StatusQuery(false), "Status.", "Status", kRouteTerminal},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OnSerial(c.command), c.serialWire) << c.command.text;
        EXPECT_EQ(c.command.route, c.route) << c.command.text;
        if (c.command.route == kRoutePanel || c.command.flag == kTermSemicolon) {
            EXPECT_EQ(OnNetwork(c.command), c.netWire) << c.command.text;
        }
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
