// Staged downloads (doDownloadFiles) against the test server with real
// files: which records are fetched (one table of the skip rules), where and
// how downloads land, the access check under /EXTERNAL/, failures, and the
// size of the pool. serverChanges is filled by the tests as the delta step
// would fill it.

#include "TransferFixture.h"

#include "EventRecorder.h"
#include "FSActivity.h"

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace EngineTest {

using CloudSyncTest::EventRecorder;

namespace {

using Nuvaro::Sync::FSActivity;

class Downloads : public TransferTest {
protected:
    // Logs the worker in with the extra settings.
    void start(const std::map<std::string, std::string>& extra = {}) {
        for (const auto& setting : extra)
            m_settings[setting.first] = setting.second;
        ASSERT_TRUE(logIn());
        server.clearRequests();
    }

    FSSyncRecordPtr addToDelta(const std::string& serverPath) {
        FSSyncRecordPtr record = serverRecord(serverPath);
        m_worker->pass.serverChanges.push_back(record);
        return record;
    }

    // The server paths the worker asked to download.
    std::set<std::string> downloaded() {
        std::set<std::string> paths;
        for (const RecordedRequest& sent : server.requests("/core/downloadfile"))
            paths.insert(sent.queryField("filepath"));
        return paths;
    }

    static void setTime(const std::string& path, const Poco::Timestamp& time) {
        Poco::File(path).setLastModified(time);
    }
};

TEST_F(Downloads, TheSkipRulesDecideWhichRecordsAreDownloaded) {
    start();
    struct Row {
        const char* what;
        std::string path;
        std::function<void(FSSyncRecordPtr&)> arrange;
        bool fetched;
    };
    auto file = [](const std::string& name) { return "/user1/rules/" + name; };
    std::vector<Row> rows = {
        {"a new file", file("new.txt"), [](FSSyncRecordPtr&) {}, true},
        {"a deleted record", file("deleted.txt"), [](FSSyncRecordPtr& r) { r->setIsDeleted(true); },
         false},
        {"flags exactly SKIP", file("skip.txt"), [](FSSyncRecordPtr& r) { r->setFlags("SKIP"); }, false},
        {"SKIP among other flags", file("skipx.txt"), [](FSSyncRecordPtr& r) { r->setFlags("SKIP,x"); },
         true},
        {"uploaded in this pass", file("mine.txt"),
         [this](FSSyncRecordPtr& r) { m_worker->uploadedThisPass.insert(r->getFullPath()); }, false},
        {"local file unchanged (same size, same second)", file("same.txt"),
         [this](FSSyncRecordPtr& r) {
             writeFile(localPath(r->getFullPath()), *server.fileContent(kUser, r->getFullPath()));
             setTime(localPath(r->getFullPath()), wholeSecond(0) + 600000); // 0.6 s into the same second
         },
         false},
        {"server file changed to the same size", file("samesize.txt"),
         [this](FSSyncRecordPtr& r) {
             writeFile(localPath(r->getFullPath()), "OLD CONTENT");
             setTime(localPath(r->getFullPath()), wholeSecond(-3600));
         },
         true},
        {"local file of another size", file("other.txt"),
         [this](FSSyncRecordPtr& r) {
             writeFile(localPath(r->getFullPath()), "x");
             setTime(localPath(r->getFullPath()), wholeSecond(0));
         },
         true},
        {"a dangling link in place of the local file", file("link.txt"),
         [this](FSSyncRecordPtr& r) {
             Poco::File(localPath("/user1/rules")).createDirectories();
             ASSERT_EQ(::symlink("nowhere", localPath(r->getFullPath()).c_str()), 0);
         },
         true},
        {"stale staged file of the same size", file("stale.txt"),
         [this](FSSyncRecordPtr& r) {
             writeFile(stagedPath(r->getFullPath()), "OLD CONTENT");
             setTime(stagedPath(r->getFullPath()), wholeSecond(-3600));
         },
         true},
        {"complete staged file", file("staged.txt"),
         [this](FSSyncRecordPtr& r) {
             writeFile(stagedPath(r->getFullPath()), *server.fileContent(kUser, r->getFullPath()));
             setTime(stagedPath(r->getFullPath()), wholeSecond(0));
         },
         false},
    };
    for (Row& row : rows)
        server.putFile(kUser, row.path, "NEW CONTENT", wholeSecond(0));
    server.makeFolder(kUser, "/user1/rules/here");
    server.makeFolder(kUser, "/user1/rules/there");
    Poco::File(localPath("/user1/rules/here")).createDirectories();
    for (Row& row : rows) {
        FSSyncRecordPtr record = addToDelta(row.path);
        row.arrange(record);
    }
    addToDelta("/user1/rules/here");
    addToDelta("/user1/rules/there");

    EXPECT_TRUE(m_worker->doDownloadFiles("/user1", false));

    std::set<std::string> fetched = downloaded();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(fetched.count(row.path), row.fetched ? 1u : 0u);
        if (row.fetched) {
            EXPECT_EQ(readFile(stagedPath(row.path)), "NEW CONTENT");
        }
    }
    EXPECT_EQ(fetched.size(), 6u);
    // A folder is staged as a folder, only when it is missing locally.
    EXPECT_FALSE(Poco::File(stagedPath("/user1/rules/here")).exists());
    EXPECT_TRUE(Poco::File(stagedPath("/user1/rules/there")).isDirectory());
    // Skipped records leave nothing in the cache.
    EXPECT_FALSE(Poco::File(stagedPath(file("skip.txt"))).exists());
    EXPECT_FALSE(Poco::File(stagedPath(file("same.txt"))).exists());
    EXPECT_TRUE(m_worker->flags.loggedIn);
}

TEST_F(Downloads, DownloadsLandInTheCacheWithTheRecordsTimeAndAttributes) {
    start();
    server.putFile(kUser, "/user1/bin/run.sh", "#!/bin/sh\n", wholeSecond(7));
    server.putFile(kUser, "/user1/bin/notes.txt", "notes", wholeSecond(9));
    addToDelta("/user1/bin/run.sh")->setAttribs("x,");
    addToDelta("/user1/bin/notes.txt");
    EventRecorder events({11, 14, 15});

    ASSERT_TRUE(m_worker->doDownloadFiles("/user1", false));

    EXPECT_EQ(readFile(dataRoot() + "/.cache/My Files/bin/run.sh"), "#!/bin/sh\n");
    EXPECT_EQ(Poco::File(stagedPath("/user1/bin/run.sh")).getLastModified().epochTime(), wholeSecond(7).epochTime());
    EXPECT_EQ(Poco::File(stagedPath("/user1/bin/notes.txt")).getLastModified().epochTime(),
              wholeSecond(9).epochTime());
    struct stat info {};
    ASSERT_EQ(::stat(stagedPath("/user1/bin/run.sh").c_str(), &info), 0);
    EXPECT_NE(info.st_mode & S_IXUSR, 0u);
    ASSERT_EQ(::stat(stagedPath("/user1/bin/notes.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & S_IXUSR, 0u);
    // Nothing reaches the sync folder before the apply step.
    EXPECT_FALSE(Poco::File(localPath("/user1/bin/run.sh")).exists());
    EXPECT_EQ(events.events(), (std::vector<EventRecorder::Event>{EventRecorder::Event{10, "Downloading Changes", 2}}));
    EXPECT_EQ(m_worker->getSyncStatus(), "Downloading: (2/2) notes.txt");
}

TEST_F(Downloads, WithChecksumsOnTheChecksumDecidesAndStagedFilesAreFetchedAgain) {
    start({{"checkcrc", "1"}});
    server.putFile(kUser, "/user1/crc/same.txt", "NEW CONTENT", wholeSecond(0));
    server.putFile(kUser, "/user1/crc/differs.txt", "NEW CONTENT", wholeSecond(0));
    server.putFile(kUser, "/user1/crc/staged.txt", "NEW CONTENT", wholeSecond(0));
    writeFile(localPath("/user1/crc/same.txt"), "NEW CONTENT");
    setTime(localPath("/user1/crc/same.txt"), wholeSecond(-3600)); // the time alone does not decide
    writeFile(localPath("/user1/crc/differs.txt"), "OLD CONTENT");
    setTime(localPath("/user1/crc/differs.txt"), wholeSecond(0)); // neither does the time here
    writeFile(stagedPath("/user1/crc/staged.txt"), "NEW CONTENT");
    setTime(stagedPath("/user1/crc/staged.txt"), wholeSecond(0));
    for (const char* path : {"/user1/crc/same.txt", "/user1/crc/differs.txt", "/user1/crc/staged.txt"})
        addToDelta(path);

    ASSERT_TRUE(m_worker->doDownloadFiles("/user1", false));

    EXPECT_EQ(downloaded(), (std::set<std::string>{"/user1/crc/differs.txt", "/user1/crc/staged.txt"}));
    EXPECT_EQ(server.requests("/app/sync/getchecksum").size(), 2u);
}

TEST_F(Downloads, NoAccessUnderExternalIsRememberedForTheFolder) {
    start();
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        server.putFile(kUser, std::string("/EXTERNAL/share1/") + name, name);
    for (const char* name : {"d.txt", "e.txt"})
        server.putFile(kUser, std::string("/EXTERNAL/share2/") + name, name);
    server.setAccess(kUser, "/EXTERNAL/share1", true, false);
    std::vector<FSSyncRecordPtr> denied;
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        denied.push_back(addToDelta(std::string("/EXTERNAL/share1/") + name));
    addToDelta("/EXTERNAL/share2/d.txt");
    addToDelta("/EXTERNAL/share2/e.txt");
    // Only a path that begins with the external area is checked.
    server.putFile(kUser, "/user1/EXTERNAL/f.txt", "f.txt");
    addToDelta("/user1/EXTERNAL/f.txt");
    CloudSyncTest::LogCapture log({"Sync"});

    EXPECT_TRUE(m_worker->doDownloadFiles("/EXTERNAL/share1", false));

    // One request for the denied folder, one per file of the granted one.
    EXPECT_EQ(server.requests("/core/getaccessdetailsforpath").size(), 3u);
    EXPECT_EQ(m_worker->pass.noAccessPaths, (std::set<std::string>{"/EXTERNAL/share1"}));
    for (const FSSyncRecordPtr& record : denied) {
        EXPECT_EQ(record->getFlags(), "SKIP");
        EXPECT_TRUE(log.contains("Download SKIPPED: No Access to Path " + record->getFullPath())) << log.dump();
    }
    for (const RecordedRequest& asked : server.requests("/core/getaccessdetailsforpath"))
        EXPECT_EQ(asked.formField("fullpath").rfind("/EXTERNAL/", 0), 0u) << asked.formField("fullpath");
    EXPECT_EQ(downloaded(), (std::set<std::string>{"/EXTERNAL/share2/d.txt", "/EXTERNAL/share2/e.txt",
                                                   "/user1/EXTERNAL/f.txt"}));
    EXPECT_EQ(readFile(dataRoot() + "/.cache/Network Folders/share2/d.txt"), "d.txt");
}

TEST_F(Downloads, AFailedAccessRequestIsReportedAndFailsTheStep) {
    start();
    server.putFile(kUser, "/EXTERNAL/share1/a.txt", "a");
    addToDelta("/EXTERNAL/share1/a.txt");
    server.addFault(TestFault::withStatus("/core/getaccessdetailsforpath", 500));

    EXPECT_FALSE(m_worker->doDownloadFiles("/EXTERNAL/share1", false));

    std::vector<boost::shared_ptr<FSActivity>> errors;
    ASSERT_TRUE(m_db->activityCollectionGet(errors, FSActivity::TypeError));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]->message, "Access Details Check FAILED from server: a.txt");
    EXPECT_EQ(errors[0]->fullPath, "/EXTERNAL/share1/a.txt");
    EXPECT_TRUE(downloaded().empty());
}

TEST_F(Downloads, AFailedDownloadIsRecheckedReportedAndFailsTheStepAfterTheOthers) {
    start();
    for (const char* name : {"a.txt", "b.txt", "gone.txt", "c.txt"})
        server.putFile(kUser, std::string("/user1/f/") + name, name);
    for (const char* name : {"a.txt", "b.txt", "gone.txt", "c.txt"})
        addToDelta(std::string("/user1/f/") + name);
    server.removeItem(kUser, "/user1/f/gone.txt");

    EXPECT_FALSE(m_worker->doDownloadFiles("/user1", false));

    EXPECT_FALSE(m_worker->flags.loggedIn);
    auto rechecks = server.requests("/app/sync/recheckrecord");
    ASSERT_EQ(rechecks.size(), 1u);
    EXPECT_EQ(rechecks[0].formField("path"), "/user1/f/gone.txt");
    std::vector<boost::shared_ptr<FSActivity>> errors;
    ASSERT_TRUE(m_db->activityCollectionGet(errors, FSActivity::TypeError));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]->fullPath, "/user1/f/gone.txt");
    EXPECT_EQ(errors[0]->message.rfind("Failed Download: ", 0), 0u) << errors[0]->message;
    // The jobs started before the failure was seen finished normally.
    EXPECT_EQ(readFile(stagedPath("/user1/f/a.txt")), "a.txt");
    EXPECT_FALSE(Poco::File(stagedPath("/user1/f/gone.txt")).exists());
}

TEST_F(Downloads, ThePoolHasOneToMaxthreadsSlotsAndNeverMoreThanRecords) {
    struct Case {
        const char* maxthreads;
        int records;
        std::size_t logins;
    } cases[] = {{"5", 2, 2}, {"2", 4, 2}, {"0", 2, 1}, {"garbage", 2, 1}, {"5", 0, 1}};
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.maxthreads) + " with " + std::to_string(c.records));
        const std::string folder = "/user1/n" + std::to_string(++round) + "/";
        m_settings["maxthreads"] = c.maxthreads;
        ASSERT_TRUE(logIn());
        server.clearRequests();
        for (int i = 0; i < c.records; ++i) {
            server.putFile(kUser, folder + std::to_string(i), "x");
            addToDelta(folder + std::to_string(i));
        }
        EXPECT_TRUE(m_worker->doDownloadFiles("/user1", false));
        EXPECT_EQ(server.requests("/core/loginguest").size(), c.logins);
        EXPECT_EQ(downloaded().size(), static_cast<std::size_t>(c.records));
        m_worker->shutdown();
    }
}

TEST_F(Downloads, AnEmptyDeltaCreatesTheCacheAndSucceeds) {
    start();
    EventRecorder events;
    EXPECT_TRUE(m_worker->doDownloadFiles("/user1", false));
    EXPECT_TRUE(Poco::File(dataRoot() + "/.cache").isDirectory());
    EXPECT_EQ(events.events(), (std::vector<EventRecorder::Event>{EventRecorder::Event{10, "Downloading Changes", 0}}));
}

TEST_F(Downloads, WithoutAnyLoggedInSlotTheStepBacksOff) {
    start();
    server.putFile(kUser, "/user1/a.txt", "a");
    addToDelta("/user1/a.txt");
    server.addFault(TestFault::withStatus("/core/loginguest", 500));

    EXPECT_FALSE(m_worker->doDownloadFiles("/user1", false));

    EXPECT_FALSE(m_worker->flags.loggedIn);
    EXPECT_EQ(m_worker->curInterval.load(), 20 * m_worker->syncFrequency.load());
    EXPECT_TRUE(downloaded().empty());
}

TEST_F(Downloads, AStoppedWorkerDownloadsNothing) {
    start();
    server.putFile(kUser, "/user1/a.txt", "a");
    addToDelta("/user1/a.txt");
    m_worker->stop = true;
    EXPECT_FALSE(m_worker->doDownloadFiles("/user1", false));
    EXPECT_TRUE(downloaded().empty());
}

TEST_F(Downloads, ARecordWhoseLocalPathLeavesTheSyncFolderIsRefused) {
    start();
    server.putFile(kUser, "/user1/evil.txt", "evil");
    for (const char* local : {"../../escaped.txt", "/tmp/escaped.txt", "My Files/../../escaped.txt", ""}) {
        FSSyncRecordPtr record = serverRecord("/user1/evil.txt");
        record->setLocalFullPath(local);
        m_worker->pass.serverChanges.push_back(record);
    }
    CloudSyncTest::LogCapture log({"Sync"});

    EXPECT_TRUE(m_worker->doDownloadFiles("/user1", false));

    EXPECT_TRUE(downloaded().empty());
    EXPECT_FALSE(Poco::File(m_tmp / "escaped.txt").exists());
    EXPECT_TRUE(log.contains("Download SKIPPED: Path outside the sync folder /user1/evil.txt")) << log.dump();
}

} // namespace
} // namespace EngineTest
