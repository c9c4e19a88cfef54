// Backup jobs (syncType 1) against the test server: upload only (the server
// folder is made level by level, nothing comes down), the backup record on
// the wire, the summary event, the server check, the skip rules of the
// change scan, and files found already on the server.

#include "OfflineJobFixture.h"

#include "EventRecorder.h"
#include "LogCapture.h"
#include "FSActivity.h"

#include <algorithm>

namespace OfflineTest {
namespace {

using Nuvaro::Sync::FSActivity;
using Nuvaro::Sync::TestServer::BackupRecord;
typedef CloudSyncTest::EventRecorder::Event Event;

class Backup : public JobTest {
protected:
    // A backup of <tmp>/<local> into the server folder `remote`.
    JobDir backupDir(const std::string& remote, const std::string& local) {
        return JobDir{&server, remote, m_tmp / local};
    }
    FOOfflineJobData storeBackup(const JobDir& pair, bool sendEmail) {
        FOOfflineJobData job(pair.remote, pair.local, FOOfflineJobData::TYPE_BACKUP, true, "24h", "", false,
                             sendEmail);
        EXPECT_TRUE(m_db->FOAddJobRecord(&job));
        return job;
    }
};

TEST_F(Backup, UploadsOnlyAndPostsTheBackupRecord) {
    JobDir pair = backupDir("/user1/Backups/My PC/docs", "docs");
    pair.writeLocal("a.txt", "alpha", -60);
    pair.writeLocal("sub/b.txt", "bravo", -60);
    storeBackup(pair, true);
    CloudSyncTest::EventRecorder events({0, 1, 2, 3, 16});

    OfflineJobActivity::Counts counts = runJob(pair);

    EXPECT_EQ(counts.uploaded, 2);
    EXPECT_EQ(pair.serverContent("a.txt"), "alpha");
    EXPECT_EQ(pair.serverContent("sub/b.txt"), "bravo");
    EXPECT_EQ(events.events(), (std::vector<Event>{Event{4, "Completed Folder: docs 2 files uploaded", 0}}));

    std::vector<BackupRecord> records = server.backupRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].clientId, "client-1");
    EXPECT_EQ(records[0].deviceName, "My PC");
    EXPECT_EQ(records[0].setName, "docs");
    EXPECT_EQ(records[0].localFolder, pair.local);
    EXPECT_EQ(records[0].fileStats, "2");
    EXPECT_EQ(records[0].sendEmail, "1");
    std::vector<RecordedRequest> sent = server.requests("/app/backup/addbackuprecord");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "POST");
    EXPECT_EQ(sent[0].header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_NE(sent[0].header("Cookie").find("vpsession="), std::string::npos);
    EXPECT_EQ(sent[0].body.find("remote_client_id=client-1&device_name=My%20PC&backup_set_name=docs&"
                                "backup_set_local_folder=%2F"),
              0u)
        << sent[0].body;
    EXPECT_NE(sent[0].body.find("&backup_set_filestats=2&send_email=1"), std::string::npos) << sent[0].body;
    // The head the record has always had: HTTP/1.1, a form body framed by its
    // length, the bare device text (no encoded line feed).
    EXPECT_EQ(sent[0].version, "HTTP/1.1");
    EXPECT_EQ(sent[0].header("Content-Length"), std::to_string(sent[0].body.size()));
    EXPECT_FALSE(sent[0].hasHeader("Transfer-Encoding"));
    EXPECT_FALSE(sent[0].header("Device-Info").empty());
    EXPECT_EQ(sent[0].header("Device-Info").find("%0A"), std::string::npos) << sent[0].header("Device-Info");

    // Nothing new: no transfer, no record, no summary (not asked for by the user).
    EXPECT_EQ(runJob(pair).uploaded, 0);
    EXPECT_EQ(server.backupRecords().size(), 1u);
    EXPECT_EQ(events.events().size(), 1u);
}

// A record the server does not take is logged and ends nothing: a bad
// status, a reply announcing more than the record's reply limit (not read),
// a refusing command record.
TEST_F(Backup, RecordNotTakenIsLogged) {
    struct Case {
        TestFault fault;
        std::string logged;
    };
    const std::string path = "/app/backup/addbackuprecord";
    const std::vector<Case> cases = {
        {TestFault::withStatus(path, 500), "addBackupRecord Bad HTTP Status, Timeout? "},
        {TestFault::withAnnouncedLength(path, 200000000), "addBackupRecord Bad response Get Content Length "},
        {TestFault::withBody(path, "<xml><command><result>0</result><message>no</message></command></xml>"),
         "OfflineJobActivity:: AddBackup Record Remote Call Failed "},
    };
    int round = 0;
    for (const Case& c : cases) {
        JobDir pair = backupDir("/user1/docs" + std::to_string(round), "docs" + std::to_string(round));
        ++round;
        pair.writeLocal("a.txt", "alpha", -60);
        storeBackup(pair, false);
        server.clearFaults();
        server.addFault(c.fault);
        CloudSyncTest::LogCapture log({"Sync"});
        EXPECT_EQ(runJob(pair).uploaded, 1) << c.logged;
        EXPECT_EQ(server.requests(path).size(), static_cast<std::size_t>(round)) << c.logged;
        EXPECT_TRUE(log.contains(c.logged)) << log.dump();
    }
}

TEST_F(Backup, NeverDownloadsOrDeletesLocally) {
    JobDir pair = backupDir("/user1/docs", "docs");
    ASSERT_TRUE(server.makeFolder(kUser, pair.remote));
    pair.putServer("server-only.txt", "server", -60);
    pair.writeLocal("a.txt", "alpha", -60);
    storeBackup(pair, false);

    EXPECT_EQ(runJob(pair).uploaded, 1);
    ASSERT_TRUE(server.removeItem(kUser, pair.remotePath("a.txt")));
    EXPECT_EQ(runJob(pair).uploaded, 0);

    EXPECT_FALSE(pair.onDisk("server-only.txt"));
    EXPECT_EQ(pair.localContent("a.txt"), "alpha");
    EXPECT_TRUE(server.requests("/core/downloadfile").empty());
    EXPECT_EQ(server.backupRecords().at(0).sendEmail, "0");
}

// A backup never deletes on the server, so an emptied folder (or one on
// another file system) is no danger: the run uploads nothing, deletes
// nothing and ends as any other; the file system is neither checked nor
// recorded.
TEST_F(Backup, AnEmptiedFolderDeletesNothingAndTheRunEnds) {
    JobDir pair = backupDir("/user1/docs", "docs");
    pair.writeLocal("a.txt", "alpha", -60);
    pair.writeLocal("sub/b.txt", "bravo", -60);
    storeBackup(pair, false);
    EXPECT_EQ(runJob(pair).uploaded, 2);
    Poco::File(pair.local).remove(true);
    Poco::File(pair.local).createDirectory();
    FOOfflineJobData stored = *m_db->getFOJobRecord(pair.local);
    stored.lastRun = "2020-01-31 08:05:09";
    ASSERT_TRUE(m_db->FOUpdateJobRecord(&stored));
    ASSERT_TRUE(m_db->FOSetJobDevice(pair.local, "dev:8:99"));

    OfflineJobActivity::Counts counts = runJob(pair);

    EXPECT_EQ(counts.uploaded + counts.deleted, 0);
    EXPECT_EQ(pair.serverContent("a.txt"), "alpha");
    EXPECT_EQ(pair.serverContent("sub/b.txt"), "bravo");
    EXPECT_TRUE(server.requests("/app/explorer/deletefile").empty());
    EXPECT_EQ(activities(FSActivity::TypeError), std::vector<std::string>{});
    EXPECT_NE(m_db->getFOJobRecord(pair.local)->lastRun, "2020-01-31 08:05:09");
    EXPECT_EQ(m_db->getFOJobDevice(pair.local), "dev:8:99");
}

TEST_F(Backup, TheAdminCanDisableJobs) {
    struct Case {
        const char* what;
        const char* statusKey;
        std::string remote;
        int syncType;
        std::string message;
    } cases[] = {
        {"backups disabled", "allowbackup", "/user1/docs", FOOfflineJobData::TYPE_BACKUP,
         "Backup has been disabled by Admin"},
        {"network folders on EXTERNAL disabled", "allownetworkfoldersync", "/EXTERNAL/share",
         FOOfflineJobData::TYPE_NETWORK_FOLDER, "Network Folder Sync has been disabled by Admin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.setStatusValue(c.statusKey, "0");
        JobDir pair = backupDir(c.remote, c.what);
        pair.writeLocal("a.txt", "alpha", -60);
        FOOfflineJobData job(pair.remote, pair.local, c.syncType, true, "1h", "", false, false);
        ASSERT_TRUE(m_db->FOAddJobRecord(&job));
        CloudSyncTest::EventRecorder events({16});

        EXPECT_EQ(runJob(pair).uploaded, 0);

        EXPECT_EQ(events.events(), (std::vector<Event>{Event{4, c.message, 0}}));
        EXPECT_EQ(lastRun(pair), "");
        EXPECT_TRUE(server.requests("/upload").empty());
        server.setStatusValue(c.statusKey, "1");
    }
}

TEST_F(Backup, CaseTwinsKeepTheirRowsWhileBothExist) {
    JobDir pair = backupDir("/user1/twins", "twins");
    pair.writeLocal("Twin.txt", "upper", -60);
    pair.writeLocal("twin.txt", "lower", -60);
    storeBackup(pair, false);

    EXPECT_EQ(runJob(pair).uploaded, 2);
    EXPECT_EQ(pair.serverContent("Twin.txt"), "upper");
    EXPECT_EQ(pair.serverContent("twin.txt"), "lower");
    EXPECT_TRUE(row(pair, "Twin.txt"));
    EXPECT_TRUE(row(pair, "twin.txt"));

    // No change, nothing sent.
    server.clearRequests();
    EXPECT_EQ(runJob(pair).uploaded, 0);
    EXPECT_TRUE(server.requests("/upload").empty());

    // Once one twin is gone locally, an upload of the other drops its row.
    Poco::File(pair.localPath("twin.txt")).remove();
    pair.writeLocal("Twin.txt", "upper, edited", -30);
    EXPECT_EQ(runJob(pair).uploaded, 1);
    EXPECT_FALSE(row(pair, "twin.txt"));
    EXPECT_TRUE(row(pair, "Twin.txt"));
    EXPECT_EQ(runJob(pair).uploaded, 0);
}

TEST_F(Backup, NamesHoldingConflictNeverHoldAFileBack) {
    JobDir pair = backupDir("/user1/docs", "docs");
    pair.writeLocal("a.txt", "alpha", -120);
    pair.writeLocal("Conflict_a.txt", "the user's own file", -120);
    pair.writeLocal("notes Conflict_x.txt", "notes", -120);
    storeBackup(pair, false);

    EXPECT_EQ(runJob(pair).uploaded, 3);
    EXPECT_EQ(pair.serverContent("Conflict_a.txt"), "the user's own file");
    EXPECT_EQ(pair.serverContent("notes Conflict_x.txt"), "notes");

    pair.writeLocal("a.txt", "alpha, edited", -60);
    pair.writeLocal("notes Conflict_x.txt", "notes, edited", -60);
    EXPECT_EQ(runJob(pair).uploaded, 2);
    EXPECT_EQ(pair.serverContent("a.txt"), "alpha, edited");
    EXPECT_EQ(pair.serverContent("notes Conflict_x.txt"), "notes, edited");
    EXPECT_EQ(runJob(pair).uploaded, 0);
}

TEST_F(Backup, TheChangeScanLeavesOutWhatMustNotGoUp) {
    struct Case {
        std::string name;
        bool uploaded;
        const char* skippedEntry; // the type 7 activity entry, if any
    };
    std::vector<Case> cases = {
        {"plain.txt", true, nullptr},
        {"~lock.txt", false, nullptr},
        {"trailing blank ", false, "Skipping file/folder with bad characters"},
        {"Conflict_plain.txt", true, nullptr}, // backups make no conflict copies: a name like any other
        {".hidden", false, nullptr},
        {"download.part", true, nullptr}, // a name like any other
        {"download.bin.4242-1.tmp.part", false, nullptr}, // a download's temporary file
        {"setup.EXE", false, "Skipping Banned Extension exe|bat"},
        {"skip-me.tmp", false, nullptr},
        {"bell\x07.txt", false, "Skipping files with invalid chars"},
        {"excluded/inner.txt", false, nullptr},
    };
    m_settings["uploadrestrictions"] = "EXE|bat";
    m_settings["skipregex"] = "^skip-";
    JobDir pair = backupDir("/user1/docs", "docs");
    m_settings["excludepaths"] = pair.localPath("excluded") + "|";
    for (const Case& c : cases)
        pair.writeLocal(c.name, "content", -60);
    storeBackup(pair, false);

    runJob(pair);

    std::vector<std::string> skipped = activities(FSActivity::TypeSkippedLocal);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(pair.onServer(c.name), c.uploaded);
        if (c.skippedEntry) {
            EXPECT_TRUE(std::find(skipped.begin(), skipped.end(), c.skippedEntry) != skipped.end());
        }
    }
    EXPECT_FALSE(pair.onServer("excluded"));
}

TEST_F(Backup, FilesAlreadyOnTheServerAreRecordedWithoutTransfer) {
    struct Case {
        const char* what;
        std::string serverContent;
        long serverTime;
        bool sent;
    } cases[] = {
        {"same size and second", "alpha", -60, false},
        {"same size, other second (a same-size edit)", "ALPHA", -120, true},
        {"other size", "alpha!", -60, true},
    };
    m_settings["scanremotebeforebackup"] = "1";
    int i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        JobDir pair = backupDir("/user1/case" + std::to_string(i), "case" + std::to_string(i));
        ++i;
        pair.putServer("a.txt", c.serverContent, c.serverTime);
        pair.writeLocal("a.txt", "alpha", -60, 400000);
        storeBackup(pair, false);
        server.clearRequests();

        EXPECT_EQ(runJob(pair).uploaded, 1);

        EXPECT_EQ(server.requests("/upload").size(), c.sent ? 1u : 0u);
        EXPECT_EQ(pair.serverContent("a.txt"), c.sent ? "alpha" : c.serverContent);
        EXPECT_TRUE(row(pair, "a.txt"));
    }
}

} // namespace
} // namespace OfflineTest
