#include "UIEvent.h"
#include "UIEventTestHook.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

using namespace Nuvaro::Sync;

namespace {

struct Recorder {
    std::mutex mutex;
    std::vector<std::tuple<int, std::string, int>> events;

    static void observe(void* self, uiEventType type, const std::string& text, int value) {
        auto* r = static_cast<Recorder*>(self);
        std::lock_guard<std::mutex> lock(r->mutex);
        r->events.emplace_back(static_cast<int>(type), text, value);
    }
};

} // namespace

TEST(UIEventHook, WithoutObserverEveryEventIsDroppedAtOnce) {
    for (int n = 0; n <= 18; ++n) {
        uiPostEvent(static_cast<uiEventType>(n), "Scanning..", 100);
    }
    SUCCEED();
}

TEST(UIEventHook, ObserverSeesEventsFromEveryThreadAndCanBeRemoved) {
    Recorder recorder;
    setUiEventObserverForTesting(&Recorder::observe, &recorder);

    uiPostEvent(static_cast<uiEventType>(10), "Scanning Directories", 100);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([i] {
            for (int k = 0; k < 25; ++k) uiPostEvent(static_cast<uiEventType>(11), "", i * 100 + k);
        });
    }
    for (auto& t : threads) t.join();
    uiPostEvent(static_cast<uiEventType>(13), "Scanning Directories", 100);

    setUiEventObserverForTesting(nullptr, nullptr);
    uiPostEvent(static_cast<uiEventType>(16), "", 0);

    std::lock_guard<std::mutex> lock(recorder.mutex);
    ASSERT_EQ(recorder.events.size(), 102u);
    EXPECT_EQ(recorder.events.front(), std::make_tuple(10, std::string("Scanning Directories"), 100));
    EXPECT_EQ(recorder.events.back(), std::make_tuple(13, std::string("Scanning Directories"), 100));
}
