#include "UIEvent.h"
#include "UIEventTestHook.h"

#include <atomic>

namespace Nuvaro {
namespace Sync {

namespace {

struct ObserverSlot {
    uiEventObserver observer;
    void* context;
};

// Null unless a test installed an observer: the program pays one relaxed load.
std::atomic<ObserverSlot*> g_observer{nullptr};

} // namespace

void uiPostEvent(uiEventType type, const std::string& text, int value) {
    ObserverSlot* slot = g_observer.load(std::memory_order_acquire);
    if (slot == nullptr) return;
    try {
        slot->observer(slot->context, type, text, value);
    } catch (...) {
        // The hook never throws into its caller.
    }
}

void setUiEventObserverForTesting(uiEventObserver observer, void* context) {
    // Slots are never freed: a call on another thread may still read an old one,
    // and tests install only a handful.
    ObserverSlot* slot = observer ? new ObserverSlot{observer, context} : nullptr;
    g_observer.store(slot, std::memory_order_release);
}

} // namespace Sync
} // namespace Nuvaro
