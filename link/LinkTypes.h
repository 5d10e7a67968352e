#pragma once

// Which link carries a text; read by every sender at the moment it sends.
enum class LinkMode { Serial = 0, Network = 1 };

// Where the replies that follow a send on a link are handed: the terminal view's log
// (AppendReceived) or the switching panel (ShowReply). One value per link, overwritten by
// every send on it.
enum ReplyRoute : int { kRouteTerminal = 1, kRoutePanel = 2 };

// Terminator flag passed with a command: 1 appends ";", 0 appends ".".
enum TerminatorFlag : int { kTermDot = 0, kTermSemicolon = 1 };
