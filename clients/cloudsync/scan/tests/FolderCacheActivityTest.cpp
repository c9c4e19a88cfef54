// Whole folder scans on a pool thread, over real folder trees and a real
// sync database: what becomes a change, what does not, and what is kept.

#include "ScanFixture.h"

#include "LogCapture.h"
#include "EventRecorder.h"
#include "wxSQLite3Database.h"

#include <Poco/File.h>
#include <Poco/Timestamp.h>

#include <ctime>
#include <set>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

using namespace Nuvaro::Sync;
using EngineTest::kSecond;
using EngineTest::setModified;
using EngineTest::utcOf;

namespace {

class Scan : public EngineTest::ScanTest {};

TEST_F(Scan, NewFilesAndFoldersBecomeDirtyRecords) {
    write("My Files/docs/a.txt", "alpha");
    write("My Files/docs/deep/b.bin", "be");
    write("My Files/top.txt", "t");
    write("rootfile.txt", "never synchronised");
    mkdir("My Files/empty");
    setModified(abs("My Files/docs/a.txt"), 1600000000, 123456);
    ::chmod(abs("My Files/docs/deep/b.bin").c_str(), 0755);

    FolderCacheActivity::ChangeList changes = scan();

    EXPECT_EQ(paths(changes), (std::vector<std::string>{"My Files", "My Files/docs", "My Files/docs/a.txt",
                                                       "My Files/docs/deep", "My Files/docs/deep/b.bin",
                                                       "My Files/empty", "My Files/top.txt"}));
    FSSyncRecordPtr folder = changed(changes, "My Files/docs");
    EXPECT_EQ(std::make_tuple(folder->getType(), folder->getName(), folder->getParent(), folder->getFullPath(),
                              folder->getSize(), folder->getModified(), folder->getAttribs(), folder->getLocalParent()),
              std::make_tuple(0, std::string("docs"), std::string("/acct1"), std::string("/acct1/docs"),
                              Poco::Int64(0), Poco::Int64(0), std::string(""), std::string("My Files")));
    FSSyncRecordPtr file = changed(changes, "My Files/docs/a.txt");
    EXPECT_EQ(std::make_tuple(file->getType(), file->getName(), file->getParent(), file->getFullPath(),
                              file->getSize(), file->getModified(), file->getAttribs(), file->getFriendlyName()),
              std::make_tuple(1, std::string("a.txt"), std::string("/acct1/docs"), std::string("/acct1/docs/a.txt"),
                              Poco::Int64(5), utcOf(1600000000, 123456), std::string(""), std::string("Owner")));
    EXPECT_EQ(file->getId(), Nuvaro::Util::createUUIDFromString("My Files/docs/a.txt"));
    EXPECT_EQ(file->getUpdatedVersion(), file->getCreatedVersion()) << "a new record";
    EXPECT_EQ(file->getCreatedPeer(), "laptop1");
    EXPECT_EQ(changed(changes, "My Files/docs/deep/b.bin")->getAttribs(), "x,");
}

TEST_F(Scan, UntouchedTreeAfterASaveGivesAnEmptyChangeList) {
    write("My Files/a/one.txt", "1");
    write("My Files/a/b/two.txt", "22");
    scanAndSave();
    EXPECT_TRUE(scan().empty());
}

TEST_F(Scan, SameSizeEditIsSeenWithDefaultSettings) {
    const std::string path = write("My Files/a/doc.txt", "version 1");
    setModified(path, 1600000000);
    scanAndSave();

    write("My Files/a/doc.txt", "version 2");  // same size
    setModified(path, 1600000003);
    FolderCacheActivity::ChangeList changes = scan();

    ASSERT_EQ(paths(changes), std::vector<std::string>{"My Files/a/doc.txt"});
    EXPECT_EQ(changes[0]->getIsDeleted(), 0);
    EXPECT_EQ(boost::dynamic_pointer_cast<FSSyncRecord>(changes[0])->getModified(), utcOf(1600000003));
    EXPECT_NE(changes[0]->getUpdatedVersion(), changes[0]->getCreatedVersion()) << "an update";
}

// The server keeps whole seconds: a file that has the record's time to the
// second is unchanged, whatever its fraction; a second more is a change.
TEST_F(Scan, ModificationTimeComparesToTheWholeSecond) {
    const std::string path = write("My Files/a/doc.txt", "same");
    setModified(path, 1600000000, 100000);
    scanAndSave();

    setModified(path, 1600000000, 900000);
    EXPECT_TRUE(scan().empty()) << "same second";
    setModified(path, 1600000001, 100000);
    EXPECT_EQ(paths(scan()), std::vector<std::string>{"My Files/a/doc.txt"}) << "next second";
}

TEST_F(Scan, DownloadedFileWithTheServersTimeIsUnchanged) {
    const std::string path = write("My Files/a/server.txt", "from server");
    setModified(path, 1600000000);  // what placing a download sets
    storeRecord("My Files/a", 0, 0, 0);
    storeRecord("My Files/a/server.txt", 1, 11, utcOf(1600000000));
    storeRecord("My Files", 0, 0, 0, false, "", "/acct1");
    EXPECT_TRUE(scan().empty());
}

TEST_F(Scan, VanishedFileAndFolderWithItsChildrenAreMarkedDeleted) {
    write("My Files/keep/k.txt", "k");
    write("My Files/keep/gone.txt", "g");
    write("My Files/old/x.txt", "x");
    write("My Files/old/sub/y.txt", "y");
    scanAndSave();

    Poco::File(abs("My Files/keep/gone.txt")).remove();
    Poco::File(abs("My Files/old")).remove(true);
    FolderCacheActivity::ChangeList changes = scan();

    EXPECT_EQ(paths(changes), (std::vector<std::string>{"My Files/keep/gone.txt", "My Files/old", "My Files/old/sub",
                                                       "My Files/old/sub/y.txt", "My Files/old/x.txt"}));
    for (const auto& record : changes)
        EXPECT_EQ(record->getIsDeleted(), 1);

    // Deleted records are not touched again.
    save(changes);
    EXPECT_TRUE(scan().empty());
}

TEST_F(Scan, FileThatComesBackRevivesItsDeletedRecord) {
    write("My Files/a/back.txt", "1");
    scanAndSave();
    Poco::File(abs("My Files/a/back.txt")).remove();
    scanAndSave();

    write("My Files/a/back.txt", "again");
    FolderCacheActivity::ChangeList changes = scan();
    ASSERT_EQ(paths(changes), std::vector<std::string>{"My Files/a/back.txt"});
    EXPECT_EQ(changes[0]->getIsDeleted(), 0);
    EXPECT_EQ(changes[0]->getId(), Nuvaro::Util::createUUIDFromString("My Files/a/back.txt"));
}

TEST_F(Scan, LetterCaseChangeDeletesTheOldRecordAndAddsTheNewName) {
    write("My Files/a/Report.txt", "r");
    scanAndSave();
    ::rename(abs("My Files/a/Report.txt").c_str(), abs("My Files/a/report.txt").c_str());

    FolderCacheActivity::ChangeList changes = scan();
    ASSERT_EQ(paths(changes), (std::vector<std::string>{"My Files/a/Report.txt", "My Files/a/report.txt"}));
    EXPECT_EQ(changed(changes, "My Files/a/Report.txt")->getIsDeleted(), 1);
    EXPECT_EQ(changed(changes, "My Files/a/report.txt")->getIsDeleted(), 0);
}

// Regression: the scan matched an item to the record of its path without
// comparing kinds, so a folder where a file was counted as known and a file
// where a folder was only changed the folder's size, its records below
// staying live. A replacement is the removal of the old item (with
// everything below a folder) and a new item with a record of its own.
TEST_F(Scan, ItemReplacedByOneOfTheOtherKindIsARemovalAndANewItem) {
    write("My Files/notes", "a file");
    write("My Files/proj/a.txt", "a");
    write("My Files/proj/sub/b.txt", "b");
    scanAndSave();

    Poco::File(abs("My Files/notes")).remove();
    write("My Files/notes/today.txt", "today");
    Poco::File(abs("My Files/proj")).remove(true);
    write("My Files/proj", "now a file");
    FolderCacheActivity::ChangeList changes = scan();

    // (local path, type, deleted) of every change.
    std::multiset<std::tuple<std::string, int, int>> found;
    for (const auto& change : changes) {
        FSSyncRecordPtr record = boost::dynamic_pointer_cast<FSSyncRecord>(change);
        found.emplace(record->getLocalFullPath(), record->getType(), record->getIsDeleted());
    }
    EXPECT_EQ(found, (std::multiset<std::tuple<std::string, int, int>>{{"My Files/notes", 1, 1},
                                                                      {"My Files/notes", 0, 0},
                                                                      {"My Files/notes/today.txt", 1, 0},
                                                                      {"My Files/proj", 0, 1},
                                                                      {"My Files/proj", 1, 0},
                                                                      {"My Files/proj/a.txt", 1, 1},
                                                                      {"My Files/proj/sub", 0, 1},
                                                                      {"My Files/proj/sub/b.txt", 1, 1}}));

    // Once both are stored, nothing is left to send.
    save(changes);
    EXPECT_TRUE(scan().empty());
}

TEST_F(Scan, RecordOfADecomposedNameStaysWhileTheFileExists) {
    const std::string nfd = "cafe\xCC\x81.txt";
    write("My Files/a/" + nfd, "c");
    scanAndSave();
    storeRecord("My Files/a/" + nfd, 1, 1, utcOf(1600000000));

    // The tree holds the name in composed form only, as an entry that
    // cannot be examined; the record must not look vanished.
    FolderCacheActivity::ChangeList changes = scan();
    EXPECT_TRUE(changes.empty()) << paths(changes).size();
}

TEST_F(Scan, MissingSyncFolderDropsItsRecordsAndEndsTheScan) {
    ASSERT_TRUE(m_db->setStatusSet("/SHARED/owner2/proj", "s1"));
    storeRecord("My Files/a/mine.txt", 1, 1, utcOf(1600000000));
    FSSyncRecordPtr shared = storeRecord("My Files/x/shared.txt", 1, 1, utcOf(1600000000), false, "",
                                         "/SHARED/owner2/proj");
    write("My Files/a/new.txt", "new");  // would be a change

    EXPECT_TRUE(scan().empty());

    EXPECT_FALSE(m_db->getFSSyncRecordFromLocalFullPath("My Files/x/shared.txt"));
    EXPECT_TRUE(m_db->getFSSyncRecordFromLocalFullPath("My Files/a/mine.txt"));
    std::vector<std::string> folders;
    m_db->getSyncFolders(folders);
    EXPECT_EQ(folders, std::vector<std::string>{"/acct1"});
}

TEST_F(Scan, EmptySyncFolderListStillScans) {
    write("My Files/a/f.txt", "f");
    scanAndSave();
    ASSERT_TRUE(m_db->dropStatusSet("/acct1"));
    Poco::File(abs("My Files/a/f.txt")).remove();
    EXPECT_EQ(paths(scan()), std::vector<std::string>{"My Files/a/f.txt"});
}

TEST_F(Scan, NewFolderOutsideTheSyncFoldersGetsNoRecords) {
    ASSERT_TRUE(m_db->setStatusSet("/SHARED/owner2/proj", ""));
    write("Shared with Me/owner2/proj/in.txt", "i");
    write("Shared with Me/owner2/other/out.txt", "o");
    FolderCacheActivity::ChangeList changes = scan();
    EXPECT_EQ(paths(changes), (std::vector<std::string>{"My Files", "Shared with Me/owner2/proj",
                                                       "Shared with Me/owner2/proj/in.txt"}));
}

TEST_F(Scan, FolderWhoseServerPathOnlyBeginsLikeASyncFolderIsNotInIt) {
    ASSERT_TRUE(m_db->setStatusSet("/SHARED/owner2/proj", ""));
    mkdir("Shared with Me/owner2/proj");
    write("Shared with Me/owner2/projX/out.txt", "o");
    EXPECT_EQ(paths(scan()), (std::vector<std::string>{"My Files", "Shared with Me/owner2/proj"}));
}

TEST_F(Scan, ConflictCopyBesideAChangedFileHoldsItsChangeBack) {
    const std::string path = write("My Files/a/report.docx", "v1");
    scanAndSave();
    write("My Files/a/report.docx", "version 2");
    write("My Files/a/report(Conflict_pc_2017-05-16-10-00-00).docx", "server copy");
    EXPECT_TRUE(scan().empty());
    EXPECT_EQ(m_conflicts, 1);
}

// ---- With checksums on ("checkcrc" "1") ----

// A synchronised file with its recorded checksum, then a change of its time
// or content; two scans in a row (each from the records in the database, as
// after a restart). What each scan reads and reports, and the time the
// record keeps.
struct ChecksumCase {
    const char* what;
    const char* checkCRC;
    bool recordChecksum;      // the record carries the file's checksum
    const char* newContent;   // same size as "quarterly numbers"
    long newSeconds;          // the file's new time; 0: now + 10 minutes (a clock ahead)
    bool changed;             // the first scan reports the file
    int reads;                // checksums the first scan reads
    bool newTimeRecorded;     // the record then holds the file's new time
    int readsAfter;           // checksums a second scan reads (the first scan's change not saved)
};

void PrintTo(const ChecksumCase& c, std::ostream* os) { *os << c.what; }

class ChecksumScans : public EngineTest::ScanTest, public ::testing::WithParamInterface<ChecksumCase> {};

TEST_P(ChecksumScans, DecideByContentWhateverTheTime) {
    const ChecksumCase& c = GetParam();
    setting("checkcrc", c.checkCRC);
    const std::string rel = "My Files/a/report.pdf";
    const std::string path = write(rel, "quarterly numbers");
    setModified(path, 1600000000);
    storeRecord("My Files", 0, 0, 0);
    storeRecord("My Files/a", 0, 0, 0);
    FSSyncRecordPtr record = storeRecord(rel, 1, 17, utcOf(1600000000));
    if (c.recordChecksum) {
        std::string crc;
        ASSERT_TRUE(Nuvaro::Util::getFileCRC(path, crc, 0, 17));
        record->setFileCRC(crc);
        ASSERT_TRUE(m_db->FSSyncRecordUpdate(record.get()));
    }
    ASSERT_TRUE(scan().empty());
    ASSERT_EQ(m_checksumsRead, 0) << "the record's own time: nothing is read";

    write(rel, c.newContent);
    const long seconds = c.newSeconds != 0 ? c.newSeconds : static_cast<long>(std::time(nullptr)) + 600;
    setModified(path, seconds, 250000);

    EXPECT_EQ(paths(scan()), c.changed ? std::vector<std::string>{rel} : std::vector<std::string>{});
    EXPECT_EQ(m_checksumsRead, c.reads);
    EXPECT_EQ(m_db->getFSSyncRecordFromLocalFullPath(rel)->getModified(),
              c.newTimeRecorded ? utcOf(seconds, 250000) : utcOf(1600000000));
    EXPECT_EQ(paths(scan()), c.changed ? std::vector<std::string>{rel} : std::vector<std::string>{});
    EXPECT_EQ(m_checksumsRead, c.readsAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChecksumScans,
    ::testing::Values(
        ChecksumCase{"TouchedFileIsUnchangedAndItsRecordTakesTheNewTime", "1", true, "quarterly numbers",
                     1600003600, false, 1, true, 0},
        ChecksumCase{"FileRestoredWithAnOlderTimeIsUnchanged", "1", true, "quarterly numbers", 1590000000, false, 1,
                     true, 0},
        ChecksumCase{"SameSizeEditWithItsTimeSetBackIsAChange", "1", true, "QUARTERLY NUMBERS", 1590000000, true, 1,
                     false, 1},
        ChecksumCase{"TimeNotYetSettledIsNotRecordedAndReadAgain", "1", true, "quarterly numbers", 0, false, 1,
                     false, 1},
        ChecksumCase{"NoRecordedChecksumComparesSizeAndTime", "1", false, "quarterly numbers", 1600003600, true, 0,
                     false, 0},
        ChecksumCase{"ChecksumsOffComparesSizeAndTime", "0", true, "quarterly numbers", 1600003600, true, 0, false,
                     0}),
    [](const ::testing::TestParamInfo<ChecksumCase>& info) { return std::string(info.param.what); });

TEST_F(Scan, InvalidSkipPatternIsLoggedOnceAndTheScanGoesOn) {
    setting("skipregex", "([");
    write("My Files/a/one.txt", "1");
    write("My Files/b/two.txt", "2");
    CloudSyncTest::LogCapture log({"FolderCacheActivity"});

    FolderCacheActivity::ChangeList changes = scan();

    EXPECT_EQ(changes.size(), 5u);
    int errors = 0;
    for (const auto& entry : log.channel().entries())
        if (entry.priority == Poco::Message::PRIO_ERROR)
            ++errors;
    EXPECT_EQ(errors, 1) << log.dump();
    EXPECT_TRUE(log.contains("FCA: Invalid skip pattern, scanning without it: (["));
}

TEST_F(Scan, FolderMatchingTheSkipPatternIsLeftOutWithEverythingBelowIt) {
    setting("skipregex", "^node_modules$");
    write("My Files/p/main.js", "m");
    write("My Files/p/node_modules/lib/x/index.js", "i");
    FolderCacheActivity::ChangeList changes = scan();
    EXPECT_EQ(paths(changes), (std::vector<std::string>{"My Files", "My Files/p", "My Files/p/main.js"}));
    EXPECT_EQ(skippedActivities(),
              std::vector<std::string>{"Skipping Matched Regex Filter ^node_modules$|My Files/p/node_modules"});
}

TEST_F(Scan, FolderWithInvalidCharactersIsLeftOutWithEverythingBelowIt) {
    write("My Files/p/bad\xE2\x80\x8B/inner/f.txt", "f");
    EXPECT_EQ(paths(scan()), (std::vector<std::string>{"My Files", "My Files/p"}));
}

TEST_F(Scan, LoopOfLinksEndsAndOnlyRealPathsGetRecords) {
    write("My Files/a/f.txt", "f");
    ASSERT_EQ(::symlink("..", abs("My Files/a/up").c_str()), 0);
    FolderCacheActivity::ChangeList changes = scan();
    EXPECT_EQ(paths(changes), (std::vector<std::string>{"My Files", "My Files/a", "My Files/a/f.txt"}));
    // The link is never entered, so nothing is met twice either.
    EXPECT_TRUE(skippedActivities().empty());
}

TEST_F(Scan, FifoIsSkippedWithAnActivityAndNeverOpened) {
    write("My Files/a/f.txt", "f");
    ASSERT_EQ(::mkfifo(abs("My Files/a/pipe.zip").c_str(), 0600), 0);
    FolderCacheActivity::ChangeList changes = scan();  // would block for ever on an open
    EXPECT_EQ(paths(changes), (std::vector<std::string>{"My Files", "My Files/a", "My Files/a/f.txt"}));
    EXPECT_EQ(skippedActivities(), std::vector<std::string>{"Skipping item that is neither a file nor a folder|" +
                                                            abs("My Files/a/pipe.zip")});
}

TEST_F(Scan, NameThatIsNotUtf8IsSkippedInsteadOfEndingTheScan) {
    write("My Files/a/good.txt", "g");
    write("My Files/a/bad\xFF.txt", "b");
    FolderCacheActivity::ChangeList changes = scan();
    EXPECT_EQ(paths(changes), (std::vector<std::string>{"My Files", "My Files/a", "My Files/a/good.txt"}));
    EXPECT_EQ(skippedActivities(), std::vector<std::string>{"Skipping file/folder with bad characters|" +
                                                            abs("My Files/a/bad\xEF\xBF\xBD.txt")});
}

TEST_F(Scan, FolderThatCannotBeListedKeepsTheRecordsOfItsItems) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root lists every folder (scripts/test-unprivileged.sh runs this test as uid 65534)";
    write("My Files/a/locked/f.txt", "f");
    scanAndSave();
    ::chmod(abs("My Files/a/locked").c_str(), 0);
    FolderCacheActivity::ChangeList changes = scan();
    ::chmod(abs("My Files/a/locked").c_str(), 0700);
    EXPECT_TRUE(changes.empty()) << paths(changes).size();
}

TEST_F(Scan, StopDuringTheStartPauseEndsTheScanAtOnce) {
    write("My Files/a/f.txt", "f");
    std::unique_ptr<FolderCacheActivity> scan = makeScan();
    scan->setStartDelay(60000);
    Poco::Timestamp started;
    scan->activity().start(Poco::ThreadPool::defaultPool());
    scan->activity().stop();
    scan->activity().wait(10000);
    EXPECT_LT(started.elapsed(), 5 * 1000000);
    EXPECT_FALSE(scan->changesDetected());
}

// The quit flag is raised from the scan's own thread when it reports its
// tenth folder, so the walk stops before the eleventh.
struct QuitAtTenthFolder {
    std::atomic<bool>* quit;
    static void observe(void* self, uiEventType type, const std::string&, int value) {
        if (type == 11 && value == 10)
            static_cast<QuitAtTenthFolder*>(self)->quit->store(true);
    }
};

TEST_F(Scan, StopDuringTheWalkKeepsTheChangesFoundSoFar) {
    for (int i = 0; i < 20; ++i)
        write("My Files/f" + std::string(i < 10 ? "0" : "") + std::to_string(i) + "/x.txt", "x");
    QuitAtTenthFolder quitter{&m_quit};
    setUiEventObserverForTesting(&QuitAtTenthFolder::observe, &quitter);
    FolderCacheActivity::ChangeList changes = scan();
    setUiEventObserverForTesting(nullptr, nullptr);

    // Folders in path order: the root, "My Files", f00 ... f07 are the
    // first ten, so f00 to f07 (records for the folder and its file) count.
    std::vector<std::string> expected{"My Files"};
    for (int i = 0; i < 8; ++i) {
        expected.push_back("My Files/f0" + std::to_string(i));
        expected.push_back("My Files/f0" + std::to_string(i) + "/x.txt");
    }
    EXPECT_EQ(paths(changes), expected);
}

TEST_F(Scan, UnreadableRecordsEndTheScanInsteadOfMakingEveryItemNew) {
    write("My Files/a/f.txt", "f");
    scanAndSave();
    write("My Files/a/g.txt", "g");
    {
        wxSQLite3Database second;
        second.Open(m_tmp / "data/syncclient.db");
        second.ExecuteUpdate("update OBJECT set OBJID = 'not-a-uuid' where NAME = 'f.txt';");
        second.Close();
    }
    CloudSyncTest::LogCapture log({"FolderCacheActivity"});
    EXPECT_TRUE(scan().empty());
    EXPECT_TRUE(log.contains("FCA: DB Store Load failed, Quitting Activity ")) << log.dump();
}

TEST_F(Scan, QuitFlagEndsTheScanWithoutChanges) {
    write("My Files/a/f.txt", "f");
    m_quit.store(true);
    EXPECT_TRUE(scan().empty());
}

TEST_F(Scan, SkippedItemEntriesOfEarlierScansAreReplaced) {
    write("My Files/a/bad\xFF.txt", "b");
    scan();
    scan();
    EXPECT_EQ(skippedActivities().size(), 1u);
    Poco::File(abs("My Files/a/bad\xFF.txt")).remove();
    scan();
    EXPECT_TRUE(skippedActivities().empty());
}

TEST_F(Scan, EachPhaseEndsWithTheTextItBeganWith) {
    write("My Files/a/f.txt", "f");
    CloudSyncTest::EventRecorder recorder({11, 12});
    scan();
    std::vector<CloudSyncTest::EventRecorder::Event> expected{
        {10, "Scanning Directories", 100}, {10, "Scanning..", 100}, {13, "Scanning..", 100},
        {13, "Scanning Directories", 100}, {10, "Checking for Changes", 3}, {13, "Checking for Changes", 3},
        {16, "", 0}};
    EXPECT_EQ(recorder.events(), expected);
}

} // namespace
