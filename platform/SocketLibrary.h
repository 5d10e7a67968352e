#pragma once

// The sockets library's use counter. Every successful SocketStartup is matched by one
// SocketCleanup. Starting cannot fail on Linux; the result is kept so that callers keep their
// failure path.
bool SocketStartup();
void SocketCleanup();
int SocketUseCount();
