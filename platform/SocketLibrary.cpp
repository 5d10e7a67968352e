#include "platform/SocketLibrary.h"

#include <atomic>

namespace {
std::atomic<int> g_nUses{0};
}  // namespace

bool SocketStartup() {
    g_nUses.fetch_add(1);
    return true;
}

void SocketCleanup() {
    // Never below zero: an unmatched clean-up is ignored.
    int uses = g_nUses.load();
    while (uses > 0 && !g_nUses.compare_exchange_weak(uses, uses - 1)) {
    }
}

int SocketUseCount() {
    return g_nUses.load();
}
