#include "ConsoleNotice.h"
#include "UIEvent.h"
#include "UIEventTestHook.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
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

// Events raised while nobody observes are gone: nothing is kept for a later
// observer, which sees only what is raised after it was installed, and every
// call returns at once, also from another thread.
TEST(UIEventHook, WithoutObserverEveryEventIsDroppedAtOnce) {
    std::thread other([] {
        for (int n = 0; n <= 18; ++n) uiPostEvent(static_cast<uiEventType>(n), "from another thread", n);
    });
    for (int n = 0; n <= 18; ++n) uiPostEvent(static_cast<uiEventType>(n), "Scanning..", 100);
    other.join();

    Recorder recorder;
    setUiEventObserverForTesting(&Recorder::observe, &recorder);
    uiPostEvent(static_cast<uiEventType>(16), "after", 1);
    setUiEventObserverForTesting(nullptr, nullptr);
    uiPostEvent(static_cast<uiEventType>(16), "removed again", 2);

    std::lock_guard<std::mutex> lock(recorder.mutex);
    EXPECT_EQ(recorder.events, (std::vector<std::tuple<int, std::string, int>>{std::make_tuple(16, "after", 1)}));
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

// Console notices reach the sink whole, one line per call, also when several
// threads raise them at once; without a sink they are dropped.
TEST(ConsoleNotices, ReachTheSinkWholeFromAnyThreadAndAreDroppedWithoutOne) {
    consoleNotice("before any sink");
    std::vector<std::string> lines;
    setConsoleNoticeSink([&lines](const std::string& line) { lines.push_back(line); });
    std::vector<std::thread> raisers;
    for (int t = 0; t < 4; ++t)
        raisers.emplace_back([t] {
            for (int n = 0; n < 50; ++n) consoleNotice("thread " + std::to_string(t) + " line " + std::to_string(n));
        });
    for (std::thread& raiser : raisers) raiser.join();
    setConsoleNoticeSink(ConsoleNoticeSink());
    consoleNotice("after the sink went");

    ASSERT_EQ(lines.size(), 200u);
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "thread " + std::to_string(t) + " line 49"), 1);
}
