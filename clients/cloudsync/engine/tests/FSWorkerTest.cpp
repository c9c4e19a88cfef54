// The sync worker's life against the test server: startup with its login
// outcomes, the options it reads, the status text, the application's
// requests, and shutdown in every state with no thread left behind.

#include "WorkerFixture.h"

#include "DirChangeNotification.h"
#include "EventRecorder.h"
#include "ForceDirChangeNotification.h"

#include <Poco/AutoPtr.h>
#include <Poco/DirectoryIterator.h>
#include <Poco/ThreadPool.h>

#include <fstream>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>

namespace EngineTest {

using CloudSyncTest::EventRecorder;

namespace {

using Nuvaro::Sync::FSWorker;

// ---- Startup ----

TEST_F(WorkerTest, GoodLoginStartsTheThreadAndTheMonitor) {
    CloudSyncTest::LogCapture log;
    ASSERT_TRUE(startWorker());
    TestWorker& worker = *m_worker;
    EXPECT_TRUE(worker.isRunning());
    ASSERT_TRUE(worker.monitor);
    EXPECT_TRUE(worker.monitor->isRunning());
    EXPECT_TRUE(worker.flags.loggedIn);
    EXPECT_FALSE(worker.flags.serverOk);
    EXPECT_TRUE(worker.flags.firstDeltaPending);
    EXPECT_EQ(server.requests("/core/loginguest").size(), 1u);
    EXPECT_EQ(server.requests("/core/loginguest")[0].header("User-Agent").find("Cloud Sync"), 0u);
    EXPECT_TRUE(log.contains("Authenticated OK")) << log.dump();
    // The thread runs the loop: it takes the queue's wake-ups.
    EXPECT_TRUE(waitUntil([&] { return worker.isIdle(); }));
    EXPECT_TRUE(worker.changeMonitorComplete());
}

struct RefusedLogin {
    const char* name;
    std::function<void(TestAccount&, std::map<std::string, std::string>&)> setup;
    std::string message;
    int secondEvent;
};

class RefusedLogins : public WorkerTest, public ::testing::WithParamInterface<RefusedLogin> {
protected:
    TestAccount account() const override {
        TestAccount refused = WorkerTest::account();
        std::map<std::string, std::string> unused;
        GetParam().setup(refused, unused);
        return refused;
    }
};

TEST_P(RefusedLogins, ReturnFalseWithNothingStartedAndTellTheUser) {
    std::map<std::string, std::string> unused;
    TestAccount ignored;
    GetParam().setup(ignored, m_settings);
    EventRecorder events({16});
    EXPECT_FALSE(startWorker());
    EXPECT_FALSE(m_worker->isRunning());
    EXPECT_FALSE(m_worker->monitor);
    EXPECT_FALSE(m_worker->flags.loggedIn);
    std::vector<EventRecorder::Event> expected{EventRecorder::Event{4, GetParam().message, 0},
                                               EventRecorder::Event{GetParam().secondEvent, "", 0}};
    EXPECT_EQ(events.events(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusedLogins,
    ::testing::Values(
        RefusedLogin{"BadPassword",
                     [](TestAccount&, std::map<std::string, std::string>& s) { s["password"] = "wrong"; },
                     "Login Failed, relogin", 7},
        RefusedLogin{"TwoFactor", [](TestAccount& a, std::map<std::string, std::string>&) { a.twoFactorCode = "123"; },
                     "Login Failed, relogin", 7},
        RefusedLogin{"DeviceSessionTimedOut",
                     [](TestAccount& a, std::map<std::string, std::string>& s) {
                         a.deviceCode = "code-1";
                         a.deviceCodeExpired = true;
                         s["loginmode"] = "1";
                         s["devauthcode"] = "code-1";
                     },
                     "Device Session Timedout, relogin", 8}),
    [](const ::testing::TestParamInfo<RefusedLogin>& info) { return std::string(info.param.name); });

TEST_F(WorkerTest, LoginThatFailsForTheNetworkStillStartsTheWorker) {
    m_settings["url"] = "http://127.0.0.1:1"; // nothing listens there
    CloudSyncTest::LogCapture log;
    EXPECT_TRUE(startWorker());
    EXPECT_TRUE(m_worker->isRunning());
    ASSERT_TRUE(m_worker->monitor);
    EXPECT_TRUE(m_worker->monitor->isRunning());
    EXPECT_FALSE(m_worker->flags.loggedIn);
    EXPECT_TRUE(log.contains("Authenticated Failed")) << log.dump();
}

// ---- Options read at startup ----

struct OptionCase {
    const char* name;
    std::map<std::string, std::string> settings; // "<absent>" removes the key
    std::function<void(TestWorker&)> check;
};

class Options : public WorkerTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(Options, AreReadFromTheSettingsMap) {
    for (const auto& [key, value] : GetParam().settings) {
        if (value == "<absent>")
            m_settings.erase(key);
        else
            m_settings[key] = value;
    }
    ASSERT_TRUE(logIn());
    GetParam().check(*m_worker);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, Options,
    ::testing::Values(
        OptionCase{"Defaults", {},
                   [](TestWorker& w) {
                       EXPECT_EQ(w.syncFrequency, 120);
                       EXPECT_EQ(w.curInterval, 120);
                       EXPECT_EQ(w.totalSecsWithoutScan, -1);
                       EXPECT_EQ(w.deleteApprovalPct, 10);
                       EXPECT_EQ(w.maxThreads, 0);
                       EXPECT_FALSE(w.removeUnshared);
                       EXPECT_FALSE(w.ignoreFileChanges);
                       EXPECT_FALSE(w.checkModTime);
                       EXPECT_FALSE(w.skipDeleteApproval);
                       EXPECT_EQ(w.hostname, "dev-1");
                       EXPECT_EQ(w.friendlyName, "My PC");
                       EXPECT_EQ(w.teamFolderAccount, "teamacct");
                   }},
        OptionCase{"SyncFrequencyEmptyIsZero",
                   {{"syncfrequency", ""}},
                   [](TestWorker& w) {
                       EXPECT_EQ(w.syncFrequency, 0);
                       EXPECT_EQ(w.curInterval, 0);
                   }},
        OptionCase{"SyncFrequencySet",
                   {{"syncfrequency", "30"}},
                   [](TestWorker& w) {
                       EXPECT_EQ(w.syncFrequency, 30);
                       EXPECT_EQ(w.curInterval, 30);
                   }},
        OptionCase{"NumbersFromTheirLeadingDigits",
                   {{"maxthreads", "4x"}, {"deleteapprovalpct", "-5"}, {"totalsecswithoutscan", "600"}},
                   [](TestWorker& w) {
                       EXPECT_EQ(w.maxThreads, 4);
                       EXPECT_EQ(w.deleteApprovalPct, -5);
                       EXPECT_EQ(w.totalSecsWithoutScan, 600);
                   }},
        OptionCase{"EmptyTotalSecsWithoutScanKeepsTheDefault",
                   {{"totalsecswithoutscan", ""}, {"maxthreads", "many"}},
                   [](TestWorker& w) {
                       EXPECT_EQ(w.totalSecsWithoutScan, -1);
                       EXPECT_EQ(w.maxThreads, 0);
                   }},
        OptionCase{"SwitchesAreOnOnlyForOne",
                   {{"removeunshared", "yes"},
                    {"ignorefilechangenotifications", "1"},
                    {"checkmodtime", "1"},
                    {"skipdeleteapproval", "true"}},
                   [](TestWorker& w) {
                       EXPECT_FALSE(w.removeUnshared);
                       EXPECT_TRUE(w.ignoreFileChanges);
                       EXPECT_TRUE(w.checkModTime);
                       EXPECT_FALSE(w.skipDeleteApproval);
                   }},
        OptionCase{"RemoveUnsharedOn", {{"removeunshared", "1"}, {"skipdeleteapproval", "1"}},
                   [](TestWorker& w) {
                       EXPECT_TRUE(w.removeUnshared);
                       EXPECT_TRUE(w.skipDeleteApproval);
                   }}),
    [](const ::testing::TestParamInfo<OptionCase>& info) { return std::string(info.param.name); });

TEST_F(WorkerTest, SettingsAreAPrivateCopy) {
    Nuvaro::RecordList list = settingsList();
    ASSERT_TRUE(makeWorker().configureAndLogInForTesting(list, false, "Network Folders", "Team Folders", "teamacct"));
    (*list[0])["hostname"] = "changed";
    (*list[0])["added"] = "1";
    EXPECT_EQ(m_worker->setting("hostname"), "dev-1");
    EXPECT_EQ(m_worker->setting("added"), "");
    EXPECT_EQ(m_worker->settings[0]->count("missing"), 0u); // reading inserts nothing
}

TEST_F(WorkerTest, ChangeCheckSettingsAreACopyOfTheTwoSwitches) {
    m_settings["checkcrc"] = "1";
    ASSERT_TRUE(logIn());
    Nuvaro::RecordList checks = m_worker->changeCheckSettings();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ((*checks[0])["checkcrc"], "1");
    EXPECT_EQ((*checks[0])["checkmodtime"], "");
    EXPECT_NE(checks[0].get(), m_worker->settings[0].get());
}

struct ScanLimitCase {
    const char* totalSecs;
    bool ignoreChanges;
    bool monitorRunning;
    int expected;
};

class PeriodicScan : public WorkerTest, public ::testing::WithParamInterface<ScanLimitCase> {};

TEST_P(PeriodicScan, LimitFollowsTheSettingAndTheMonitor) {
    const ScanLimitCase& c = GetParam();
    m_settings["syncfrequency"] = "120";
    if (c.totalSecs)
        m_settings["totalsecswithoutscan"] = c.totalSecs;
    if (c.ignoreChanges)
        m_settings["ignorefilechangenotifications"] = "1";
    ASSERT_TRUE(c.monitorRunning ? startWorker() : logIn());
    EXPECT_EQ(m_worker->periodicScanSeconds(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Limits, PeriodicScan,
                         ::testing::Values(ScanLimitCase{nullptr, false, true, 36000},
                                           ScanLimitCase{"600", false, true, 600},
                                           ScanLimitCase{"0", false, true, 0},
                                           ScanLimitCase{"-5", false, true, 0},
                                           ScanLimitCase{"600", true, true, 0},
                                           // Without a monitor, changes are found by scans.
                                           ScanLimitCase{"600", false, false, 120},
                                           ScanLimitCase{"0", false, false, 120},
                                           ScanLimitCase{"60", false, false, 60},
                                           ScanLimitCase{"600", true, false, 0}));

// When the watch limit leaves folders of the sync folder unwatched, the user
// is told once with UI event 4 and, for as long as it lasts, by the status
// notice (how many folders, how often they are scanned, the system setting
// that raises the limit); the periodic scans run all the same.
TEST_F(WorkerTest, UnwatchedFoldersAreToldAndStillScanned) {
    m_settings["syncfrequency"] = "1";
    for (const char* folder : {"My Files/a/b", "My Files/c/d", "My Files/e"})
        Poco::File(syncRoot() + "/" + folder).createDirectories();
    Nuvaro::Sync::FSWorker::Intervals capped = fastIntervals();
    capped.monitor.maxWatches = 2;
    std::set<int> others;
    for (int type = 0; type <= 18; ++type)
        if (type != 4)
            others.insert(type);
    EventRecorder events(others);
    CloudSyncTest::LogCapture log({"Sync"});
    ASSERT_TRUE(startWorker(capped));
    TestWorker& worker = *m_worker;
    ASSERT_TRUE(waitUntil([&] { return !worker.getWatchNotice().empty(); }, 10000));
    const std::string notice = worker.getWatchNotice();
    const std::size_t unwatched = worker.monitor->unwatchedCount();
    EXPECT_GE(unwatched, 5u);
    EXPECT_EQ(notice.find(std::to_string(unwatched) + " folder(s) not watched for changes"), 0u) << notice;
    EXPECT_NE(notice.find("a scan every 1 seconds"), std::string::npos) << notice;
    EXPECT_NE(notice.find("fs.inotify.max_user_watches"), std::string::npos) << notice;

    // The scans the limit leaves as the only way to see changes still run.
    log.channel().clear();
    EXPECT_TRUE(waitUntil([&] { return log.contains("===> Starting Manual FS Scan ===>"); }, 15000)) << log.dump();
    int told = 0;
    for (const EventRecorder::Event& event : events.events())
        if (std::get<1>(event).find("not watched for changes") != std::string::npos)
            ++told;
    EXPECT_EQ(told, 1);
    // Before the log capture and the event recorder go: the thread logs and
    // raises events until it is stopped.
    worker.shutdown();
}

TEST_F(WorkerTest, EveryFolderWatchedGivesNoWatchNotice) {
    Poco::File(syncRoot() + "/My Files/a").createDirectories();
    EventRecorder events;
    ASSERT_TRUE(startWorker());
    Poco::Thread::sleep(300);
    EXPECT_EQ(m_worker->monitor->unwatchedCount(), 0u);
    EXPECT_EQ(m_worker->getWatchNotice(), "");
    m_worker->shutdown();  // before the event recorder goes
    for (const EventRecorder::Event& event : events.events())
        EXPECT_EQ(std::get<1>(event).find("not watched"), std::string::npos) << std::get<1>(event);
}

// ---- Status text ----

TEST_F(WorkerTest, StatusTextWithItsTryLock) {
    TestWorker& worker = makeWorker();
    EXPECT_EQ(worker.getSyncStatus(), "CloudSync");
    CloudSyncTest::LogCapture log({"Sync"});
    worker.putSyncStatus("Idle");
    EXPECT_EQ(worker.getSyncStatus(), "Idle");
    EXPECT_FALSE(log.contains("-- SYNC STATUS: ")) << log.dump();
    worker.putSyncStatus("Sending Files...");
    EXPECT_TRUE(log.contains("-- SYNC STATUS: Sending Files...")) << log.dump();

    Nuvaro::Sync::FSWorker::Intervals quick = fastIntervals();
    quick.statusLockWaitMs = 50;
    worker.setIntervalsForTesting(quick);
    std::promise<void> held;
    std::promise<void> release;
    std::thread holder([&] {
        worker.statusMutex.lock();
        held.set_value();
        release.get_future().wait();
        worker.statusMutex.unlock();
    });
    held.get_future().wait();
    Poco::Timestamp asked;
    EXPECT_EQ(worker.getSyncStatus(), "Idle");
    EXPECT_LT(asked.elapsed(), 100000);
    worker.putSyncStatus("Dropped");
    EXPECT_TRUE(log.contains("putSyncStatusPut Sync Lock Failed")) << log.dump();
    release.set_value();
    holder.join();
    EXPECT_EQ(worker.getSyncStatus(), "Sending Files...");
}

// ---- Requests from the application ----

TEST_F(WorkerTest, RequestsFromTheApplicationPostToTheQueue) {
    m_settings["syncfrequency"] = "30";
    ASSERT_TRUE(logIn());
    TestWorker& worker = *m_worker;
    worker.curInterval = 120;
    worker.checkForFSChanges();
    EXPECT_TRUE(worker.flags.localChangesPending);
    EXPECT_EQ(worker.curInterval, 30);
    worker.fileChanged();
    worker.flags.localChangesPending = false;
    worker.curInterval = 120;
    worker.changesApproved(12);
    EXPECT_TRUE(worker.flags.localChangesPending);
    EXPECT_EQ(worker.curInterval, 30);
    int count = 0;
    EXPECT_TRUE(worker.approval.consumeIf([&](int approved, const Poco::Timestamp& at) {
        count = approved;
        return at.elapsed() < 5000000;
    }));
    EXPECT_EQ(count, 12);
    EXPECT_FALSE(worker.approval.consumeIf([](int approved, const Poco::Timestamp&) { return approved > 0; }));

    std::vector<std::string> kinds;
    while (Poco::AutoPtr<Poco::Notification> taken = worker.queue.dequeueNotification()) {
        if (dynamic_cast<Nuvaro::Sync::ForceDirChangeNotification*>(taken.get()))
            kinds.push_back("force");
        else if (dynamic_cast<Nuvaro::Sync::DirChangeNotification*>(taken.get()))
            kinds.push_back("change");
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"change", "force", "change"}));
}

TEST_F(WorkerTest, RunningWorkerTakesChangesFromTheMonitorAndTheApplication) {
    ASSERT_TRUE(startWorker());
    TestWorker& worker = *m_worker;
    std::ofstream(syncRoot() + "/My Files/new.txt") << "n";
    EXPECT_TRUE(waitUntil([&] { return worker.flags.rescanRequested.load(); }));
}

TEST_F(WorkerTest, IgnoredFileChangesStillTakeAForcedScan) {
    m_settings["ignorefilechangenotifications"] = "1";
    ASSERT_TRUE(startWorker());
    TestWorker& worker = *m_worker;
    CloudSyncTest::LogCapture log({"Sync"});
    worker.checkForFSChanges();
    EXPECT_TRUE(waitUntil([&] { return log.contains("Ignoring File Change Notification..."); }));
    EXPECT_FALSE(worker.flags.rescanRequested);
    worker.fileChanged();
    EXPECT_TRUE(waitUntil([&] { return worker.flags.rescanRequested.load(); }));
}

TEST_F(WorkerTest, FriendlyNameKeepsAsciiLettersAndDigits) {
    struct Case {
        std::string name;
        std::string valid;
    };
    for (const Case& c : {Case{"Ann's PC-2", "AnnsPC2"}, Case{"", ""}, Case{"\xC3\xA9t\xC3\xA9", "t"},
                          Case{"\xD0\x9F\xD0\x9A", ""}, Case{"Laptop_7 (home)", "Laptop7home"}})
        EXPECT_EQ(Nuvaro::Sync::getValidFriendlyName(c.name), c.valid) << c.name;
}

TEST_F(WorkerTest, ErrorReportGoesToTheLogTheUserAndTheActivityLog) {
    TestWorker& worker = makeWorker();
    EventRecorder events;
    CloudSyncTest::LogCapture log({"Sync"});
    worker.reportError("Something failed", "/user1/a.txt", "", Nuvaro::Sync::FSActivity::TypeError);
    EXPECT_TRUE(log.contains("ERROR: Something failed Path: /user1/a.txt")) << log.dump();
    std::vector<EventRecorder::Event> expected{EventRecorder::Event{4, "Something failed", 0},
                                               EventRecorder::Event{16, "", 0}};
    EXPECT_EQ(events.events(), expected);
    std::vector<boost::shared_ptr<Nuvaro::Sync::FSActivity>> entries;
    ASSERT_TRUE(m_db->activityCollectionGet(entries, 5));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]->type, Nuvaro::Sync::FSActivity::TypeError);
    EXPECT_EQ(entries[0]->fullPath, "/user1/a.txt");
}

// ---- The activity entries of a step ----

TEST_F(WorkerTest, StepActivitiesAreWrittenTogetherWhenTheOutermostStepEndsAnyWay) {
    using Nuvaro::Sync::FSActivity;
    using Nuvaro::Sync::StepActivities;
    typedef boost::shared_ptr<FSActivity> ActivityPtr;
    auto entry = [](const std::string& message) {
        return ActivityPtr(new FSActivity(FSActivity::LevelNormal, FSActivity::TypeUpload, message, "/p", "w"));
    };
    auto messages = [this] {
        std::vector<ActivityPtr> entries;
        EXPECT_TRUE(m_db->activityCollectionGet(entries, FSActivity::TypeUpload));
        std::multiset<std::string> found;
        for (const ActivityPtr& e : entries) found.insert(e->message);
        return found;
    };
    StepActivities activities;

    // Outside a step an entry is stored at once.
    activities.add(entry("alone"), m_db.get());
    EXPECT_EQ(messages(), std::multiset<std::string>{"alone"});

    // Inside: nothing reaches the database until the outermost step ends,
    // entries from several threads included; a flush writes what came so far.
    std::multiset<std::string> expected{"alone"};
    {
        StepActivities::Scope step(activities, m_db.get());
        std::vector<std::thread> jobs;
        for (int t = 0; t < 4; ++t)
            jobs.emplace_back([&, t] {
                for (int i = 0; i < 25; ++i)
                    activities.add(entry("job " + std::to_string(t) + "-" + std::to_string(i)), m_db.get());
            });
        for (std::thread& job : jobs)
            job.join();
        for (int t = 0; t < 4; ++t)
            for (int i = 0; i < 25; ++i)
                expected.insert("job " + std::to_string(t) + "-" + std::to_string(i));
        {
            StepActivities::Scope inner(activities, m_db.get());
            activities.add(entry("inner"), m_db.get());
        }
        expected.insert("inner");
        EXPECT_EQ(activities.pending(), 101u);
        EXPECT_EQ(messages(), std::multiset<std::string>{"alone"});
        activities.flush(m_db.get());
        EXPECT_EQ(messages(), expected);
        activities.add(entry("last"), m_db.get());
        EXPECT_EQ(messages(), expected);
    }
    expected.insert("last");
    EXPECT_EQ(messages(), expected);

    // A step left by an exception still writes its entries.
    try {
        StepActivities::Scope step(activities, m_db.get());
        activities.add(entry("before the throw"), m_db.get());
        throw std::runtime_error("step failed");
    } catch (const std::runtime_error&) {
    }
    expected.insert("before the throw");
    EXPECT_EQ(messages(), expected);
    EXPECT_EQ(activities.pending(), 0u);
}

// ---- Shutdown: no thread left behind ----

// Everything the worker may run: its thread, its monitor, a scan or a lock
// refresh on the pool.
void expectNothingRunning(TestWorker& worker, int poolUsedBefore) {
    EXPECT_FALSE(worker.isRunning());
    EXPECT_FALSE(worker.thread.isRunning());
    EXPECT_FALSE(worker.monitor);
    EXPECT_FALSE(worker.folderCheck);
    EXPECT_FALSE(worker.refreshLock);
    EXPECT_FALSE(worker.connector);
    EXPECT_TRUE(waitUntil([&] { return Poco::ThreadPool::defaultPool().used() == poolUsedBefore; }, 2000));
}

TEST_F(WorkerTest, ShutdownTwiceAndWithoutStartupIsHarmless) {
    int poolUsed = Poco::ThreadPool::defaultPool().used();
    TestWorker& idle = makeWorker();
    EventRecorder events({16});
    EXPECT_TRUE(idle.shutdown());
    EXPECT_TRUE(idle.shutdown());
    expectNothingRunning(idle, poolUsed);
    EXPECT_EQ(events.events().back(), (EventRecorder::Event{13, "", 0}));

    ASSERT_TRUE(startWorker());
    Poco::Timestamp began;
    EXPECT_TRUE(m_worker->shutdown());
    EXPECT_LT(began.elapsed(), 2000000);
    EXPECT_TRUE(m_worker->shutdown());
    expectNothingRunning(*m_worker, poolUsed);
    EXPECT_EQ(m_worker->getSyncStatus(), "Shutting down...");
}

TEST_F(WorkerTest, ShutdownDuringAScanStopsAndDeletesIt) {
    int poolUsed = Poco::ThreadPool::defaultPool().used();
    // The scan is started by the worker's own loop: a requested rescan with
    // nothing pending, after a server reply was accepted. Its long pause
    // keeps it running.
    Nuvaro::Sync::FSWorker::Intervals slowScan = fastIntervals();
    slowScan.scanStartDelayMs = 60000;
    ASSERT_TRUE(startWorker(slowScan));
    TestWorker& worker = *m_worker;
    ASSERT_TRUE(waitUntil([&] { return worker.isIdle(); }));
    worker.flags.serverOk = true;
    worker.flags.localChangesPending = false;
    worker.fileChanged();
    ASSERT_TRUE(waitUntil([&] { return Poco::ThreadPool::defaultPool().used() > poolUsed; }));
    Poco::Timestamp began;
    worker.shutdown();
    EXPECT_LT(began.elapsed(), 2000000);
    expectNothingRunning(worker, poolUsed);
}

TEST_F(WorkerTest, ShutdownDuringStartupLeavesNothingStarted) {
    server.addFault(TestFault::withDelay("/core/loginguest", 1500));
    int poolUsed = Poco::ThreadPool::defaultPool().used();
    TestWorker& worker = makeWorker();
    Nuvaro::RecordList list = settingsList();
    std::atomic<int> result{-1};
    std::thread starter(
        [&] { result = worker.startup(list, false, "Network Folders", "Team Folders", "teamacct") ? 1 : 0; });
    ASSERT_TRUE(server.waitForRequests("/core/loginguest", 1, 5000));
    Poco::Timestamp began;
    worker.shutdown();
    EXPECT_LT(began.elapsed(), 1000000); // does not wait for the login
    starter.join();
    EXPECT_EQ(result, 0);
    expectNothingRunning(worker, poolUsed);
}

// The ids of this process's threads, as the kernel lists them.
std::set<std::string> threadIds() {
    std::set<std::string> ids;
    const Poco::DirectoryIterator end;
    for (Poco::DirectoryIterator it(std::string("/proc/self/task")); it != end; ++it)
        ids.insert(it.name());
    return ids;
}

// The threads started since `before` that still run.
std::vector<std::string> threadsAddedTo(const std::set<std::string>& before) {
    std::vector<std::string> added;
    for (const std::string& id : threadIds())
        if (before.count(id) == 0)
            added.push_back(id);
    return added;
}

// Destroying a running worker without calling shutdown stops its thread, the
// monitor's and whatever they started: once the test server has stopped too
// (its pool may have grown to serve the worker), no thread started since the
// worker was made is left.
TEST_F(WorkerTest, DestructionWithoutShutdownLeavesNoThread) {
    const int poolUsed = Poco::ThreadPool::defaultPool().used();
    const std::set<std::string> before = threadIds();
    ASSERT_TRUE(startWorker());
    ASSERT_TRUE(waitUntil([&] { return m_worker->isIdle(); }));
    ASSERT_FALSE(threadsAddedTo(before).empty());
    m_worker.reset(); // no shutdown: the destructor does it
    server.stop();
    EXPECT_TRUE(waitUntil([&] { return threadsAddedTo(before).empty(); }, 5000))
        << threadsAddedTo(before).size() << " threads left";
    EXPECT_EQ(Poco::ThreadPool::defaultPool().used(), poolUsed);
}

} // namespace
} // namespace EngineTest
