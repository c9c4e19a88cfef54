#pragma once

// A sync worker against the test server: a test server on 127.0.0.1 with one
// account, a real sync folder and data folder in a temp folder, a real sync
// database, and the settings map a runner would hand over. TestWorker
// re-exports the worker's fields, so that tests (and the later pass-step
// tests) can set up and check the state single steps work on: log a worker
// in without its thread (logIn()), call a step, look at the fields.

#include "FSWorker.h"
#include "LogCapture.h"
#include "TempFolder.h"
#include "WaitUntil.h"
#include "VaultpineTestServer.h"
#include "WaitUntil.h"

#include <Poco/File.h>
#include <Poco/Thread.h>
#include <Poco/Timestamp.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace EngineTest {

using Nuvaro::Sync::TestServer::TestAccount;
using Nuvaro::Sync::TestServer::TestFault;
using Nuvaro::Sync::TestServer::VaultpineTestServer;

// The worker with its fields open to the tests. Add a using-declaration here
// for every field a test needs.
class TestWorker : public Nuvaro::Sync::FSWorker {
public:
    using FSWorker::FSWorker;
    using FSWorker::approval;
    using FSWorker::checkModTime;
    using FSWorker::connector;
    using FSWorker::curInterval;
    using FSWorker::dataPath;
    using FSWorker::deleteApprovalPct;
    using FSWorker::flags;
    using FSWorker::folderCheck;
    using FSWorker::friendlyName;
    using FSWorker::hostname;
    using FSWorker::ignoreFileChanges;
    using FSWorker::intervals;
    using FSWorker::lastScan;
    using FSWorker::localChanges;
    using FSWorker::maxThreads;
    using FSWorker::monitor;
    using FSWorker::monitorPath;
    using FSWorker::networkFolderName;
    using FSWorker::noStreamFactories;
    // Placement journal
    using FSWorker::Placed;
    using FSWorker::PlacementJournal;
    using FSWorker::readPlacementJournals;
    using FSWorker::storePlacementJournal;
    using FSWorker::pass;
    // Held-back changes and the send list
    using FSWorker::heldBack;
    using FSWorker::keepSendableLocalChanges;
    using FSWorker::reportHeldBack;
    using FSWorker::retryHeldBack;
    // Transfers and staged downloads
    using FSWorker::queue;
    using FSWorker::refreshLock;
    using FSWorker::removeUnshared;
    using FSWorker::requestCanceller;
    using FSWorker::settings;
    using FSWorker::skipDeleteApproval;
    using FSWorker::statusMutex;
    using FSWorker::stop;
    using FSWorker::syncFrequency;
    using FSWorker::syncPath;
    using FSWorker::teamFolderAccount;
    using FSWorker::teamFolderName;
    using FSWorker::thread;
    using FSWorker::totalSecsWithoutScan;
    using FSWorker::uploadPath;
    using FSWorker::uploadedThisPass;
    // Pass steps
    using FSWorker::canDeleteDirectory;
    using FSWorker::changeCheckSettings;
    using FSWorker::changeMonitorComplete;
    using FSWorker::cleanOldSyncFolders;
    using FSWorker::cleanShared;
    using FSWorker::copyToConflictFile;
    using FSWorker::createFilePathIfNeeded;
    using FSWorker::doDeleteFiles;
    using FSWorker::doDownloadFiles;
    using FSWorker::doEndSync;
    using FSWorker::doGetSyncDelta;
    using FSWorker::doGetSyncFolderList;
    using FSWorker::doGetSyncFolderStatusSet;
    using FSWorker::doLock;
    using FSWorker::doRecheckRecord;
    using FSWorker::doSendFiles;
    using FSWorker::doSkipUpload;
    using FSWorker::doSyncFromServer;
    using FSWorker::doSyncToServer;
    using FSWorker::doUnlock;
    using FSWorker::getCheckSum;
    using FSWorker::periodicScanSeconds;
    using FSWorker::reportError;
    using FSWorker::restartFolderCheckActivity;
    using FSWorker::setting;
    using FSWorker::simulImpl;
    using FSWorker::startJob;
    using FSWorker::startRefreshLockActivity;
    using FSWorker::stopRefreshLockActivity;
    using FSWorker::updateObjectProps;
};

using CloudSyncTest::waitUntil;

// Intervals short enough for tests; the worker's defaults otherwise.
inline Nuvaro::Sync::FSWorker::Intervals fastWorkerIntervals() {
    Nuvaro::Sync::FSWorker::Intervals fast;
    fast.queueWaitMs = 50;
    fast.scanStartDelayMs = 0;
    fast.lockRefreshStepMs = 20;
    fast.lockRefreshSteps = 5;
    fast.monitor.settleMs = 100;
    return fast;
}

class WorkerTest : public ::testing::Test {
public:
    static constexpr const char* kUser = "user1";
    static constexpr const char* kPassword = "pass1";
    static constexpr const char* kDevice = "dev-1";

protected:
    WorkerTest() : m_db(new Nuvaro::Sync::FSSyncDB()) {
        Poco::File(syncRoot() + "/My Files").createDirectories();
        Poco::File(m_tmp / "data").createDirectories();
    }

    void SetUp() override {
        ASSERT_TRUE(m_db->openDB(m_tmp / "data/syncclient.db", ""));
        server.start();
        server.addAccount(account());
        m_settings = {{"url", server.baseUrl()},
                      {"profile", kUser},
                      {"password", kPassword},
                      {"hostname", kDevice},
                      {"friendlyname", "My PC"},
                      {"os", "Linux"},
                      {"networkfoldername", "Network Folders"},
                      {"teamfoldername", "Team Folders"},
                      {"teamfolderaccount", "teamacct"},
                      {"RMC_CLIENT_ID", "client-1"},
                      {"RMC_CLIENT_DISP_NAME", "My PC"}};
    }

    void TearDown() override {
        if (m_worker)
            m_worker->shutdown();
        m_worker.reset();
        m_db->closeDB();
    }

    virtual TestAccount account() const {
        TestAccount account;
        account.userId = kUser;
        account.password = kPassword;
        return account;
    }

    std::string syncRoot() const { return m_tmp / "sync"; }
    std::string dataRoot() const { return m_tmp / "data"; }

    static Nuvaro::Sync::FSWorker::Intervals fastIntervals() { return fastWorkerIntervals(); }

    TestWorker& makeWorker(const Nuvaro::Sync::FSWorker::Intervals& intervals = fastIntervals()) {
        m_worker.reset(new TestWorker(syncRoot(), dataRoot(), m_db, false));
        m_worker->setIntervalsForTesting(intervals);
        return *m_worker;
    }

    Nuvaro::RecordList settingsList() const {
        return Nuvaro::RecordList{Nuvaro::Record(new std::map<std::string, std::string>(m_settings))};
    }

    // A worker started the way the runner starts it.
    bool startWorker(const Nuvaro::Sync::FSWorker::Intervals& intervals = fastIntervals()) {
        Nuvaro::RecordList list = settingsList();
        return makeWorker(intervals).startup(list, false, "Network Folders", "Team Folders", "teamacct");
    }

    // A worker configured and logged in, without its thread and monitor:
    // pass steps run on the test's thread.
    bool logIn(const Nuvaro::Sync::FSWorker::Intervals& intervals = fastIntervals()) {
        Nuvaro::RecordList list = settingsList();
        return makeWorker(intervals).configureAndLogInForTesting(list, false, "Network Folders", "Team Folders",
                                                        "teamacct");
    }

    VaultpineTestServer server;
    CloudSyncTest::TempFolder m_tmp;
    boost::shared_ptr<Nuvaro::Sync::FSSyncDB> m_db;
    std::map<std::string, std::string> m_settings;
    std::unique_ptr<TestWorker> m_worker;
};

} // namespace EngineTest
