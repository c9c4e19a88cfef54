#pragma once

// Records the UI events raised while it lives (from any thread), leaving out
// the numbers given. Needs the UI event hook (cloudsync_common) on the
// test's link line.

#include "UIEventTestHook.h"

#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace CloudSyncTest {

class EventRecorder {
public:
    typedef std::tuple<int, std::string, int> Event;

    explicit EventRecorder(std::set<int> ignored = {}) : m_ignored(std::move(ignored)) {
        Nuvaro::Sync::setUiEventObserverForTesting(&EventRecorder::observe, this);
    }
    ~EventRecorder() { Nuvaro::Sync::setUiEventObserverForTesting(nullptr, nullptr); }
    EventRecorder(const EventRecorder&) = delete;
    EventRecorder& operator=(const EventRecorder&) = delete;

    std::vector<Event> events() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

private:
    static void observe(void* self, Nuvaro::Sync::uiEventType type, const std::string& text, int value) {
        auto* recorder = static_cast<EventRecorder*>(self);
        if (recorder->m_ignored.count(static_cast<int>(type)) != 0)
            return;
        std::lock_guard<std::mutex> lock(recorder->m_mutex);
        recorder->m_events.emplace_back(static_cast<int>(type), text, value);
    }

    std::set<int> m_ignored;
    std::mutex m_mutex;
    std::vector<Event> m_events;
};

} // namespace CloudSyncTest
