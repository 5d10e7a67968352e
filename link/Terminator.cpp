#include "link/Terminator.h"

#include "link/LinkTypes.h"

std::string_view NetTerminator(int route, int flag) {
    if (route != kRouteTerminal && route != kRoutePanel) {
        return {};
    }
    if (flag == kTermSemicolon) {
        return ";";
    }
    return route == kRoutePanel ? "." : "";
}

std::string_view SerialTerminator(int flag) {
    return flag == kTermSemicolon ? ";" : ".";
}
