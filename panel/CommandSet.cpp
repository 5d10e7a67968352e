#include "panel/CommandSet.h"

#include "link/LinkTypes.h"

namespace {

DeviceCommand ToPanel(std::string text, TerminatorFlag flag = kTermDot) {
    return DeviceCommand{std::move(text), kRoutePanel, flag};
}

}  // namespace

DeviceCommand RouteCommand(char kind, InputNo input, OutputNo output) {
    return ToPanel(std::to_string(input.value) + kind + std::to_string(output.value));
}

DeviceCommand InputToAllCommand(InputNo input) {
    return ToPanel(std::to_string(input.value) + "All");
}

DeviceCommand AllToAllCommand() {
    return ToPanel("All$");
}

DeviceCommand AllToOutputCommand(OutputNo output) {
    return ToPanel(std::to_string(output.value) + "$");
}

DeviceCommand AllThroughCommand() {
    return ToPanel("All#");
}

DeviceCommand InputThroughCommand(InputNo input) {
    return ToPanel(std::to_string(input.value) + "#");
}

DeviceCommand UndoCommand() {
    return ToPanel("Undo");
}

DeviceCommand PresetCommand(std::string_view mode, int preset) {
    return ToPanel(std::string(mode) + std::to_string(preset));
}

// The percent signs are part of the text: these are never used as formats.
DeviceCommand LockCommand() {
    return ToPanel("/%Lock", kTermSemicolon);
}

DeviceCommand UnlockCommand() {
    return ToPanel("/%Unlock", kTermSemicolon);
}

DeviceCommand DemoCommand() {
    return ToPanel("Demo");
}

DeviceCommand OutputStatusCommand(OutputNo output) {
    return ToPanel("Status" + std::to_string(output.value));
}

DeviceCommand TypeQuery() {
    return DeviceCommand{"/*Type", kRouteTerminal, kTermSemicolon};
}

DeviceCommand VersionQuery() {
    return DeviceCommand{"/^Version", kRouteTerminal, kTermSemicolon};
}

DeviceCommand StatusQuery(bool network) {
    return DeviceCommand{"Status", network ? kRoutePanel : kRouteTerminal, kTermDot};
}
