#pragma once

#include <string_view>

#include "link/LinkTypes.h"

// The single byte (or nothing) a link appends after a text. The two links differ only for
// route 1 with flag 0: the network link sends such texts (the terminal view's raw sends)
// unchanged, the serial link's WriteCommand still appends ".".
std::string_view NetTerminator(ReplyRoute route, TerminatorFlag flag);
std::string_view SerialTerminator(TerminatorFlag flag);
