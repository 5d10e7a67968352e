#pragma once

#include <functional>

// Runs a task on the UI thread later and returns at once (in Qt: a queued invokeMethod on a
// window). An empty UiPost runs the task at once on the calling thread, which is what tests
// without a UI thread use.
using UiPost = std::function<void(std::function<void()>)>;
