#pragma once

#include <functional>
#include <string>

// The application's title on every message box.
inline constexpr const char* kAppTitle = "Vantrel Matrix";

// Shows one modal message box with an OK button. The UI installs the real one; tests install a
// recorder. owner is the window the box belongs to (opaque here), or null.
using MessageBoxHook =
    std::function<void(const void* owner, const std::string& text, const std::string& title)>;

// Installs a hook and returns the previous one. An empty hook writes the text to stderr.
MessageBoxHook SetMessageBoxHook(MessageBoxHook hook);

// Shows text with the application's title. A box whose text is already open (a timer firing
// under the modal box and failing the same way) is not stacked on top of it: the call returns
// false without showing anything.
bool ShowMessageBox(const void* owner, const std::string& text);
