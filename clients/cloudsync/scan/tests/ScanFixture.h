#pragma once

// A sync folder and a real sync database in a fresh temp folder, and folder
// scans over them, for the engine's tests.
//
// Layout: <tmp>/sync is the sync root (with "My Files" made), <tmp>/data holds
// syncclient.db. The account is "acct1", so "My Files/x" is "/acct1/x" on the
// server; "/acct1" is the one sync folder known at the start.

#include "FSActivity.h"
#include "FSSyncDB.h"
#include "FSSyncRecord.h"
#include "FolderCacheActivity.h"
#include "TempFolder.h"

#include "NuvaroUtil.h"

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/ThreadPool.h>

#include <gtest/gtest.h>

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <utime.h>
#include <vector>
#include <sys/stat.h>
#include <sys/time.h>

namespace EngineTest {

using Nuvaro::Sync::FSSyncRecord;
using Nuvaro::Sync::FSSyncRecordPtr;
using Nuvaro::Sync::FolderCacheActivity;

const Poco::Int64 kSecond = 10000000;  // UTC time values: 100 ns units

// Sets a file's modification time to `seconds` + `micros` since 1970.
inline void setModified(const std::string& path, long seconds, long micros = 0) {
    struct timeval times[2];
    times[0].tv_sec = times[1].tv_sec = seconds;
    times[0].tv_usec = times[1].tv_usec = micros;
    ASSERT_EQ(::utimes(path.c_str(), times), 0) << path;
}

// The UTC time value of `seconds` + `micros` since 1970.
inline Poco::Int64 utcOf(long seconds, long micros = 0) {
    return Poco::Timestamp(static_cast<Poco::Timestamp::TimeVal>(seconds) * 1000000 + micros).utcTime();
}

class ScanTest : public ::testing::Test {
protected:
    ScanTest() : m_db(new Nuvaro::Sync::FSSyncDB()), m_quit(false) {
        Poco::File(root() + "/My Files").createDirectories();
        Poco::File(m_tmp / "data").createDirectories();
        m_settingsMap.reset(new std::map<std::string, std::string>{
            {"profile", "acct1"}, {"networkfoldername", "Network Folders"}, {"teamfoldername", "Team Folders"},
            {"teamfolderaccount", "teamacct"}, {"checkmodtime", "0"}, {"checkcrc", "0"}});
        m_settings.push_back(m_settingsMap);
    }
    void SetUp() override {
        ASSERT_TRUE(m_db->openDB(m_tmp / "data/syncclient.db", ""));
        ASSERT_TRUE(m_db->setStatusSet("/acct1", ""));
    }
    void TearDown() override { m_db->closeDB(); }

    std::string root() const { return m_tmp / "sync"; }
    // The absolute path of a path relative to the sync root.
    std::string abs(const std::string& rel) const { return root() + "/" + rel; }
    // Writes a file (relative to the sync root), creating its folders.
    std::string write(const std::string& rel, const std::string& content) const {
        return m_tmp.write("sync/" + rel, content);
    }
    void mkdir(const std::string& rel) const { Poco::File(abs(rel)).createDirectories(); }
    void setting(const std::string& key, const std::string& value) { (*m_settingsMap)[key] = value; }

    std::unique_ptr<FolderCacheActivity> makeScan() {
        boost::shared_ptr<Nuvaro::Sync::FSSyncDB> db = m_db;
        std::unique_ptr<FolderCacheActivity> scan(new FolderCacheActivity(
            root(), db, "laptop1", "Owner", "Linux", "acct1", "Network Folders", "Team Folders", "teamacct", false,
            m_settings, m_quit));
        scan->setStartDelay(0);
        return scan;
    }

    // Runs one whole scan on the default thread pool and returns its change
    // list (waits at most 30 s).
    FolderCacheActivity::ChangeList scan() {
        std::unique_ptr<FolderCacheActivity> scan = makeScan();
        scan->activity().start(Poco::ThreadPool::defaultPool());
        scan->activity().wait(30000);
        m_conflicts = scan->numConflictsDetected();
        m_checksumsRead = scan->checksumsRead();
        FolderCacheActivity::ChangeList changes;
        if (scan->changesDetected())
            scan->getChangeList(changes);
        EXPECT_FALSE(scan->changesLimited());
        return changes;
    }

    // Saves changed records as the worker's pass does once the server has
    // them.
    void save(const FolderCacheActivity::ChangeList& changes) {
        Nuvaro::DataSync::DataSyncStore store;
        for (const auto& record : changes)
            store.putChangedRecord(record);
        int count = 0;
        ASSERT_TRUE(m_db->saveDataStore("/acct1", store, count));
    }
    void scanAndSave() { save(scan()); }

    // The changed record of a local path, or null.
    static FSSyncRecordPtr changed(const FolderCacheActivity::ChangeList& changes, const std::string& rel) {
        for (const auto& record : changes) {
            FSSyncRecordPtr fs = boost::dynamic_pointer_cast<FSSyncRecord>(record);
            if (fs && fs->getLocalFullPath() == rel)
                return fs;
        }
        return FSSyncRecordPtr();
    }
    // The local paths of the changed records, sorted.
    static std::vector<std::string> paths(const FolderCacheActivity::ChangeList& changes) {
        std::vector<std::string> out;
        for (const auto& record : changes)
            out.push_back(boost::dynamic_pointer_cast<FSSyncRecord>(record)->getLocalFullPath());
        std::sort(out.begin(), out.end());
        return out;
    }

    // A stored record of a local path below "My Files" ("My Files/a/b.txt"
    // is "/acct1/a/b.txt" on the server), made by the server.
    FSSyncRecordPtr storeRecord(const std::string& rel, int type, Poco::Int64 size, Poco::Int64 modified,
                                bool deleted = false, const std::string& nameOverride = "",
                                const std::string& syncFolder = "/acct1") {
        std::string::size_type slash = rel.rfind('/');
        std::string name = nameOverride.empty() ? rel.substr(slash + 1) : nameOverride;
        std::string localParent = slash == std::string::npos ? "" : rel.substr(0, slash);
        std::string remote = "/acct1" + rel.substr(std::string("My Files").size());
        std::string remoteParent = slash == std::string::npos ? "" : remote.substr(0, remote.rfind('/'));
        Nuvaro::DataSync::DataSyncRecord base(Nuvaro::Util::createUUIDFromString("server:" + rel), 5, "server", 4,
                                              "server", deleted ? 1 : 0);
        FSSyncRecordPtr record(new FSSyncRecord(base, type, name, remoteParent, remote, size, modified, "", "",
                                                "Owner", syncFolder, localParent, rel, "", ""));
        EXPECT_TRUE(m_db->FSSyncRecordAdd(record.get()));
        return record;
    }

    // Skipped-item activity entries (type 7) as "message|path".
    std::vector<std::string> skippedActivities() {
        std::vector<boost::shared_ptr<Nuvaro::Sync::FSActivity>> entries;
        m_db->activityCollectionGet(entries, Nuvaro::Sync::FSActivity::TypeSkippedLocal);
        std::vector<std::string> out;
        for (const auto& entry : entries)
            out.push_back(entry->message + "|" + entry->fullPath);
        std::sort(out.begin(), out.end());
        return out;
    }

    CloudSyncTest::TempFolder m_tmp;
    boost::shared_ptr<Nuvaro::Sync::FSSyncDB> m_db;
    std::atomic<bool> m_quit;
    Nuvaro::Record m_settingsMap;
    FolderCacheActivity::Settings m_settings;
    int m_conflicts = 0;
    int m_checksumsRead = 0;
};

} // namespace EngineTest
