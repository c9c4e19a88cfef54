#pragma once

// For tests only: lets a test observe the events raised through uiPostEvent.
// The program never installs an observer, so the hook stays a no-op there.

#include "UIEvent.h"

namespace Nuvaro {
namespace Sync {

using uiEventObserver = void (*)(void* context, uiEventType type, const std::string& text, int value);

// Installs (or, with nullptr, removes) the observer. The observer is called on
// whichever thread raised the event and must copy `text` if it keeps it. The
// caller must keep `context` alive until the observer is removed, and removal
// does not wait for calls already running on other threads.
void setUiEventObserverForTesting(uiEventObserver observer, void* context);

} // namespace Sync
} // namespace Nuvaro
