// The web-edit monitor with real inotify on real temp folders: what wakes
// the worker's queue and how often, folders made later, a missing root,
// shutdown, and the monitor running beside the sync folder's monitor in one
// process, each with its own queue, pipe and watches.

#include "DirChangeNotification.h"
#include "FSMonitor.h"
#include "FSMonitorWebEdit.h"
#include "LogCapture.h"
#include "TempFolder.h"
#include "WaitUntil.h"

#include <Poco/AutoPtr.h>
#include <Poco/File.h>
#include <Poco/NotificationQueue.h>
#include <Poco/Thread.h>
#include <Poco/Timestamp.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

namespace LocalTest {
namespace {

using CloudSyncTest::waitUntil;
using Nuvaro::Sync::DirChangeNotification;
using Nuvaro::Sync::FSMonitor;
using Nuvaro::Sync::FSMonitorWebEdit;
using Nuvaro::Sync::InotifyWatcher;

InotifyWatcher::Options fastOptions(InotifyWatcher::Options options) {
    options.settleMs = 50;
    return options;
}

// Takes the change notifications off a queue; how many there were.
int drain(Poco::NotificationQueue& queue) {
    int count = 0;
    while (Poco::AutoPtr<Poco::Notification> taken = queue.dequeueNotification())
        count += dynamic_cast<DirChangeNotification*>(taken.get()) ? 1 : 0;
    return count;
}

void write(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

class WebEditMonitor : public ::testing::Test {
protected:
    WebEditMonitor() { Poco::File(root()).createDirectories(); }
    ~WebEditMonitor() override {
        if (m_monitor)
            m_monitor->shutdown();
    }

    std::string root() const { return m_tmp / "webedit"; }

    FSMonitorWebEdit& start(const std::string& path) {
        m_monitor.reset(new FSMonitorWebEdit(path, &m_queue, fastOptions(FSMonitorWebEdit::webEditOptions())));
        EXPECT_TRUE(m_monitor->startup());
        return *m_monitor;
    }

    CloudSyncTest::LogCapture m_log;
    CloudSyncTest::TempFolder m_tmp;
    Poco::NotificationQueue m_queue;
    std::unique_ptr<FSMonitorWebEdit> m_monitor;
};

TEST_F(WebEditMonitor, SaveWakesTheWorkerOnceAndNotAgainWhileANotificationWaits) {
    Poco::File(root() + "/0a").createDirectories();
    start(root());
    EXPECT_TRUE(m_log.contains("FS Monitoring  " + root(), "FSMonitorWebEdit")) << m_log.dump();
    // An editor's save: a temporary file written, renamed over the copy.
    write(root() + "/0a/.a.txt.tmp", "new");
    Poco::File(root() + "/0a/.a.txt.tmp").renameTo(root() + "/0a/a.txt");
    ASSERT_TRUE(waitUntil([&] { return m_queue.size() == 1; }));
    write(root() + "/0a/a.txt", "again");
    Poco::Thread::sleep(300);
    EXPECT_EQ(drain(m_queue), 1);
}

TEST_F(WebEditMonitor, FolderMadeAfterTheStartIsWatched) {
    FSMonitorWebEdit& monitor = start(root());
    EXPECT_EQ(monitor.watchCount(), 1u);
    Poco::File(root() + "/1b").createDirectories();
    ASSERT_TRUE(waitUntil([&] { return m_queue.size() == 1 && monitor.watchCount() == 2; }));
    drain(m_queue);
    write(root() + "/1b/a.txt", "a");
    EXPECT_TRUE(waitUntil([&] { return m_queue.size() == 1; }));
}

// A folder made right after a file was saved: its event comes behind the
// file's in one read, and is still seen.
TEST_F(WebEditMonitor, FolderEventBehindAFileEventInOneReadIsNotDropped) {
    Poco::File(root() + "/0a").createDirectories();
    FSMonitorWebEdit& monitor = start(root());
    ASSERT_EQ(monitor.watchCount(), 2u);
    write(root() + "/0a/a.txt", "edited");
    Poco::File(root() + "/1b/deeper").createDirectories();
    ASSERT_TRUE(waitUntil([&] { return monitor.watchCount() == 4; })) << monitor.watchCount();
    ASSERT_TRUE(waitUntil([&] { return m_queue.size() >= 1; }));
    Poco::Thread::sleep(200);
    drain(m_queue);
    write(root() + "/1b/deeper/b.txt", "b");
    EXPECT_TRUE(waitUntil([&] { return m_queue.size() == 1; }));
}

TEST_F(WebEditMonitor, MissingRootIsNotWatchedAndShutdownStillReturns) {
    FSMonitorWebEdit& monitor = start(root() + "/missing");
    EXPECT_EQ(monitor.watchCount(), 0u);
    EXPECT_FALSE(monitor.watchesComplete());
    EXPECT_TRUE(monitor.shutdown());
}

TEST_F(WebEditMonitor, ShutdownIsPromptWithoutActivity) {
    start(root());
    Poco::Thread::sleep(100);
    Poco::Timestamp began;
    EXPECT_TRUE(m_monitor->shutdown());
    EXPECT_LT(began.elapsed(), Poco::Timestamp::resolution());
    EXPECT_FALSE(m_monitor->isRunning());
    EXPECT_TRUE(m_log.contains("Shutdown FSMonitorWebEdit Thread", "Sync"));
    EXPECT_TRUE(m_log.contains("FSMonitorWebEdit Thread exited", "Sync"));
}

// Both monitors in one process: each wakes only its own queue, and the sync
// folder's keeps working after the web-edit one is gone.
TEST_F(WebEditMonitor, RunsBesideTheSyncFolderMonitor) {
    std::string syncRoot = m_tmp / "sync";
    Poco::File(syncRoot).createDirectories();
    Poco::NotificationQueue syncQueue;
    FSMonitor syncMonitor(syncRoot, &syncQueue, fastOptions(FSMonitor::defaultOptions()));
    ASSERT_TRUE(syncMonitor.startup());
    start(root());

    write(root() + "/a.txt", "a");
    ASSERT_TRUE(waitUntil([&] { return m_queue.size() == 1; }));
    write(syncRoot + "/s.txt", "s");
    ASSERT_TRUE(waitUntil([&] { return syncQueue.size() == 1; }));
    Poco::Thread::sleep(200);
    EXPECT_EQ(drain(m_queue), 1);
    EXPECT_EQ(drain(syncQueue), 1);

    m_monitor->shutdown();
    m_monitor.reset();
    write(syncRoot + "/t.txt", "t");
    EXPECT_TRUE(waitUntil([&] { return syncQueue.size() == 1; }));
    EXPECT_EQ(m_queue.size(), 0);
    syncMonitor.shutdown();
}

} // namespace
} // namespace LocalTest
