// Deletions in both directions and the gate before mass deletions: server
// deletions applied to a real sync folder, the delete-approval gate on a
// real sync database, and local removals deleted on the test server.

#include "ApplyFixture.h"

#include "CaseName.h"

#include "wxSQLite3Database.h"

#include <functional>
#include <unistd.h>

namespace EngineTest {
namespace {

// ---- Server deletions applied locally ----

struct DeletionCase {
    const char* what;
    // The local side and the delta's deletions.
    std::function<void(ApplyTest&)> setup;
    std::vector<const char*> gone;
    std::vector<const char*> kept;
    // The summary event's text ("" for none).
    const char* summary;
    // A line the step logs ("" for none).
    std::string logged;
};

class ServerDeletion : public ApplyTest, public ::testing::WithParamInterface<DeletionCase> {};

TEST_P(ServerDeletion, RemovesOnlyWhatHoldsNothingOfValue) {
    const DeletionCase& c = GetParam();
    c.setup(*this);
    CloudSyncTest::LogCapture log({"Sync"});
    EventRecorder events({10, 11, 13, 16});

    ASSERT_TRUE(worker().doEndSync(kFolder));

    for (const char* rel : c.gone)
        EXPECT_FALSE(exists(rel)) << rel;
    for (const char* rel : c.kept)
        EXPECT_TRUE(exists(rel)) << rel;
    EXPECT_EQ(eventTexts(events, 4),
              *c.summary ? std::vector<std::string>{c.summary} : std::vector<std::string>{});
    if (!c.logged.empty()) {
        EXPECT_TRUE(log.contains(c.logged)) << log.dump();
    }
    EXPECT_EQ(storedStatus(), "server:9");
}

// "d/f.txt" synced as "abc", then `local` (what the user did), then deleted
// on the server.
std::function<void(ApplyTest&)> syncedFileThen(std::function<void(ApplyTest&)> local) {
    return [local](ApplyTest& t) {
        t.synced("d/f.txt", "abc");
        local(t);
        t.serverDeletion("d/f.txt", 1, 3);
    };
}

// A synced folder "d" holding `name` (a file, or with a trailing "/" a
// folder holding a file), deleted on the server.
std::function<void(ApplyTest&)> folderHolding(const std::string& name) {
    return [name](ApplyTest& t) {
        t.syncedFolder("d");
        if (!name.empty() && name.back() == '/')
            t.localFile("d/" + name + "HEAD", "ref");
        else
            t.localFile("d/" + name, "local only");
        t.serverDeletion("d", 0);
    };
}

DeletionCase keptFolder(const char* what, const std::string& name) {
    const std::string entry = name.back() == '/' ? name.substr(0, name.size() - 1) : name;
    return DeletionCase{what, folderHolding(name), {}, {"d"}, "",
                        "FS Keeping Folder deleted on the server: My Files/d holds " + entry};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerDeletion,
    ::testing::Values(
        DeletionCase{"unchanged file removed", syncedFileThen([](ApplyTest&) {}), {"d/f.txt"}, {"d"}, "1 removed ",
                     "FS Delete Local Directory OK: My Files/d/f.txt"},
        DeletionCase{"edit of another size kept",
                     syncedFileThen([](ApplyTest& t) { t.localFile("d/f.txt", "abcdef"); }), {}, {"d/f.txt"}, "",
                     "FS Delete Local File, SKIPPING DELETE..Size Mismatch, Ignoring: Actual 6 Expected: 3 Original: 3"},
        // Same size as the stored record and the server's: only the time
        // tells the edit.
        DeletionCase{"same size edit kept",
                     syncedFileThen([](ApplyTest& t) { t.localFile("d/f.txt", "xyz", ApplyTest::kT0 + 5); }), {},
                     {"d/f.txt"}, "",
                     "FS Delete Local File, SKIPPING DELETE..Size Mismatch, Ignoring: Actual 3 Expected: 3 Original: 3"},
        DeletionCase{"file never synced here kept",
                     [](ApplyTest& t) {
                         t.localFile("d/f.txt", "abc");
                         t.serverDeletion("d/f.txt", 1, 3);
                     },
                     {}, {"d/f.txt"}, "",
                     "FS Delete Local File, SKIPPING DELETE..never synced here, Ignoring: My Files/d/f.txt"},
        DeletionCase{"file in the send list kept", syncedFileThen([](ApplyTest& t) { t.inSendList("d/f.txt"); }), {},
                     {"d/f.txt"}, "", ""},
        DeletionCase{"folder of clutter removed with it",
                     [](ApplyTest& t) {
                         t.syncedFolder("d");
                         for (const char* clutter :
                              {".DS_Store", "._f.txt", ".directory", "Thumbs.db", "desktop.ini", "~f.txt.bak",
                               "~$report.docx", "f(Conflict_PC_2024-05-01-13-45-10).txt",
                               ".f.txt.0f8fad5b-d9cb-469f-a165-70867728950e.tmp", "sub/.DS_Store"})
                             t.localFile(std::string("d/") + clutter, "clutter");
                         Poco::File(t.at("d/empty")).createDirectories();
                         t.serverDeletion("d", 0);
                     },
                     {"d"}, {}, "1 removed ", ""},
        keptFolder("folder with a hidden file kept", ".env"),
        keptFolder("folder with a git history kept", ".git/"),
        keptFolder("folder with an ordinary file kept", "notes.txt"),
        keptFolder("folder with a name containing tmp kept", "site.tmpl"),
        keptFolder("folder with a tmp inside the name kept", "a.tmp.docx"),
        keptFolder("folder with a conflict word kept", "Conflict_Analysis.xlsx"),
        keptFolder("folder with a backup folder holding files kept", "~old/"),
        DeletionCase{"folder and its unchanged content removed deepest first",
                     [](ApplyTest& t) {
                         t.syncedFolder("d");
                         t.syncedFolder("d/sub");
                         t.synced("d/f.txt", "f");
                         t.synced("d/sub/g.txt", "g");
                         t.serverDeletion("d", 0);
                         t.serverDeletion("d/f.txt", 1, 1);
                         t.serverDeletion("d/sub", 0);
                         t.serverDeletion("d/sub/g.txt", 1, 1);
                     },
                     {"d"}, {}, "4 removed ", ""},
        // Mostly the echo of a removal made here: nothing failed.
        DeletionCase{"missing item not counted",
                     [](ApplyTest& t) { t.serverDeletion("d/none.txt", 1, 3); }, {}, {}, "",
                     "FS Delete Local: already gone My Files/d/none.txt"},
        DeletionCase{"item below a file not counted",
                     [](ApplyTest& t) {
                         t.localFile("d", "a file where the folder was");
                         t.serverDeletion("d/none.txt", 1, 3);
                     },
                     {}, {"d"}, "", "FS Delete Local: already gone My Files/d/none.txt"},
        // The user replaced the item by one of the other kind here; the
        // server's deletion (the echo of that replacement) is not about it.
        DeletionCase{"empty folder where a deleted file was kept",
                     [](ApplyTest& t) {
                         t.storeRecord(ApplyTest::record("d/f", 1, 3, ApplyTest::kT0, 3));
                         Poco::File(t.at("d/f")).createDirectories();
                         t.serverDeletion("d/f", 1, 3);
                     },
                     {}, {"d/f"}, "", "FS Delete Local: keeping My Files/d/f, a folder took the deleted item's place"},
        DeletionCase{"file where a deleted folder was kept",
                     [](ApplyTest& t) {
                         t.storeRecord(ApplyTest::record("d", 0, 0, ApplyTest::kT0, 3));
                         t.localFile("d", "", ApplyTest::kT0);
                         t.serverDeletion("d", 0);
                     },
                     {}, {"d"}, "", "FS Delete Local: keeping My Files/d, a file took the deleted item's place"},
        DeletionCase{"link to a folder removed as a link",
                     [](ApplyTest& t) {
                         t.write(t.outside("outside/o.txt"), "outside", ApplyTest::kT0);
                         ASSERT_EQ(::symlink(t.outside("outside").c_str(), t.at("d").c_str()), 0);
                         t.serverDeletion("d", 0);
                     },
                     {"d"}, {}, "1 removed ", ""}),
    NameByWhat());

TEST_F(ApplyTest, KeptFolderIsRecordedAsASkippedLocalItem) {
    syncedFolder("d");
    localFile("d/.env", "SECRET=1");
    serverDeletion("d", 0);
    ASSERT_TRUE(worker().doEndSync(kFolder));
    auto skipped = activities(FSActivity::TypeSkippedLocal);
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0]->message, "Folder deleted on the server kept: it holds .env");
    EXPECT_EQ(skipped[0]->fullPath, "My Files/d");
    EXPECT_EQ(content("d/.env"), "SECRET=1");
}

TEST_F(ApplyTest, LinksInsideARemovedFolderAreNotFollowed) {
    write(m_tmp / "outside/o.txt", "outside", kT0);
    syncedFolder("d");
    ASSERT_EQ(::symlink((m_tmp / "outside").c_str(), at("d/~link").c_str()), 0);
    serverDeletion("d", 0);
    ASSERT_TRUE(worker().doEndSync(kFolder));
    EXPECT_FALSE(exists("d"));
    EXPECT_EQ(CloudSyncTest::TempFolder::read(m_tmp / "outside/o.txt"), "outside");
}

TEST_F(ApplyTest, CanDeleteDirectoryOnlyForAFolder) {
    localFile("f.txt", "a file");
    EXPECT_FALSE(worker().canDeleteDirectory(at("f.txt")));
    EXPECT_FALSE(worker().canDeleteDirectory(at("missing")));
    Poco::File(at("empty")).createDirectories();
    EXPECT_TRUE(worker().canDeleteDirectory(at("empty")));
    localFile("full/~backup", "b");
    localFile("full/report.doc", "r");
    CloudSyncTest::LogCapture log({"Sync"});
    EXPECT_FALSE(worker().canDeleteDirectory(at("full")));
    EXPECT_TRUE(log.contains("FS Cannot Delete Folder: " + at("full") + " Found file : report.doc")) << log.dump();
}

// ---- The delete-approval gate ----

class ApprovalGate : public ApplyTest {
public:
    // `count` live synced files in the database.
    void syncedFiles(int count) {
        if (count == 0)
            return;
        wxSQLite3Database raw;
        raw.Open(m_tmp / "data/syncclient.db");
        raw.ExecuteUpdate("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                          std::to_string(count) +
                          ") INSERT INTO OBJECT (OBJID, TYPE, FLAGS, ISDELETED, SIZE) "
                          "SELECT 'id' || i, 1, '', 0, 1 FROM n;");
        raw.Close();
        m_db->updateStats();
    }
    // An approval of `count` given `age` seconds before the gate asks.
    void approvedBefore(int count, int age) {
        worker().approval.record(count);
        worker().approvalClock = [age] { return Poco::Timestamp() + Poco::Timestamp::TimeDiff(age) * 1000000; };
    }
};

struct GateCase {
    const char* what;
    int total;
    unsigned removed;
    unsigned updated;
    // An approval of that count given `age` seconds before; none when 0.
    int approvedCount;
    int age;
    bool passes;
};

class Gate : public ApprovalGate, public ::testing::WithParamInterface<GateCase> {};

TEST_P(Gate, HoldsBackMassRemovalsUntilApproved) {
    const GateCase& c = GetParam();
    syncedFiles(c.total);
    if (c.approvedCount > 0)
        approvedBefore(c.approvedCount, c.age);
    EventRecorder events({16});

    EXPECT_EQ(worker().requestForChangesApproved(c.removed, c.updated), c.passes);

    std::vector<EventRecorder::Event> expected;
    if (!c.passes)
        expected.push_back(EventRecorder::Event{6, "", static_cast<int>(c.removed)});
    EXPECT_EQ(events.events(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Gate,
    ::testing::Values(GateCase{"nine of a hundred pass", 100, 9, 0, 0, 0, true},
                      GateCase{"ten of a hundred are held back", 100, 10, 0, 0, 0, false},
                      GateCase{"ninety nine of a thousand pass", 1000, 99, 0, 0, 0, true},
                      GateCase{"a hundred of a thousand are held back", 1000, 100, 0, 0, 0, false},
                      GateCase{"edits do not count", 5, 0, 5, 0, 0, true},
                      GateCase{"one edit of five synced files passes", 5, 0, 1, 0, 0, true},
                      GateCase{"nothing synced yet passes", 0, 10, 0, 0, 0, true},
                      GateCase{"approval of the same size passes", 100, 100, 0, 100, 0, true},
                      GateCase{"approval nine more passes", 200, 91, 0, 100, 0, true},
                      GateCase{"approval nine less passes", 200, 109, 0, 100, 0, true},
                      GateCase{"approval ten off is not enough", 200, 110, 0, 100, 0, false},
                      GateCase{"much smaller approval is not enough", 100, 100, 0, 50, 0, false},
                      GateCase{"approval 599 seconds old passes", 100, 100, 0, 100, 599, true},
                      GateCase{"approval 600 seconds old is stale", 100, 100, 0, 100, 600, false}),
    NameByWhat());

TEST_F(ApprovalGate, SkipDeleteApprovalNeverAsks) {
    m_settings["skipdeleteapproval"] = "1";
    syncedFiles(10);
    EventRecorder events;
    EXPECT_TRUE(worker().requestForChangesApproved(10, 0));
    EXPECT_TRUE(events.events().empty());
}

TEST_F(ApprovalGate, AnApprovalIsUsedOnce) {
    syncedFiles(100);
    approvedBefore(100, 0);
    EXPECT_TRUE(worker().requestForChangesApproved(100, 0));
    EXPECT_FALSE(worker().requestForChangesApproved(100, 0));
}

// The console program has no one to click "approve": the held-back pass
// says so once, in the log and the activity log, with the way out.
TEST_F(ApprovalGate, HeldBackPassIsAnnouncedOnceWithTheWayToApprove) {
    syncedFiles(100);
    CloudSyncTest::LogCapture log({"Sync"});
    EventRecorder events({16});
    EXPECT_FALSE(worker().requestForChangesApproved(20, 3));
    EXPECT_FALSE(worker().requestForChangesApproved(20, 7));

    int warnings = 0;
    for (const auto& entry : log.channel().entries())
        if (entry.priority == Poco::Message::PRIO_WARNING &&
            entry.text.find("Local deletions held back: 20 of 100 synced files (20%)") != std::string::npos)
            ++warnings;
    EXPECT_EQ(warnings, 1) << log.dump();
    auto entries = activities(FSActivity::TypeUploadFailure);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0]->message.find("skipdeleteapproval"), std::string::npos) << entries[0]->message;
    EXPECT_EQ(events.events().size(), 2u);  // event 6 each time
    EXPECT_TRUE(log.contains("requestForChangesApproved Percent Deleted: 20 Delete Approval Percent: 10"))
        << log.dump();

    // Another count is announced again; a pass that goes through ends it.
    EXPECT_FALSE(worker().requestForChangesApproved(30, 0));
    EXPECT_EQ(worker().heldBackCount, 30);
    EXPECT_TRUE(worker().requestForChangesApproved(1, 0));
    EXPECT_EQ(worker().heldBackCount, 0);
}

// ---- Local removals deleted on the server ----

class RemoteDeletes : public ApplyTest {
public:
    void removedLocally(const std::string& rel, int type) {
        worker().localChanges.push_back(record(rel, type, type == 1 ? 1 : 0, kT0, 4, true));
    }
};

// A folder deleted first takes its content with it: the items below it are
// skipped, while "ab", whose name merely begins like "a", is deleted.
TEST_F(RemoteDeletes, ChildrenOfARemovedFolderAreSkipped) {
    for (const char* path : {"/user1/a/x.txt", "/user1/a/sub/y.txt", "/user1/ab/z.txt", "/user1/keep.txt"})
        ASSERT_TRUE(server.putFile(kUser, path, "x"));
    removedLocally("a", 0);
    removedLocally("a/sub", 0);
    removedLocally("a/sub/y.txt", 1);
    removedLocally("a/x.txt", 1);
    removedLocally("ab", 0);
    removedLocally("ab/z.txt", 1);
    worker().localChanges.push_back(record("keep.txt", 1, 1, kT0, 4, false));
    worker().reportError("an upload failed", "", "", FSActivity::TypeUploadFailure);
    CloudSyncTest::LogCapture log({"Sync"});

    ASSERT_TRUE(worker().doDeleteFiles());

    auto sent = server.requests("/app/explorer/deletefile");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].body, "path=%2Fuser1&name=a");
    EXPECT_EQ(sent[1].body, "path=%2Fuser1&name=ab");
    EXPECT_FALSE(server.item(kUser, "/user1/a"));
    EXPECT_FALSE(server.item(kUser, "/user1/ab"));
    EXPECT_TRUE(server.item(kUser, "/user1/keep.txt"));
    EXPECT_TRUE(log.contains("FS Parent Folder Deleted for Item /user1/a/sub because parent was removed: /user1/a skipping"))
        << log.dump();
    EXPECT_TRUE(log.contains("FS Parent Folder Deleted for Item /user1/ab because parent was removed: /user1/ab skipping"))
        << log.dump();
    EXPECT_TRUE(log.contains("FS Delete OK: " + syncRoot() + "/My Files/ab")) << log.dump();
    EXPECT_TRUE(activities(FSActivity::TypeUploadFailure).empty());
}

TEST_F(RemoteDeletes, FailedDeleteOfAnItemStillThereAsksForARecheck) {
    ASSERT_TRUE(server.putFile(kUser, "/user1/docs/f.txt", "x"));
    removedLocally("docs/f.txt", 1);
    server.addFault(TestFault::withBody(
        "/app/explorer/deletefile",
        "<commands><command><type>deletefile</type><result>0</result><message>locked</message></command></commands>"));
    CloudSyncTest::LogCapture log({"Sync"});

    ASSERT_TRUE(worker().doDeleteFiles());

    EXPECT_TRUE(server.item(kUser, "/user1/docs/f.txt"));
    auto recheck = server.requests("/app/sync/recheckrecord");
    ASSERT_EQ(recheck.size(), 1u);
    EXPECT_EQ(recheck[0].body, "path=%2Fuser1%2Fdocs");
    EXPECT_TRUE(log.contains("FS Remote Delete FAILED: " + syncRoot() + "/My Files/docs/f.txt")) << log.dump();
    EXPECT_TRUE(log.contains("Issued Recheck Record: /user1/docs")) << log.dump();
}

TEST_F(RemoteDeletes, StopEndsTheDeletes) {
    ASSERT_TRUE(server.putFile(kUser, "/user1/f.txt", "x"));
    removedLocally("f.txt", 1);
    worker().stop = true;
    EXPECT_FALSE(worker().doDeleteFiles());
    EXPECT_TRUE(server.requests("/app/explorer/deletefile").empty());
    EXPECT_TRUE(server.item(kUser, "/user1/f.txt"));
}

} // namespace
} // namespace EngineTest
