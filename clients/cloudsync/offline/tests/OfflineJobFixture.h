#pragma once

// Jobs against the test server: a test server on 127.0.0.1 with one account,
// a real offline.db and real job folders in a temp folder, and the settings
// map a runner would hand over. A JobDir pairs one server folder with one
// local folder (one job), so that a table of cases gives each case a job of
// its own on the same server and database; runJob runs a job to its end the
// way the manager does (on the default thread pool).

#include "FOOfflineDB.h"
#include "FOOfflineJobData.h"
#include "OfflineJobActivity.h"

#include "LogCapture.h"
#include "TempFolder.h"
#include "WaitUntil.h"
#include "VaultpineTestServer.h"

#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/StreamCopier.h>
#include <Poco/Thread.h>
#include <Poco/Timestamp.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace OfflineTest {

using Nuvaro::Sync::FOOfflineDB;
using Nuvaro::Sync::FOOfflineEntry;
using Nuvaro::Sync::FOOfflineJobData;
using Nuvaro::Sync::OfflineJobActivity;
using Nuvaro::Sync::TestServer::RecordedRequest;
using Nuvaro::Sync::TestServer::TestAccount;
using Nuvaro::Sync::TestServer::TestFault;
using Nuvaro::Sync::TestServer::VaultpineTestServer;

// A time stamp of whole seconds, `seconds` after 2024-03-01 10:00:00 UTC.
inline Poco::Timestamp wholeSecond(long seconds = 0) {
    return Poco::Timestamp::fromEpochTime(1709287200 + seconds);
}

using CloudSyncTest::waitUntil;

// One job's two folders: `remote` on the server (below /user1), `local` in
// the test's temp folder. Paths given to the helpers are relative to both.
struct JobDir {
    VaultpineTestServer* server;
    std::string remote;
    std::string local;

    std::string remotePath(const std::string& rel) const { return rel.empty() ? remote : remote + "/" + rel; }
    std::string localPath(const std::string& rel) const { return rel.empty() ? local : local + "/" + rel; }

    void putServer(const std::string& rel, const std::string& content, long at = -3600) const {
        ASSERT_TRUE(server->putFile("user1", remotePath(rel), content, wholeSecond(at))) << rel;
    }
    std::string serverContent(const std::string& rel) const {
        auto content = server->fileContent("user1", remotePath(rel));
        return content ? *content : std::string("<absent>");
    }
    bool onServer(const std::string& rel) const { return server->item("user1", remotePath(rel)).has_value(); }

    // Writes a local file (making its folders) with the modification time
    // `at` seconds after the reference second, plus `fraction` microseconds.
    void writeLocal(const std::string& rel, const std::string& content, long at = -3600, long fraction = 0) const {
        const std::string path = localPath(rel);
        Poco::File(path.substr(0, path.rfind('/'))).createDirectories();
        {
            Poco::FileOutputStream out(path, std::ios::out | std::ios::trunc | std::ios::binary);
            out << content;
        }
        Poco::File(path).setLastModified(wholeSecond(at) + fraction);
    }
    std::string localContent(const std::string& rel) const {
        if (!Poco::File(localPath(rel)).exists())
            return "<absent>";
        Poco::FileInputStream in(localPath(rel));
        std::string content;
        Poco::StreamCopier::copyToString(in, content);
        return content;
    }
    bool onDisk(const std::string& rel) const { return Poco::File(localPath(rel)).exists(); }
};

class JobTest : public ::testing::Test {
public:
    static constexpr const char* kUser = "user1";

protected:
    JobTest() : m_db(new FOOfflineDB()) {}

    void SetUp() override {
        ASSERT_TRUE(m_db->openDB(m_tmp / "offline.db", ""));
        server.start();
        TestAccount account;
        account.userId = kUser;
        account.password = "pass1";
        server.addAccount(account);
        m_settings = {{"url", server.baseUrl()},       {"profile", kUser},
                      {"password", "pass1"},           {"friendlyname", "My PC"},
                      {"hostname", "dev-1"},           {"RMC_CLIENT_ID", "client-1"},
                      {"RMC_CLIENT_DISP_NAME", "My PC"}, {"maxthreads", "2"}};
    }

    void TearDown() override { m_db->closeDB(); }

    Nuvaro::RecordList settingsList() const {
        return Nuvaro::RecordList{Nuvaro::Record(new std::map<std::string, std::string>(m_settings))};
    }

    // A job pair named `name`: server folder /user1/<name> (made unless
    // makeRemote is false), local folder <tmp>/<name> (not made: a first
    // run makes it).
    JobDir dir(const std::string& name, bool makeRemote = true) {
        JobDir made{&server, "/user1/" + name, m_tmp / name};
        if (makeRemote) {
            EXPECT_TRUE(server.makeFolder(kUser, made.remote));
        }
        return made;
    }

    // The job of a pair, stored in offline.db (replacing an earlier row).
    FOOfflineJobData storeJob(const JobDir& pair, int syncType = FOOfflineJobData::TYPE_NETWORK_FOLDER,
                              bool remoteDelete = false, const std::string& schedule = "1h",
                              const std::string& lastRun = "") {
        FOOfflineJobData job(pair.remote, pair.local, syncType, true, schedule, lastRun, remoteDelete, false);
        m_db->FODeleteJobRecord(&job);
        EXPECT_TRUE(m_db->FOAddJobRecord(&job));
        return job;
    }

    // Runs the job (as stored now, so that lastRun is the stored one) to
    // its end on the default thread pool, as the manager does.
    OfflineJobActivity::Counts runJob(const JobDir& pair, bool userInitiated = false) {
        boost::shared_ptr<FOOfflineJobData> job = m_db->getFOJobRecord(pair.local);
        EXPECT_TRUE(job) << pair.local;
        OfflineJobActivity activity(settingsList(), *job, m_db, userInitiated);
        activity.activity().start();
        EXPECT_NO_THROW(activity.activity().wait(60000));
        EXPECT_TRUE(activity.isDone());
        return activity.counts();
    }

    boost::shared_ptr<FOOfflineEntry> row(const JobDir& pair, const std::string& rel) {
        return m_db->getFORecord(pair.localPath(rel));
    }
    std::string lastRun(const JobDir& pair) {
        boost::shared_ptr<FOOfflineJobData> job = m_db->getFOJobRecord(pair.local);
        return job ? job->lastRun : "<no job>";
    }
    // Messages of the activity entries of one type.
    std::vector<std::string> activities(Nuvaro::Sync::FSActivity::Type type) {
        std::vector<boost::shared_ptr<Nuvaro::Sync::FSActivity>> found;
        m_db->activityCollectionGet(found, "", type);
        std::vector<std::string> messages;
        for (const auto& entry : found)
            messages.push_back(entry->message);
        return messages;
    }

    VaultpineTestServer server;
    CloudSyncTest::TempFolder m_tmp;
    boost::shared_ptr<FOOfflineDB> m_db;
    std::map<std::string, std::string> m_settings;
};

} // namespace OfflineTest
