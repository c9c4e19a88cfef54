// The change monitor and its watch loop, with real inotify on real temp
// folders: what wakes the receiver, how often, which folders are watched, and
// that shutdown leaves no thread.

#include "DirChangeNotification.h"
#include "FSMonitor.h"
#include "InotifyWatcher.h"
#include "LogCapture.h"
#include "TempFolder.h"
#include "WaitUntil.h"

#include <Poco/AutoPtr.h>
#include <Poco/File.h>
#include <Poco/NotificationQueue.h>
#include <Poco/Runnable.h>
#include <Poco/Thread.h>
#include <Poco/Timestamp.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

namespace EngineTest {
namespace {

using CloudSyncTest::waitUntil;

using Nuvaro::Sync::DirChangeNotification;
using Nuvaro::Sync::FSMonitor;
using Nuvaro::Sync::InotifyWatcher;

// Takes every notification off the queue as a busy worker would, and counts
// the change notifications.
class QueueReader : public Poco::Runnable {
public:
    explicit QueueReader(Poco::NotificationQueue& queue) : m_queue(queue) { m_thread.start(*this); }
    ~QueueReader() override {
        m_stop = true;
        m_queue.wakeUpAll();
        m_thread.join();
    }
    void run() override {
        while (!m_stop) {
            Poco::AutoPtr<Poco::Notification> taken(m_queue.waitDequeueNotification(20));
            if (dynamic_cast<DirChangeNotification*>(taken.get()))
                ++m_count;
        }
    }
    int count() const { return m_count; }

private:
    Poco::NotificationQueue& m_queue;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_count{0};
    Poco::Thread m_thread;
};

class Monitor : public ::testing::Test {
protected:
    Monitor() { Poco::File(root()).createDirectories(); }
    ~Monitor() override {
        if (m_monitor)
            m_monitor->shutdown();
    }

    std::string root() const { return m_tmp / "sync"; }
    std::string at(const std::string& rel) const { return root() + "/" + rel; }
    void write(const std::string& rel, const std::string& content) const {
        std::ofstream(at(rel), std::ios::binary) << content;
    }

    static InotifyWatcher::Options options() {
        InotifyWatcher::Options options = FSMonitor::defaultOptions();
        options.settleMs = 100;
        return options;
    }

    FSMonitor& start(const InotifyWatcher::Options& settings = options()) {
        m_monitor.reset(new FSMonitor(root(), &m_queue, settings));
        EXPECT_TRUE(m_monitor->startup());
        return *m_monitor;
    }

    // Waits for `expected` notifications, then a little longer to see that
    // no more come.
    int notificationsAfter(QueueReader& reader, int expected) {
        waitUntil([&] { return reader.count() >= expected; }, 3000);
        Poco::Thread::sleep(400);
        return reader.count();
    }

    CloudSyncTest::TempFolder m_tmp;
    Poco::NotificationQueue m_queue;
    std::unique_ptr<FSMonitor> m_monitor;
};

class MonitorChanges;

struct ChangeCase {
    const char* name;
    std::function<void(MonitorChanges&)> prepare; // before the change counted
    std::function<void(MonitorChanges&)> change;
};

class MonitorChanges : public Monitor, public ::testing::WithParamInterface<ChangeCase> {
public:
    void write(const std::string& rel, const std::string& content) const { Monitor::write(rel, content); }
    std::string at(const std::string& rel) const { return Monitor::at(rel); }
};

TEST_P(MonitorChanges, EachChangeWakesTheReceiverOnce) {
    const ChangeCase& c = GetParam();
    Poco::File(at("My Files")).createDirectories();
    write("My Files/old.txt", "old");
    start();
    QueueReader reader(m_queue);
    if (c.prepare) {
        c.prepare(*this);
        ASSERT_EQ(notificationsAfter(reader, 1), 1);
    }
    int before = reader.count();
    c.change(*this);
    EXPECT_EQ(notificationsAfter(reader, before + 1), before + 1) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, MonitorChanges,
    ::testing::Values(
        ChangeCase{"created", nullptr, [](MonitorChanges& t) { t.write("My Files/new.txt", "n"); }},
        ChangeCase{"changed", nullptr, [](MonitorChanges& t) { t.write("My Files/old.txt", "changed"); }},
        ChangeCase{"renamed", nullptr,
                   [](MonitorChanges& t) { Poco::File(t.at("My Files/old.txt")).renameTo(t.at("My Files/r.txt")); }},
        ChangeCase{"deleted", nullptr, [](MonitorChanges& t) { Poco::File(t.at("My Files/old.txt")).remove(); }},
        ChangeCase{"in the sync root", nullptr, [](MonitorChanges& t) { t.write("top.txt", "t"); }},
        // The folder made after the start is watched: a file in it wakes.
        ChangeCase{"in a new subfolder",
                   [](MonitorChanges& t) { Poco::File(t.at("My Files/later/deeper")).createDirectories(); },
                   [](MonitorChanges& t) { t.write("My Files/later/deeper/f.txt", "f"); }},
        // A folder moved in from outside is watched with its subfolders.
        ChangeCase{"in a folder moved in",
                   [](MonitorChanges& t) {
                       Poco::File(t.at("../outside/a/b")).createDirectories();
                       Poco::File(t.at("../outside")).renameTo(t.at("My Files/moved"));
                   },
                   [](MonitorChanges& t) { t.write("My Files/moved/a/b/f.txt", "f"); }}),
    [](const ::testing::TestParamInfo<ChangeCase>& info) {
        std::string name;
        for (const char* p = info.param.name; *p; ++p)
            if (std::isalnum(static_cast<unsigned char>(*p)))
                name += *p;
        return name;
    });

TEST_F(Monitor, BurstOfChangesWakesTheReceiverOnce) {
    Poco::File(at("My Files")).createDirectories();
    start();
    QueueReader reader(m_queue);
    for (int i = 0; i < 30; ++i)
        write("My Files/f" + std::to_string(i) + ".txt", "x");
    Poco::File(at("My Files/sub")).createDirectories();
    Poco::File(at("My Files/f1.txt")).renameTo(at("My Files/sub/f1.txt"));
    Poco::File(at("My Files/f2.txt")).remove();
    EXPECT_EQ(notificationsAfter(reader, 1), 1);
}

TEST_F(Monitor, NothingIsPostedWhileANotificationWaits) {
    start();
    write("a.txt", "a");
    ASSERT_TRUE(waitUntil([&] { return m_queue.size() == 1; }, 3000));
    write("b.txt", "b");
    Poco::Thread::sleep(400);
    EXPECT_EQ(m_queue.size(), 1);
}

TEST_F(Monitor, WatchesOfRemovedFoldersGoAndNewFoldersAreWatchedWithTheirSubfolders) {
    FSMonitor& monitor = start();
    EXPECT_EQ(monitor.watchCount(), 1u);
    Poco::File(at("a/b/c")).createDirectories();
    EXPECT_TRUE(waitUntil([&] { return monitor.watchCount() == 4; }));
    Poco::File(at("a")).remove(true);
    EXPECT_TRUE(waitUntil([&] { return monitor.watchCount() == 1; }));
    // A folder moved out of the tree is no longer watched either.
    Poco::File(at("d/e")).createDirectories();
    EXPECT_TRUE(waitUntil([&] { return monitor.watchCount() == 3; }));
    Poco::File(at("d")).renameTo(m_tmp / "gone");
    EXPECT_TRUE(waitUntil([&] { return monitor.watchCount() == 1; }));
    EXPECT_TRUE(monitor.watchesComplete());
}

TEST_F(Monitor, LinksInTheTreeAreNeverFollowed) {
    Poco::File(at("a/b")).createDirectories();
    CloudSyncTest::TempFolder outside;
    Poco::File(outside / "x/y").createDirectories();
    ASSERT_EQ(::symlink(root().c_str(), at("a/b/loop").c_str()), 0);
    ASSERT_EQ(::symlink(at("a").c_str(), at("alias").c_str()), 0);
    ASSERT_EQ(::symlink(outside.path().c_str(), at("a/out").c_str()), 0);
    FSMonitor& monitor = start();
    EXPECT_EQ(monitor.watchCount(), 3u); // the root, a and a/b; nothing behind a link
    EXPECT_TRUE(monitor.watchesComplete());
}

TEST_F(Monitor, WatchLimitIsLoggedOnceAndMarksTheWatchesIncomplete) {
    Poco::File(at("a")).createDirectories();
    Poco::File(at("b")).createDirectories();
    CloudSyncTest::LogCapture log({"Sync"});
    InotifyWatcher::Options capped = options();
    capped.maxWatches = 2;
    FSMonitor& monitor = start(capped);
    EXPECT_EQ(monitor.watchCount(), 2u);
    EXPECT_FALSE(monitor.watchesComplete());
    Poco::File(at("c")).createDirectories();
    Poco::File(at("d")).createDirectories();
    Poco::Thread::sleep(400);
    int lines = 0;
    for (const auto& entry : log.channel().entries())
        if (entry.text.find("addWatches: Possible watch limit reached. failed with errno 28") != std::string::npos)
            ++lines;
    EXPECT_EQ(lines, 1) << log.dump();
}

// The watch thread is held in its callback while far more events arrive than
// the kernel queues (max_queued_events, 16384 by default), so the next read
// reports an overflow: the receiver is woken again, and a folder made while
// events were being dropped is watched all the same.
// The receiver is held busy while more events than the kernel queues come
// in; the kernel then drops events and says so. Reading the events queued
// before the overflow can take longer than one burst (maxSettleMs) under
// load, so the overflow may come in a later burst than the first one after
// the release: the test waits for a call that comes after the overflow was
// seen, not for the next call.
TEST_F(Monitor, QueueOverflowAsksForAScanAndWatchesEveryFolderAgain) {
    const std::string overflowLine = "iNotify: Event queue overflow";
    std::mutex mutex;
    std::condition_variable released;
    bool hold = true;
    std::atomic<int> calls{0};
    std::atomic<int> callsAfterOverflow{0};
    CloudSyncTest::LogCapture log({"Sync"}); // before any thread logs
    InotifyWatcher::Options settings = options();
    InotifyWatcher watcher(root(), settings, [&] {
        ++calls;
        if (log.contains(overflowLine))
            ++callsAfterOverflow;
        std::unique_lock<std::mutex> lock(mutex);
        released.wait_for(lock, std::chrono::seconds(60), [&] { return !hold; });
    });
    ASSERT_TRUE(watcher.start());
    write("first.txt", "1");
    ASSERT_TRUE(waitUntil([&] { return calls.load() == 1; }));

    // One small write to each of two open files in turn: every write is
    // an event of its own (two in a row on one file would be merged), and
    // writes to open files are fast, so the queue overflows in
    // milliseconds (reopening and truncating a file takes far longer on
    // some file systems).
    int maxQueued = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> maxQueued;
    const int odd = ::open(at("odd.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const int even = ::open(at("even.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(odd, 0);
    ASSERT_GE(even, 0);
    for (int i = 0; i < maxQueued + 100; ++i)
        ASSERT_EQ(::write(i % 2 ? odd : even, "x", 1), 1);
    ::close(odd);
    ::close(even);
    Poco::File(at("made-while-dropping")).createDirectories();
    {
        std::lock_guard<std::mutex> lock(mutex);
        hold = false;
    }
    released.notify_all();

    ASSERT_TRUE(waitUntil([&] { return callsAfterOverflow.load() >= 1; }, 30000)) << "no overflow seen";
    // The watches were placed anew before that call: the folder made while
    // events were dropped is watched too.
    EXPECT_TRUE(waitUntil([&] { return watcher.watchCount() == 2; }));
    int before = calls.load();
    write("made-while-dropping/f.txt", "f");
    EXPECT_TRUE(waitUntil([&] { return calls.load() > before; }));
    watcher.stop();
}

TEST_F(Monitor, TwoMonitorsInOneProcessAreIndependent) {
    Poco::File(m_tmp / "other").createDirectories();
    Poco::NotificationQueue otherQueue;
    FSMonitor other(m_tmp / "other", &otherQueue, options());
    ASSERT_TRUE(other.startup());
    start();
    write("mine.txt", "m");
    ASSERT_TRUE(waitUntil([&] { return m_queue.size() == 1; }, 3000));
    EXPECT_EQ(otherQueue.size(), 0);

    m_monitor->shutdown();
    std::ofstream(m_tmp / "other/theirs.txt") << "t";
    EXPECT_TRUE(waitUntil([&] { return otherQueue.size() == 1; }, 3000));
    EXPECT_TRUE(other.isRunning());
    other.shutdown();
    EXPECT_FALSE(other.isRunning());
}

TEST_F(Monitor, ShutdownEndsTheThreadPromptlyAndIsHarmlessTwiceOrWithoutStartup) {
    FSMonitor idle(root(), &m_queue);
    EXPECT_TRUE(idle.shutdown());
    EXPECT_FALSE(idle.startup()); // a stopped monitor does not start again

    FSMonitor& monitor = start();
    ASSERT_TRUE(monitor.isRunning());
    Poco::Timestamp began;
    EXPECT_TRUE(monitor.shutdown());
    EXPECT_LT(began.elapsed(), 1000000);
    EXPECT_FALSE(monitor.isRunning());
    EXPECT_EQ(monitor.watchCount(), 0u);
    EXPECT_TRUE(monitor.shutdown());
}

// Beyond the cap the walk goes on without watching, to count what is left
// out; folders made later beyond the cap are counted as they come.
TEST_F(Monitor, FoldersBeyondTheWatchLimitAreCounted) {
    for (const char* folder : {"a/x", "b/y/z", "c"})
        Poco::File(at(folder)).createDirectories();
    InotifyWatcher::Options capped = options();
    capped.maxWatches = 3;
    FSMonitor& monitor = start(capped);
    EXPECT_EQ(monitor.watchCount(), 3u);
    EXPECT_EQ(monitor.unwatchedCount(), 4u);  // 7 folders, the root included
    EXPECT_FALSE(monitor.watchesComplete());
    // Made in a watched folder (the root always is): seen, and counted as
    // unwatched with its subfolder.
    Poco::File(m_tmp / "new/inner").createDirectories();
    Poco::File(m_tmp / "new").renameTo(root() + "/new");
    EXPECT_TRUE(waitUntil([&] { return monitor.unwatchedCount() == 6u; })) << monitor.unwatchedCount();
    EXPECT_EQ(monitor.watchCount(), 3u);
}

TEST_F(Monitor, EveryFolderWatchedLeavesNoneUnwatched) {
    Poco::File(at("a/b")).createDirectories();
    InotifyWatcher::Options unlimited = options();
    unlimited.freeWatchesPercent = 100;
    FSMonitor& monitor = start(unlimited);
    EXPECT_EQ(monitor.watchCount(), 3u);
    EXPECT_EQ(monitor.unwatchedCount(), 0u);
    EXPECT_TRUE(monitor.watchesComplete());
}

// Without an explicit cap the monitor takes only part of the user's free
// watches: here the system's limit (a file standing for
// /proc/sys/fs/inotify/max_user_watches) is 100 and the user's programs hold
// 60, so 75% of the 40 free are taken.
TEST_F(Monitor, DefaultCapLeavesPartOfTheFreeWatchesToOtherPrograms) {
    for (int i = 0; i < 60; ++i)
        Poco::File(at("f" + std::to_string(i))).createDirectories();
    const std::string limitFile = m_tmp / "max_user_watches";
    std::ofstream(limitFile) << "100\n";
    InotifyWatcher::Options shared = options();
    shared.maxUserWatchesFile = limitFile;
    shared.countWatchesInUse = [] { return std::size_t(60); };
    FSMonitor& monitor = start(shared);
    EXPECT_EQ(monitor.watchCount(), 30u);
    EXPECT_EQ(monitor.unwatchedCount(), 31u);
    EXPECT_FALSE(monitor.watchesComplete());
}

// The user-wide count adds up every process of the user, this one included;
// other processes may add or drop watches meanwhile, so only this process's
// own count is exact.
TEST(WatchesInUse, CountsTheWatchesOfThisProcess) {
    CloudSyncTest::TempFolder tmp;
    for (const char* folder : {"a", "b", "c"})
        Poco::File(tmp / folder).createDirectories();
    const std::size_t before = InotifyWatcher::watchesOfProcess("/proc/self");
    int fd = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (const char* folder : {"a", "b", "c"})
        ASSERT_GE(::inotify_add_watch(fd, (tmp / folder).c_str(), IN_CREATE), 0);
    EXPECT_EQ(InotifyWatcher::watchesOfProcess("/proc/self"), before + 3);
    EXPECT_GE(InotifyWatcher::watchesInUse(), before + 3);
    ::close(fd);
    EXPECT_EQ(InotifyWatcher::watchesOfProcess("/proc/self"), before);
    EXPECT_EQ(InotifyWatcher::watchesOfProcess("/proc/no-such-process"), 0u);
}

// A removed folder takes its own watches and those below it, and no other:
// names that begin like it ("d x", "d-2", "dd") keep theirs.
TEST_F(Monitor, RemovedFolderTakesOnlyItsOwnWatches) {
    for (const char* folder : {"d/e/f", "d x/g", "d-2", "dd", "c/d"})
        Poco::File(at(folder)).createDirectories();
    FSMonitor& monitor = start();
    EXPECT_EQ(monitor.watchCount(), 10u);
    Poco::File(at("d")).remove(true);
    EXPECT_TRUE(waitUntil([&] { return monitor.watchCount() == 7u; })) << monitor.watchCount();
    QueueReader reader(m_queue);
    write("d x/g/seen.txt", "1");
    EXPECT_TRUE(waitUntil([&] { return reader.count() >= 1; }));
    Poco::File(at("d x/g")).remove(true);
    EXPECT_TRUE(waitUntil([&] { return monitor.watchCount() == 6u; })) << monitor.watchCount();
    Poco::Thread::sleep(300);
    EXPECT_EQ(monitor.watchCount(), 6u);
    EXPECT_TRUE(monitor.watchesComplete());
}

TEST_F(Monitor, MissingFolderIsReportedAsNotWatched) {
    FSMonitor missing(m_tmp / "nowhere", &m_queue, options());
    ASSERT_TRUE(missing.startup());
    EXPECT_EQ(missing.watchCount(), 0u);
    EXPECT_FALSE(missing.watchesComplete());
    missing.shutdown();
    EXPECT_FALSE(missing.isRunning());
}

} // namespace
} // namespace EngineTest
