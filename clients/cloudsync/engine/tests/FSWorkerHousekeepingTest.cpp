// Cleaning of unshared folders and the restart of the folder scan, on a real
// sync folder and sync database.

#include "WorkerFixture.h"

#include <Poco/File.h>

#include <fstream>
#include <map>
#include <string>
#include <unistd.h>

namespace EngineTest {
namespace {

class Housekeeping : public WorkerTest {
protected:
    std::string at(const std::string& rel) const { return syncRoot() + "/" + rel; }
    void write(const std::string& rel) const {
        Poco::File(Poco::Path(at(rel)).parent()).createDirectories();
        std::ofstream(at(rel)) << rel;
    }
    bool exists(const std::string& rel) const { return Poco::File(at(rel)).exists(); }
    void listSyncFolder(const std::string& serverPath) { ASSERT_TRUE(m_db->setStatusSet(serverPath, "")); }
};

// Each folder's journal is replaced on its own: the others stay as they
// were, the file goes with the last one, and a malformed line anywhere (also
// in the journal being replaced) makes the whole file unreadable.
TEST_F(Housekeeping, PlacementJournalOfOneFolderIsReplacedTheOthersStay) {
    TestWorker& worker = makeWorker();
    auto journal = [](const std::string& status, const std::map<std::string, TestWorker::Placed>& files) {
        TestWorker::PlacementJournal made;
        made.status = status;
        made.files = files;
        return made;
    };
    auto described = [&worker](const std::string* leaveOut = nullptr) {
        std::string out;
        for (const auto& folder : worker.readPlacementJournals(leaveOut)) {
            out += folder.first + " " + folder.second.status + ":";
            for (const auto& file : folder.second.files)
                out += " " + file.first + "=" + std::to_string(file.second.size) + "/" +
                       std::to_string(file.second.modified) + "/" + file.second.localFullPath;
            out += ";";
        }
        return out;
    };
    const std::string mine = "/user1", shared = "/SHARED/bob/proj";
    ASSERT_TRUE(worker.storePlacementJournal(
        mine, journal("s1", {{"/user1/a b.txt", {3, 40, "My Files/a b.txt"}}, {"/user1/c", {4, 50, "My Files/c"}}})));
    ASSERT_TRUE(worker.storePlacementJournal(shared, journal("t1", {{"/SHARED/bob/proj/x", {5, 60, "Shared/x"}}})));
    ASSERT_TRUE(worker.storePlacementJournal(mine, journal("s2", {{"/user1/d", {6, 70, "My Files/d"}}})));
    EXPECT_EQ("/SHARED/bob/proj t1: /SHARED/bob/proj/x=5/60/Shared/x;/user1 s2: /user1/d=6/70/My Files/d;",
              described());
    EXPECT_EQ("/SHARED/bob/proj t1: /SHARED/bob/proj/x=5/60/Shared/x;", described(&mine));
    ASSERT_TRUE(worker.storePlacementJournal(mine, TestWorker::PlacementJournal()));
    EXPECT_EQ("/SHARED/bob/proj t1: /SHARED/bob/proj/x=5/60/Shared/x;", described());
    ASSERT_TRUE(worker.storePlacementJournal(shared, TestWorker::PlacementJournal()));
    EXPECT_FALSE(Poco::File(dataRoot() + "/.applyjournal").exists());

    std::ofstream(dataRoot() + "/.applyjournal") << "#\t/user1\ts1\n3\t40\t/user1/a\tMy Files/a\n"
                                                 << "#\t/SHARED/bob/proj\tt1\nnot a line\n";
    EXPECT_EQ("", described(&mine));
    EXPECT_EQ("", described(&shared));
}

TEST_F(Housekeeping, UnsharedFoldersGoWhatIsStillSharedStays) {
    listSyncFolder("/user1");
    listSyncFolder("/SHARED/bob/proj");
    listSyncFolder("/SHARED/teamacct/plans");
    // Shared with Me: bob lies above the listed bob/proj and stays, with
    // proj; bob/old, carol and "bo" (whose name is the start of "bob") go;
    // a single file stays.
    write("Shared with Me/bob/proj/f.txt");
    write("Shared with Me/bob/old/g.txt");
    write("Shared with Me/bob/note.txt");
    write("Shared with Me/carol/x/y.txt");
    write("Shared with Me/bo/z.txt");
    write("Shared with Me/single.txt");
    // Team Folders: plans is listed, so plans/q1 (inside it) stays; archive
    // and plans-2017 go.
    write("Team Folders/plans/q1/a.txt");
    write("Team Folders/archive/b.txt");
    write("Team Folders/plans-2017/c.txt");
    write("My Files/keep.txt");
    // Links are never followed: neither the one under the root nor one
    // inside a wiped folder reaches the folder outside.
    Poco::File(m_tmp / "outside/deep").createDirectories();
    std::ofstream(m_tmp / "outside/deep/o.txt") << "o";
    ASSERT_EQ(::symlink((m_tmp / "outside").c_str(), at("Shared with Me/linked").c_str()), 0);
    ASSERT_EQ(::symlink((m_tmp / "outside").c_str(), at("Shared with Me/carol/link").c_str()), 0);

    ASSERT_TRUE(logIn());
    CloudSyncTest::LogCapture log({"Sync"});
    m_worker->cleanOldSyncFolders();

    for (const char* kept : {"Shared with Me/bob/proj/f.txt", "Shared with Me/bob/note.txt",
                             "Shared with Me/single.txt", "Team Folders/plans/q1/a.txt", "My Files/keep.txt"})
        EXPECT_TRUE(exists(kept)) << kept;
    for (const char* gone : {"Shared with Me/bob/old", "Shared with Me/carol", "Shared with Me/bo",
                             "Team Folders/archive", "Team Folders/plans-2017"})
        EXPECT_FALSE(exists(gone)) << gone;
    EXPECT_TRUE(Poco::File(m_tmp / "outside/deep/o.txt").exists());
    EXPECT_TRUE(Poco::File(at("Shared with Me/linked")).exists());
    EXPECT_TRUE(log.contains("Skipping Clean of single file for remove unshared option: " +
                             at("Shared with Me/single.txt")))
        << log.dump();
    EXPECT_TRUE(log.contains("Cleaning unwanted Folder for remove unshared option: " + at("Team Folders/archive")))
        << log.dump();
}

TEST_F(Housekeeping, NothingListedLeavesOnlyFilesUnderTheRoots) {
    write("Shared with Me/a/f.txt");
    write("Shared with Me/b.txt");
    write("Team Folders/t/f.txt");
    ASSERT_TRUE(logIn());
    m_worker->cleanOldSyncFolders();
    EXPECT_FALSE(exists("Shared with Me/a"));
    EXPECT_TRUE(exists("Shared with Me/b.txt"));
    EXPECT_FALSE(exists("Team Folders/t"));
    EXPECT_TRUE(exists("Shared with Me"));
    EXPECT_TRUE(exists("Team Folders"));
}

TEST_F(Housekeeping, RootThatIsALinkIsNotCleaned) {
    Poco::File(m_tmp / "elsewhere/x").createDirectories();
    ASSERT_EQ(::symlink((m_tmp / "elsewhere").c_str(), at("Shared with Me").c_str()), 0);
    ASSERT_TRUE(logIn());
    m_worker->cleanShared("Shared with Me");
    EXPECT_TRUE(Poco::File(m_tmp / "elsewhere/x").exists());
}

TEST_F(Housekeeping, SharedFolderNamesInAnotherUnicodeFormAreStillProtected) {
    listSyncFolder("/SHARED/bob/caf\xC3\xA9");         // composed é
    write("Shared with Me/bob/cafe\xCC\x81/menu.txt"); // decomposed on disk
    ASSERT_TRUE(logIn());
    m_worker->cleanOldSyncFolders();
    EXPECT_TRUE(exists("Shared with Me/bob/cafe\xCC\x81/menu.txt"));
}

// ---- The scan restart ----

TEST_F(Housekeeping, ScanRestartWaitsForTheFirstServerReply) {
    ASSERT_TRUE(logIn());
    TestWorker& worker = *m_worker;
    worker.flags.rescanRequested = true;
    Poco::Timestamp lastScan = worker.lastScan;
    worker.restartFolderCheckActivity();
    EXPECT_FALSE(worker.folderCheck);
    EXPECT_TRUE(worker.flags.rescanRequested);
    EXPECT_EQ(worker.lastScan, lastScan);
}

TEST_F(Housekeeping, ScanRestartAfterTheFirstReplyStartsAFreshScan) {
    listSyncFolder("/user1");
    write("My Files/new.txt");
    ASSERT_TRUE(logIn());
    TestWorker& worker = *m_worker;
    worker.flags.serverOk = true;
    worker.flags.rescanRequested = true;
    Poco::Thread::sleep(5);
    Poco::Timestamp before;
    worker.restartFolderCheckActivity();
    ASSERT_TRUE(worker.folderCheck);
    EXPECT_FALSE(worker.flags.rescanRequested);
    EXPECT_GE(worker.lastScan, before);
    EXPECT_EQ(worker.getSyncStatus(), "Checking changes in Sync Folder...");
    ASSERT_TRUE(worker.folderCheck->activity().isRunning() || worker.folderCheck->changesDetected());
    worker.folderCheck->activity().wait(10000);
    ASSERT_TRUE(worker.folderCheck->changesDetected());
    Nuvaro::Sync::FolderCacheActivity::ChangeList changes;
    worker.folderCheck->getChangeList(changes);
    bool found = false;
    for (const auto& change : changes)
        found = found || boost::dynamic_pointer_cast<Nuvaro::Sync::FSSyncRecord>(change)->getLocalFullPath() ==
                             "My Files/new.txt";
    EXPECT_TRUE(found);
}

TEST_F(Housekeeping, ScanRestartReplacesARunningScanAndTheStopFlagEndsIt) {
    listSyncFolder("/user1");
    Nuvaro::Sync::FSWorker::Intervals slow = fastIntervals();
    slow.scanStartDelayMs = 60000;
    ASSERT_TRUE(logIn(slow));
    TestWorker& worker = *m_worker;
    worker.flags.serverOk = true;
    worker.restartFolderCheckActivity();
    Nuvaro::Sync::FolderCacheActivity* first = worker.folderCheck.get();
    ASSERT_TRUE(first->activity().isRunning());
    Poco::Timestamp began;
    worker.restartFolderCheckActivity(); // stops and waits for the first
    EXPECT_LT(began.elapsed(), 2000000);
    ASSERT_TRUE(worker.folderCheck);
    EXPECT_TRUE(worker.folderCheck->activity().isRunning());

    worker.stop = true; // the scan's quit flag
    EXPECT_TRUE(waitUntil([&] { return !worker.folderCheck->activity().isRunning(); }, 2000));
    EXPECT_FALSE(worker.folderCheck->changesDetected());
}

} // namespace
} // namespace EngineTest
