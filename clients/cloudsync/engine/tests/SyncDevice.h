#pragma once

// One device of a user: a sync worker with its own sync folder, data folder
// and sync database, logged in to the test server. A test drives its passes
// on its own thread, the way the run loop would (scan, then pass), and
// looks at the device's folder, or starts the worker's thread for the run
// loop itself:
//
//     SyncDevice laptop(tmp / "laptop", server.baseUrl(), "laptop");
//     ASSERT_TRUE(laptop.logIn());
//     laptop.write("docs/a.txt", "hello");
//     laptop.syncOnce();                 // scan, then one pass
//     EXPECT_EQ(server.fileContent("user1", "/user1/docs/a.txt"), "hello");
//
// Files are named relative to the device's "My Files" (the server's
// "/user1").

#include "WorkerFixture.h"

#include "FSActivity.h"
#include "FSSyncDB.h"
#include "TempFolder.h"

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/Timestamp.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace EngineTest {

// The worker with the run loop's and the upload pass's state open to tests.
class PassWorker : public TestWorker {
public:
    using TestWorker::TestWorker;
    using FSWorker::elapsedSeconds;
    using FSWorker::harvestFolderCheck;
    using FSWorker::lastConflictNotice;
    using FSWorker::lastSendOutcome;
    using FSWorker::lastServerCheck;
    using FSWorker::lastSync;
    using FSWorker::lastUnsyncedCheck;
    using FSWorker::passesStarted;
    using FSWorker::passInterval;
    using FSWorker::runCycle;
    using FSWorker::runSyncPass;
    using FSWorker::serverHalf;
};

// Every item below `folder`: relative path -> content ("<folder>" for
// folders).
inline void collectTree(const std::string& folder, const std::string& prefix,
                        std::map<std::string, std::string>& items) {
    std::vector<std::string> names;
    Poco::File(folder).list(names);
    for (const std::string& name : names) {
        const std::string full = folder + "/" + name;
        if (Poco::File(full).isDirectory()) {
            items[prefix + name] = "<folder>";
            collectTree(full, prefix + name + "/", items);
        } else {
            items[prefix + name] = CloudSyncTest::TempFolder::read(full);
        }
    }
}
inline std::map<std::string, std::string> folderTree(const std::string& folder) {
    std::map<std::string, std::string> items;
    collectTree(folder, "", items);
    return items;
}

// The same for the server's files below `folder` of the user's account.
inline void collectServerTree(const VaultpineTestServer& server, const std::string& user, const std::string& folder,
                              const std::string& prefix, std::map<std::string, std::string>& items) {
    for (const auto& item : server.children(user, folder)) {
        if (item.type == 0) {
            items[prefix + item.name] = "<folder>";
            collectServerTree(server, user, folder + "/" + item.name, prefix + item.name + "/", items);
        } else {
            items[prefix + item.name] = server.fileContent(user, folder + "/" + item.name).value_or("?");
        }
    }
}
inline std::map<std::string, std::string> serverTree(const VaultpineTestServer& server, const std::string& user,
                                                     const std::string& folder) {
    std::map<std::string, std::string> items;
    collectServerTree(server, user, folder, "", items);
    return items;
}

class SyncDevice {
public:
    static constexpr const char* kUser = "user1";
    static constexpr const char* kPassword = "pass1";

    // Nothing runs yet; `root` is made and holds sync/ and data/.
    SyncDevice(const std::string& root, const std::string& serverUrl, const std::string& deviceId)
        : m_root(root), m_db(new Nuvaro::Sync::FSSyncDB()) {
        Poco::File(syncRoot() + "/My Files").createDirectories();
        Poco::File(dataRoot()).createDirectories();
        m_opened = m_db->openDB(dataRoot() + "/syncclient.db", "");
        settings = {{"url", serverUrl},
                    {"profile", kUser},
                    {"password", kPassword},
                    {"hostname", deviceId},
                    {"friendlyname", deviceId},
                    {"os", "Linux"},
                    {"networkfoldername", "Network Folders"},
                    {"teamfoldername", "Team Folders"},
                    {"teamfolderaccount", "teamacct"},
                    {"maxthreads", "5"},
                    {"skipinusecheck", "1"},
                    {"RMC_CLIENT_ID", deviceId},
                    {"RMC_CLIENT_DISP_NAME", deviceId}};
    }
    ~SyncDevice() { stop(); }
    SyncDevice(const SyncDevice&) = delete;
    SyncDevice& operator=(const SyncDevice&) = delete;

    // ---- The worker ----

    // Configured from `settings` and logged in, without its thread.
    bool logIn(const Nuvaro::Sync::FSWorker::Intervals& intervals = fastIntervals()) {
        Nuvaro::RecordList list = settingsList();
        return make(intervals).configureAndLogInForTesting(list, false, "Network Folders", "Team Folders",
                                                           "teamacct");
    }
    // Started as the runner starts it: thread, monitor, run loop.
    bool start(const Nuvaro::Sync::FSWorker::Intervals& intervals = fastIntervals()) {
        Nuvaro::RecordList list = settingsList();
        return make(intervals).startup(list, false, "Network Folders", "Team Folders", "teamacct");
    }
    void stop() {
        if (m_worker)
            m_worker->shutdown();
        m_worker.reset();
    }
    PassWorker& worker() { return *m_worker; }
    boost::shared_ptr<Nuvaro::Sync::FSSyncDB>& db() { return m_db; }
    bool databaseOpened() const { return m_opened; }

    // The intervals of a test: no pause before a scan, a short queue wait,
    // run-loop seconds of 20 ms.
    static Nuvaro::Sync::FSWorker::Intervals fastIntervals() {
        Nuvaro::Sync::FSWorker::Intervals fast = fastWorkerIntervals();
        fast.queueWaitMs = 20;
        fast.monitor.settleMs = 50;
        fast.secondMs = 20;
        return fast;
    }

    // ---- Driving it (worker without its thread) ----

    // A whole scan of the sync folder, harvested as the run loop does. Does
    // nothing before the first reply of the server was accepted (the scan
    // needs the sync folder list).
    void scan() {
        PassWorker& w = worker();
        w.restartFolderCheckActivity();
        if (!w.folderCheck)
            return;
        w.folderCheck->activity().wait();
        w.harvestFolderCheck();
    }
    // A scan, then one pass; true when anything was found or came in (local
    // changes, a delta with records).
    bool syncOnce() {
        scan();
        const bool localChanges = !worker().localChanges.empty();
        worker().runSyncPass();
        return localChanges || worker().serverHalf.deltaHadRecords;
    }

    // ---- The sync folder ("My Files") ----

    std::string syncRoot() const { return m_root + "/sync"; }
    std::string dataRoot() const { return m_root + "/data"; }
    std::string path(const std::string& rel) const { return syncRoot() + "/My Files/" + rel; }

    // Writes the file (parents made) and gives it the modification time
    // `modified` seconds after 2024-03-01 10:00:00 UTC (0: now). Passes
    // tell changes by size and second, so a test that changes a file to the
    // same size gives it another second.
    void write(const std::string& rel, const std::string& content, std::time_t modified = 0) const {
        Poco::File(Poco::Path(path(rel)).parent()).createDirectories();
        std::ofstream(path(rel), std::ios::binary | std::ios::trunc) << content;
        if (modified != 0)
            Poco::File(path(rel)).setLastModified(Poco::Timestamp::fromEpochTime(1709287200 + modified));
    }
    std::string read(const std::string& rel) const { return CloudSyncTest::TempFolder::read(path(rel)); }
    bool exists(const std::string& rel) const { return Poco::File(path(rel)).exists(); }
    void makeFolder(const std::string& rel) const { Poco::File(path(rel)).createDirectories(); }
    void remove(const std::string& rel) const { Poco::File(path(rel)).remove(true); }
    void rename(const std::string& from, const std::string& to) const { Poco::File(path(from)).renameTo(path(to)); }

    // Every item below "My Files": relative path -> content ("<folder>" for
    // folders), conflict copies included.
    std::map<std::string, std::string> tree() const { return folderTree(syncRoot() + "/My Files"); }

    std::map<std::string, std::string> settings;
    // Handed to each worker made from here on (FSWorker's test seam).
    std::function<void(const std::string& localPath)> beforePlacement;

private:
    PassWorker& make(const Nuvaro::Sync::FSWorker::Intervals& intervals) {
        stop();
        m_worker.reset(new PassWorker(syncRoot(), dataRoot(), m_db, false));
        m_worker->setIntervalsForTesting(intervals);
        m_worker->beforePlacementForTesting = beforePlacement;
        return *m_worker;
    }
    Nuvaro::RecordList settingsList() const {
        return Nuvaro::RecordList{Nuvaro::Record(new std::map<std::string, std::string>(settings))};
    }

    std::string m_root;
    boost::shared_ptr<Nuvaro::Sync::FSSyncDB> m_db;
    bool m_opened = false;
    std::unique_ptr<PassWorker> m_worker;
};

// Starts the server with the account of the devices' user.
inline void startWithTheUsersAccount(VaultpineTestServer& server) {
    server.start();
    TestAccount account;
    account.userId = SyncDevice::kUser;
    account.password = SyncDevice::kPassword;
    server.addAccount(account);
}

// A test with the test server (one account) and one device of its user.
class OneDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        startWithTheUsersAccount(server);
        device.reset(new SyncDevice(m_tmp / "laptop", server.baseUrl(), "laptop"));
        ASSERT_TRUE(device->databaseOpened());
    }
    void TearDown() override { device.reset(); }

    // Logged in (no thread) and synced once with the server: the device
    // knows the sync folder, so a scan finds its local changes. The scan
    // request of the first reply is taken off the queue.
    PassWorker& ready(const Nuvaro::Sync::FSWorker::Intervals& intervals = SyncDevice::fastIntervals()) {
        EXPECT_TRUE(device->logIn(intervals));
        device->syncOnce();
        device->worker().queue.clear();
        return device->worker();
    }
    std::size_t requestCount(const std::string& path) const { return server.requests(path).size(); }
    std::vector<boost::shared_ptr<Nuvaro::Sync::FSActivity>> activities(Nuvaro::Sync::FSActivity::Type type) {
        std::vector<boost::shared_ptr<Nuvaro::Sync::FSActivity>> found;
        device->db()->activityCollectionGet(found, type);
        return found;
    }

    CloudSyncTest::TempFolder m_tmp;
    VaultpineTestServer server;
    std::unique_ptr<SyncDevice> device;
};

} // namespace EngineTest
