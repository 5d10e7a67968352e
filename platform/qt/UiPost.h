#pragma once

#include "platform/UiThreadPost.h"

class QObject;

// A UiPost that queues each task on `context`'s thread (the UI thread for a window). Tasks
// queued after `context` is gone are dropped; the worker waiting on them is released by its
// link's Stop.
UiPost MakeUiPost(QObject* context);
