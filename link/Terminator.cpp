#include "link/Terminator.h"

#include "link/LinkTypes.h"

std::string_view NetTerminator(ReplyRoute route, TerminatorFlag flag) {
    if (route != kRouteTerminal && route != kRoutePanel) {
        return {};
    }
    if (flag == kTermSemicolon) {
        return ";";
    }
    return route == kRoutePanel ? "." : "";
}

std::string_view SerialTerminator(TerminatorFlag flag) {
    return flag == kTermSemicolon ? ";" : ".";
}
