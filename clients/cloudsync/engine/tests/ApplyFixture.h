#pragma once

// The apply and delete steps of a worker on a real sync folder, staging
// folder and sync database, logged in to the test server: a test builds the
// state a pass would leave (what was synced before, what the user changed
// locally, the server's delta with its staged downloads), calls one step on
// its own thread and looks at the disk, the database and the log.
//
// Every file lies under "My Files" locally and under "/user1" on the
// server; the sync folder is "/user1". A record's identity is made from its
// server path, so the stored record and the delta's record of one item
// share it, as they do with the real server.

#include "WorkerFixture.h"

#include "EventRecorder.h"

#include "FSActivity.h"
#include "FSSyncRecord.h"
#include "NuvaroUtil.h"

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/Timestamp.h>

#include <boost/shared_ptr.hpp>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace EngineTest {

using CloudSyncTest::EventRecorder;
using Nuvaro::Sync::FSActivity;
using Nuvaro::Sync::FSSyncRecord;
using Nuvaro::Sync::FSSyncRecordPtr;

// The worker with the apply step's fields open to the tests.
class ApplyWorker : public TestWorker {
public:
    using TestWorker::TestWorker;
    using FSWorker::approvalClock;
    using FSWorker::heldBackCount;
};

// The sync database with a shorter wait for a lock another connection holds
// (5 s by default), so that a save can be made to fail in milliseconds.
class LockableSyncDB : public Nuvaro::Sync::FSSyncDB {
public:
    void setBusyTimeout(int milliseconds) { m_db->SetBusyTimeout(milliseconds); }
};

// The helpers are public so that tables of cases can use them.
class ApplyTest : public WorkerTest {
public:
    static constexpr const char* kFolder = "/user1";
    // Two whole seconds of the epoch: the time of a synced file and a later one.
    static constexpr std::time_t kT0 = 1700000000;
    static constexpr std::time_t kT1 = 1700003600;

    ApplyTest() { m_db.reset(new LockableSyncDB()); }

    void SetUp() override {
        WorkerTest::SetUp();
        // The folder was synced before: its status set is stored.
        ASSERT_TRUE(m_db->setStatusSet(kFolder, "server:3"));
    }

    // The worker, configured from m_settings and logged in on first use (so
    // that a test can change m_settings before).
    ApplyWorker& worker() {
        if (!m_worker) {
            m_worker.reset(new ApplyWorker(syncRoot(), dataRoot(), m_db, false));
            m_worker->setIntervalsForTesting(fastIntervals());
            Nuvaro::RecordList list = settingsList();
            EXPECT_TRUE(
                m_worker->configureAndLogInForTesting(list, false, "Network Folders", "Team Folders", "teamacct"));
            ApplyWorker& made = static_cast<ApplyWorker&>(*m_worker);
            made.pass.localStatus = "server:3";
            made.pass.remoteStatus = "server:9";
            made.pass.remotePeer = "server";
        }
        return static_cast<ApplyWorker&>(*m_worker);
    }

    // ---- Paths ----

    static std::string localRel(const std::string& rel) { return "My Files/" + rel; }
    static std::string serverPath(const std::string& rel) { return std::string(kFolder) + "/" + rel; }
    std::string at(const std::string& rel) const { return syncRoot() + "/" + localRel(rel); }
    std::string staged(const std::string& rel) const { return dataRoot() + "/.cache/" + localRel(rel); }

    // A path in the test's temp folder, outside the sync folder.
    std::string outside(const std::string& rel) const { return m_tmp / rel; }

    static Poco::Timestamp when(std::time_t seconds) { return Poco::Timestamp::fromEpochTime(seconds); }

    // ---- Records ----

    // A record of "My Files/<rel>" (server "/user1/<rel>") as the server sends
    // it or the database stores it.
    static FSSyncRecordPtr record(const std::string& rel, int type, Poco::Int64 size, std::time_t modified,
                                  Poco::Int64 version = 5, bool deleted = false,
                                  const std::string& friendly = "Ann's Phone") {
        const std::string full = serverPath(rel);
        const std::string::size_type slash = full.rfind('/');
        const std::string localFull = localRel(rel);
        const std::string::size_type localSlash = localFull.rfind('/');
        Nuvaro::DataSync::DataSyncRecord base(Nuvaro::Util::createUUIDFromString(full), version, "phone7", 2,
                                              "phone7", deleted ? 1 : 0);
        return FSSyncRecordPtr(new FSSyncRecord(base, type, full.substr(slash + 1), full.substr(0, slash), full,
                                                type == 1 ? size : 0, when(modified).utcTime(), "", "", friendly,
                                                kFolder, localFull.substr(0, localSlash), localFull, "", ""));
    }

    // The server's new version of a file: a record in the delta and its
    // download in the staging folder.
    FSSyncRecordPtr serverFile(const std::string& rel, const std::string& content, std::time_t modified = kT1) {
        FSSyncRecordPtr made = record(rel, 1, static_cast<Poco::Int64>(content.size()), modified);
        write(staged(rel), content, modified);
        worker().pass.serverChanges.push_back(made);
        return made;
    }
    FSSyncRecordPtr serverFolder(const std::string& rel) {
        FSSyncRecordPtr made = record(rel, 0, 0, kT1);
        worker().pass.serverChanges.push_back(made);
        return made;
    }
    // A deletion on the server, as the delta reports it.
    FSSyncRecordPtr serverDeletion(const std::string& rel, int type = 1, Poco::Int64 size = 0) {
        FSSyncRecordPtr made = record(rel, type, size, kT1, 9, true);
        worker().pass.serverChanges.push_back(made);
        return made;
    }

    // A file as the last sync left it: on disk and stored in the database.
    void synced(const std::string& rel, const std::string& content, std::time_t modified = kT0) {
        localFile(rel, content, modified);
        storeRecord(record(rel, 1, static_cast<Poco::Int64>(content.size()), modified, 3));
    }
    void syncedFolder(const std::string& rel) {
        Poco::File(at(rel)).createDirectories();
        storeRecord(record(rel, 0, 0, kT0, 3));
    }
    void storeRecord(const FSSyncRecordPtr& stored) { ASSERT_TRUE(m_db->FSSyncRecordAdd(stored.get())); }
    // A local file only (a new one, or the user's edit of a synced one).
    void localFile(const std::string& rel, const std::string& content, std::time_t modified = kT0) {
        write(at(rel), content, modified);
    }
    // The record joins the send list, as a scan that found it changed.
    void inSendList(const std::string& rel) { worker().localChanges.push_back(record(rel, 1, 1, kT0, 4)); }

    static void write(const std::string& path, const std::string& content, std::time_t modified) {
        Poco::File(Poco::Path(path).parent()).createDirectories();
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        Poco::File(path).setLastModified(when(modified));
    }

    // ---- Looking at the result ----

    bool exists(const std::string& rel) const { return Poco::File(at(rel)).exists(); }
    std::string content(const std::string& rel) const { return CloudSyncTest::TempFolder::read(at(rel)); }
    std::time_t modifiedSeconds(const std::string& rel) const {
        return Poco::File(at(rel)).getLastModified().epochTime();
    }
    // The names in the folder of "My Files/<folderRel>" ("" for My Files).
    std::vector<std::string> names(const std::string& folderRel = "") const {
        std::vector<std::string> listed;
        Poco::File(folderRel.empty() ? syncRoot() + "/My Files" : at(folderRel)).list(listed);
        std::sort(listed.begin(), listed.end());
        return listed;
    }
    std::string storedStatus() {
        std::string text;
        EXPECT_TRUE(m_db->getStatusSet(kFolder, text));
        return text;
    }
    std::vector<boost::shared_ptr<FSActivity>> activities(FSActivity::Type type) {
        std::vector<boost::shared_ptr<FSActivity>> out;
        m_db->activityCollectionGet(out, type);
        return out;
    }
    // The texts of the UI events of one number.
    static std::vector<std::string> eventTexts(EventRecorder& events, int type) {
        std::vector<std::string> texts;
        for (const auto& event : events.events())
            if (std::get<0>(event) == type)
                texts.push_back(std::get<1>(event));
        return texts;
    }

    LockableSyncDB& lockableDB() { return static_cast<LockableSyncDB&>(*m_db); }
};

} // namespace EngineTest
