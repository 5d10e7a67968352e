#include "platform/MessageBox.h"

#include <cstdio>
#include <mutex>
#include <set>
#include <utility>

namespace {

std::mutex g_mutex;
MessageBoxHook g_hook;
std::multiset<std::string> g_open;  // texts of the boxes being shown right now

}  // namespace

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) {
    std::lock_guard lock(g_mutex);
    return std::exchange(g_hook, std::move(hook));
}

bool ShowMessageBox(const void* owner, const std::string& text) {
    MessageBoxHook hook;
    {
        std::lock_guard lock(g_mutex);
        if (g_open.count(text) != 0) {
            return false;
        }
        g_open.insert(text);
        hook = g_hook;
    }
    if (hook) {
        hook(owner, text, kAppTitle);
    } else {
        std::fprintf(stderr, "%s: %s\n", kAppTitle, text.c_str());
    }
    std::lock_guard lock(g_mutex);
    g_open.erase(g_open.find(text));
    return true;
}
