#pragma once

#include "platform/UiThreadPost.h"

class QObject;

// A UiPost that queues each task on the UI thread, for `context` (a window there). A task whose
// turn comes after `context` is gone is dropped; the worker waiting on it is released by its
// link's Stop.
UiPost MakeUiPost(QObject* context);
