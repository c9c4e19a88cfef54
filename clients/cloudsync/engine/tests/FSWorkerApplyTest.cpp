// Applying a server delta: placing downloads, conflicts and conflict copies,
// saving the records and the status set, and the failures that must leave
// the stored status where it was. Real files, a real sync database, the
// worker logged in to the test server; steps run on the test's thread.

#include "ApplyFixture.h"

#include "CaseName.h"
#include "NameRules.h"

#include "wxSQLite3Database.h"

#include <Poco/DateTimeFormatter.h>
#include <Poco/LocalDateTime.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace EngineTest {
namespace {

using Nuvaro::Sync::FSWorker;
using Nuvaro::Sync::sortDirsByDeepestFirst;
using Nuvaro::Sync::sortDirsByShallowFirst;
namespace NameRules = Nuvaro::Sync::NameRules;

// The conflict copies of "My Files/<rel>" made by "Ann's Phone", by name.
std::vector<std::string> copiesOf(const std::vector<std::string>& names, const std::string& fileName) {
    std::vector<std::string> copies;
    for (const std::string& name : names)
        if (NameRules::isConflictCopyOf(name, fileName, "AnnsPhone"))
            copies.push_back(name);
    return copies;
}

// No temporary file of a placement stays behind.
bool noTemporaryFiles(const std::vector<std::string>& names) {
    for (const std::string& name : names)
        if (Nuvaro::Util::isReplacementTemporaryName(name))
            return false;
    return true;
}

// ---- Placing the server's file ----

enum class Outcome {
    Placed,        // the server's file is at the path
    KeptIdentical, // the local file stays, it already is the server's
    KeptAsSent,    // the local file stays: this client just uploaded it
    KeptWithCopy,  // the local item stays, the server's file goes beside it
};

struct PlacementCase {
    const char* what;
    // The local side before the pass (the server sends "server v2", 9
    // bytes, of "docs/a.txt" at kT1).
    std::function<void(ApplyTest&)> local;
    Outcome outcome;
};

class Placement : public ApplyTest, public ::testing::WithParamInterface<PlacementCase> {};

TEST_P(Placement, DecidesWhatHappensToTheLocalFile) {
    const PlacementCase& c = GetParam();
    serverFile("docs/a.txt", "server v2");
    c.local(*this);
    const std::string before = exists("docs/a.txt") ? content("docs/a.txt") : "";
    EventRecorder events({11, 10, 13, 16});

    ASSERT_TRUE(worker().doEndSync(kFolder));

    const std::vector<std::string> copies = copiesOf(names("docs"), "a.txt");
    switch (c.outcome) {
    case Outcome::Placed:
        EXPECT_EQ(content("docs/a.txt"), "server v2");
        EXPECT_EQ(modifiedSeconds("docs/a.txt"), kT1);
        EXPECT_TRUE(copies.empty());
        EXPECT_EQ(eventTexts(events, 4), std::vector<std::string>{"1 changed "});
        EXPECT_EQ(activities(FSActivity::TypeDownload).size(), 1u);
        break;
    case Outcome::KeptIdentical:
    case Outcome::KeptAsSent:
        EXPECT_EQ(content("docs/a.txt"), before);
        EXPECT_TRUE(copies.empty());
        EXPECT_EQ(eventTexts(events, 4), c.outcome == Outcome::KeptAsSent
                                             ? std::vector<std::string>{"1 uploaded "}
                                             : std::vector<std::string>{});
        EXPECT_FALSE(worker().uploadedThisPass.contains(serverPath("docs/a.txt")));
        break;
    case Outcome::KeptWithCopy:
        if (!before.empty()) {
            EXPECT_EQ(content("docs/a.txt"), before);
        }
        ASSERT_EQ(copies.size(), 1u) << ::testing::PrintToString(names("docs"));
        EXPECT_EQ(content("docs/" + copies[0]), "server v2");
        EXPECT_EQ(eventTexts(events, 4), std::vector<std::string>{"1 conflicts "});
        EXPECT_EQ(activities(FSActivity::TypeConflict).size(), 1u);
        break;
    }
    EXPECT_FALSE(Poco::File(staged("docs/a.txt")).exists());
    EXPECT_TRUE(noTemporaryFiles(names("docs")));
    // Saved: the record and, after it, the status set.
    EXPECT_EQ(storedStatus(), "server:9");
    FSSyncRecordPtr saved = m_db->getFSSyncRecord(serverPath("docs/a.txt"));
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->getSize(), 9);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Placement,
    ::testing::Values(
        PlacementCase{"no local file", [](ApplyTest&) {}, Outcome::Placed},
        PlacementCase{"unchanged local file is replaced",
                      [](ApplyTest& t) { t.synced("docs/a.txt", "old one"); }, Outcome::Placed},
        PlacementCase{"local file already the server's",
                      [](ApplyTest& t) { t.localFile("docs/a.txt", "server v2", ApplyTest::kT1); },
                      Outcome::KeptIdentical},
        // The stored record, the local file and the server's file all have 9
        // bytes: only the time tells the local edit.
        PlacementCase{"same size local edit",
                      [](ApplyTest& t) {
                          t.synced("docs/a.txt", "server v1");
                          t.localFile("docs/a.txt", "local v1!", ApplyTest::kT0 + 1);
                      },
                      Outcome::KeptWithCopy},
        PlacementCase{"local edit of another size",
                      [](ApplyTest& t) {
                          t.synced("docs/a.txt", "server v1");
                          t.localFile("docs/a.txt", "my longer edit", ApplyTest::kT0);
                      },
                      Outcome::KeptWithCopy},
        PlacementCase{"local file never synced here",
                      [](ApplyTest& t) { t.localFile("docs/a.txt", "mine"); }, Outcome::KeptWithCopy},
        PlacementCase{"unchanged file waiting in the send list",
                      [](ApplyTest& t) {
                          t.synced("docs/a.txt", "old one");
                          t.inSendList("docs/a.txt");
                      },
                      Outcome::KeptWithCopy},
        PlacementCase{"local folder of the file's name",
                      [](ApplyTest& t) { t.localFile("docs/a.txt/inner.txt", "in the folder"); },
                      Outcome::KeptWithCopy},
        PlacementCase{"dangling link of the file's name",
                      [](ApplyTest& t) {
                          Poco::File(t.at("docs")).createDirectories();
                          ASSERT_EQ(::symlink("nowhere", t.at("docs/a.txt").c_str()), 0);
                      },
                      Outcome::KeptWithCopy},
        PlacementCase{"file uploaded in this pass",
                      [](ApplyTest& t) {
                          t.localFile("docs/a.txt", "just sent");
                          t.worker().uploadedThisPass.insert(ApplyTest::serverPath("docs/a.txt"));
                      },
                      Outcome::KeptAsSent}),
    NameByWhat());

TEST_F(ApplyTest, FolderOfTheServerFileNameIsKeptWithItsContent) {
    serverFile("docs/a.txt", "server v2");
    localFile("docs/a.txt/inner.txt", "in the folder");
    CloudSyncTest::LogCapture log({"Sync"});
    ASSERT_TRUE(worker().doEndSync(kFolder));
    EXPECT_TRUE(Poco::File(at("docs/a.txt")).isDirectory());
    EXPECT_EQ(content("docs/a.txt/inner.txt"), "in the folder");
    EXPECT_TRUE(log.contains("FS File Conflict bcos a local item that is no file holds the name My Files/docs/a.txt"))
        << log.dump();
}

// A name that exists only in another Unicode form is a twin: the server's
// file goes beside it as a conflict copy. A name in another letter case is
// another file on this system: both stay.
TEST_F(ApplyTest, UnicodeTwinGetsAConflictCopyCaseTwinStaysApart) {
    const std::string nfc = "docs/caf\xC3\xA9.txt";   // é composed
    const std::string nfd = "docs/cafe\xCC\x81.txt";  // e + combining acute
    localFile(nfd, "decomposed twin");
    localFile("docs/Report.txt", "upper case");
    serverFile(nfc, "server cafe");
    serverFile("docs/report.txt", "server report");
    CloudSyncTest::LogCapture log({"Sync"});

    ASSERT_TRUE(worker().doEndSync(kFolder));

    EXPECT_EQ(content(nfd), "decomposed twin");
    EXPECT_FALSE(exists(nfc));
    std::vector<std::string> copies;
    for (const std::string& name : names("docs"))
        if (NameRules::isConflictCopyName(name))
            copies.push_back(name);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(content("docs/" + copies[0]), "server cafe");
    EXPECT_TRUE(log.contains("Creating Conflict file becos FS File with case conflict found : My Files/" + nfc))
        << log.dump();
    EXPECT_EQ(content("docs/Report.txt"), "upper case");
    EXPECT_EQ(content("docs/report.txt"), "server report");
}

// The step reads a folder's names once: a twin it placed itself earlier in
// the same step must still be seen, and so must a folder it made, while a
// conflict copy it removed is gone from its view.
TEST_F(ApplyTest, TwinPlacedEarlierInTheSameStepIsSeenByTheLaterOne) {
    const std::string nfc = "docs/caf\xC3\xA9.txt";   // placed first (the greater path)
    const std::string nfd = "docs/cafe\xCC\x81.txt";  // then its twin
    localFile("docs/z-first.txt", "read the folder before anything is placed");
    serverFile("docs/zz.txt", "placed before the twins");
    serverFile(nfc, "composed");
    serverFile(nfd, "decomposed");
    serverFile("docs/n\xC3\xA9w/x.txt", "in a new folder");
    serverFile("docs/ne\xCC\x81w", "a file named as the new folder in the other form");
    CloudSyncTest::LogCapture log({"Sync"});

    ASSERT_TRUE(worker().doEndSync(kFolder));

    EXPECT_EQ(content(nfc), "composed");
    EXPECT_FALSE(exists(nfd)) << ::testing::PrintToString(names("docs"));
    EXPECT_EQ(content("docs/n\xC3\xA9w/x.txt"), "in a new folder");
    EXPECT_FALSE(exists("docs/ne\xCC\x81w"));
    std::multiset<std::string> copies;
    for (const std::string& name : names("docs"))
        if (NameRules::isConflictCopyName(name))
            copies.insert(content("docs/" + name));
    EXPECT_EQ(copies, (std::multiset<std::string>{"decomposed", "a file named as the new folder in the other form"}));
    EXPECT_TRUE(log.contains("Creating Conflict file becos FS File with case conflict found : My Files/" + nfd))
        << log.dump();
}

// Sets the largest file this process may write, so that a copy fails part
// way as on a full disk; restores the limit when it goes.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    struct rlimit m_saved;
    void (*m_oldHandler)(int);
};

// Placing never deletes the user's file first: when the copy fails (here
// the disk is "full" after 64 KiB), the old file is still there, whole. The
// change holds back only itself: the step saves (the status set moves on)
// while the database keeps the file's old record, the change is remembered,
// reported once and placed when tried again with room.
TEST_F(ApplyTest, FailingCopyLeavesTheOldFileAndHoldsTheChangeBack) {
    const std::string big(256 * 1024, 'x');
    synced("docs/a.txt", "old one");
    serverFile("docs/a.txt", big);
    serverFile("docs/b.txt", "small");
    serverFile("docs/0.txt", "zero");
    // A full disk fails a copy; on one file system the staged file is
    // renamed into place and nothing is written, so the worker is made to
    // copy as it does across file systems. The disk is full while a.txt is
    // placed only (the placements go b, a, 0), not when the step saves.
    worker().placeByCopyForTesting = true;
    std::unique_ptr<FileSizeLimit> full;
    worker().beforePlacementForTesting = [&](const std::string& localPath) {
        full.reset(localPath == at("docs/a.txt") ? new FileSizeLimit(64 * 1024) : nullptr);
    };

    ASSERT_TRUE(worker().doEndSync(kFolder));

    full.reset();
    worker().beforePlacementForTesting = nullptr;
    EXPECT_EQ(content("docs/a.txt"), "old one");
    EXPECT_EQ(content("docs/b.txt"), "small");
    EXPECT_EQ(content("docs/0.txt"), "zero");
    EXPECT_TRUE(noTemporaryFiles(names("docs")));
    EXPECT_EQ(storedStatus(), "server:9");
    EXPECT_EQ(m_db->getFSSyncRecord(serverPath("docs/a.txt"))->getSize(), 7);
    EXPECT_EQ(worker().heldBack.of(kFolder).size(), 1u);
    worker().reportHeldBack();
    auto errors = activities(FSActivity::TypeError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]->message.compare(0, 21, "Error copying file : "), 0) << errors[0]->message;

    // The next pass tries it again, from the staged file kept, with room.
    worker().pass.retriedFolders.clear();
    worker().retryHeldBack(kFolder);
    ASSERT_EQ(worker().pass.serverChanges.size(), 1u);
    ASSERT_TRUE(worker().doEndSync(kFolder));
    EXPECT_TRUE(content("docs/a.txt") == big);
    EXPECT_EQ(m_db->getFSSyncRecord(serverPath("docs/a.txt"))->getSize(), static_cast<Poco::Int64>(big.size()));
    EXPECT_TRUE(worker().heldBack.of(kFolder).empty());
    EXPECT_FALSE(Poco::File(dataRoot() + "/.heldback").exists());
    EXPECT_TRUE(activities(FSActivity::TypeError).empty());
}

// A server folder where a file of the user's stands cannot be made, nor can
// the files inside it be placed: they hold back only themselves. Their
// records are not saved (the file is no deletion of anything to the next
// scan), everything else is placed and saved, and a newer server change of a
// held path takes its place at the next try.
TEST_F(ApplyTest, FolderThatCannotBeMadeHoldsBackItselfAndItsFiles) {
    localFile("docs", "the user's file named docs");
    serverFolder("docs");
    serverFile("docs/a.txt", "in the folder");
    serverFile("docs/b.txt", "also in it");
    serverFile("other.txt", "elsewhere");
    CloudSyncTest::LogCapture log({"Sync"});

    ASSERT_TRUE(worker().doEndSync(kFolder));

    EXPECT_EQ(content("docs"), "the user's file named docs");
    EXPECT_EQ(content("other.txt"), "elsewhere");
    EXPECT_EQ(storedStatus(), "server:9");
    for (const char* held : {"docs", "docs/a.txt", "docs/b.txt"})
        EXPECT_FALSE(m_db->getFSSyncRecord(serverPath(held))) << held;
    EXPECT_TRUE(m_db->getFSSyncRecord(serverPath("other.txt")));
    EXPECT_EQ(worker().heldBack.of(kFolder).size(), 3u);
    EXPECT_TRUE(worker().heldBack.meets("My Files/docs"));
    EXPECT_TRUE(worker().heldBack.meets("My Files"));
    EXPECT_FALSE(worker().heldBack.meets("My Files/docs.txt"));
    // Nothing reported yet: the pass reports once, when it ends.
    EXPECT_TRUE(activities(FSActivity::TypeError).empty());
    for (const auto& entry : log.channel().entries())
        EXPECT_GT(entry.priority, Poco::Message::PRIO_ERROR) << entry.text;
    worker().reportHeldBack();
    EXPECT_EQ(activities(FSActivity::TypeError).size(), 3u);

    // Next pass: the server changed b.txt again; the user moved the file away.
    Poco::File(at("docs")).renameTo(at("docs.txt"));
    worker().pass.retriedFolders.clear();
    serverFile("docs/b.txt", "newer");
    worker().retryHeldBack(kFolder);
    ASSERT_EQ(worker().pass.serverChanges.size(), 3u);
    ASSERT_TRUE(worker().doEndSync(kFolder));
    EXPECT_EQ(content("docs/a.txt"), "in the folder");
    EXPECT_EQ(content("docs/b.txt"), "newer");
    EXPECT_TRUE(m_db->getFSSyncRecord(serverPath("docs")));
    EXPECT_TRUE(worker().heldBack.of(kFolder).empty());
}

// The held changes survive the worker: a new one (a restart) reads them
// from the data folder, records whole.
TEST_F(ApplyTest, HeldBackChangesAreReadBackAfterARestart) {
    localFile("docs", "in the way");
    FSSyncRecordPtr sent = serverFile("docs/a.txt", "server's");
    ASSERT_TRUE(worker().doEndSync(kFolder));
    m_worker->shutdown();
    m_worker.reset();

    const auto held = worker().heldBack.of(kFolder);
    ASSERT_EQ(held.size(), 1u);
    const FSSyncRecord& back = *held.at(serverPath("docs/a.txt"));
    EXPECT_EQ(back.getId(), sent->getId());
    EXPECT_EQ(back.getUpdatedVersion(), sent->getUpdatedVersion());
    EXPECT_EQ(back.getSize(), sent->getSize());
    EXPECT_EQ(back.getModified(), sent->getModified());
    EXPECT_EQ(back.getFriendlyName(), sent->getFriendlyName());
    EXPECT_EQ(back.getLocalFullPath(), sent->getLocalFullPath());
    EXPECT_EQ(back.getLocalParent(), sent->getLocalParent());
    EXPECT_EQ(back.getSyncFolderPath(), sent->getSyncFolderPath());
    EXPECT_EQ(worker().heldBack.folders(), std::vector<std::string>{kFolder});
}

// On one file system the staged file itself is renamed into place: same
// inode, nothing left in the staging folder or beside the file, the mode of
// the file it replaces (a new file: 0666 narrowed by the umask) and the
// server's modification time, whatever the staged file had.
TEST_F(ApplyTest, SameDevicePlacementMovesTheStagedFile) {
    struct Case {
        const char* what;
        bool replaces;
        mode_t localMode; // of the replaced file
        mode_t expected;
    };
    const mode_t mask = 027;
    const Case cases[] = {
        {"replacing an unchanged file keeps its mode", true, 0604, 0604},
        {"a new file gets 0666 narrowed by the umask", false, 0, 0666 & ~mask},
    };
    const mode_t previousMask = ::umask(mask);
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string rel = "docs/moved" + std::to_string(++round) + ".txt";
        if (c.replaces) {
            synced(rel, "old one");
            ASSERT_EQ(::chmod(at(rel).c_str(), c.localMode), 0);
        }
        serverFile(rel, "server v2");
        // The staged file as a download may leave it: another mode, another time.
        ASSERT_EQ(::chmod(staged(rel).c_str(), 0600), 0);
        Poco::File(staged(rel)).setLastModified(when(kT0 + 17));
        struct stat before;
        ASSERT_EQ(::stat(staged(rel).c_str(), &before), 0);
        worker().pass.remoteStatus = "server:" + std::to_string(9 + round);

        ASSERT_TRUE(worker().doEndSync(kFolder));
        worker().pass.serverChanges.clear();

        struct stat placed;
        ASSERT_EQ(::stat(at(rel).c_str(), &placed), 0);
        EXPECT_EQ(placed.st_ino, before.st_ino);
        EXPECT_EQ(placed.st_dev, before.st_dev);
        EXPECT_EQ(placed.st_mode & 07777, c.expected);
        EXPECT_EQ(content(rel), "server v2");
        EXPECT_EQ(modifiedSeconds(rel), kT1);
        EXPECT_FALSE(Poco::File(staged(rel)).exists());
        EXPECT_TRUE(noTemporaryFiles(names("docs")));
        EXPECT_TRUE(copiesOf(names("docs"), "moved" + std::to_string(round) + ".txt").empty());
    }
    ::umask(previousMask);
}

// A save between the conflict check and the replacement is seen just before
// it, by a rename as by a copy: the user's file stays, the server's version
// becomes the conflict copy, and nothing is left in the staging folder or
// beside the file.
TEST_F(ApplyTest, SaveDuringThePlacementKeepsTheUsersFileByRenameAndByCopy) {
    for (const bool byCopy : {false, true}) {
        SCOPED_TRACE(byCopy ? "by copy" : "by rename");
        const std::string fileName = byCopy ? "copied.txt" : "renamed.txt";
        const std::string rel = "docs/" + fileName;
        synced(rel, "old one");
        serverFile(rel, "server v2");
        worker().placeByCopyForTesting = byCopy;
        worker().beforePlacementForTesting = [&](const std::string& path) {
            if (path == at(rel))
                std::ofstream(path, std::ios::binary | std::ios::trunc) << "the user's save";
        };

        ASSERT_TRUE(worker().doEndSync(kFolder));
        worker().beforePlacementForTesting = nullptr;
        worker().pass.serverChanges.clear();

        EXPECT_EQ(content(rel), "the user's save");
        const std::vector<std::string> copies = copiesOf(names("docs"), fileName);
        ASSERT_EQ(copies.size(), 1u) << ::testing::PrintToString(names("docs"));
        EXPECT_EQ(content("docs/" + copies[0]), "server v2");
        EXPECT_FALSE(Poco::File(staged(rel)).exists());
        EXPECT_TRUE(noTemporaryFiles(names("docs")));
    }
}

// ---- Conflict copies ----

struct CopyNameCase {
    const char* what;
    const char* fileName;
    const char* friendly;
    // The expected name with "S" for the time stamp.
    const char* expected;
};

class ConflictCopyName : public ApplyTest, public ::testing::WithParamInterface<CopyNameCase> {};

TEST_P(ConflictCopyName, IsTheBaseTheDeviceTheTimeAndTheExtension) {
    const CopyNameCase& c = GetParam();
    const std::string rel = std::string("docs/") + c.fileName;
    localFile(rel, "mine");
    FSSyncRecordPtr theirs = record(rel, 1, 6, kT1, 5, false, c.friendly);
    write(staged(rel), "theirs", kT1);
    const std::string before = Poco::DateTimeFormatter::format(Poco::LocalDateTime(), "%Y-%m-%d-%H-%M-%S");

    ASSERT_TRUE(worker().copyToConflictFile(theirs, at(rel)));

    const std::string after = Poco::DateTimeFormatter::format(Poco::LocalDateTime(), "%Y-%m-%d-%H-%M-%S");
    std::vector<std::string> made;
    for (const std::string& name : names("docs"))
        if (name != c.fileName)
            made.push_back(name);
    ASSERT_EQ(made.size(), 1u) << ::testing::PrintToString(names("docs"));
    std::string expected = c.expected;
    const std::string::size_type at = expected.find('S');
    const std::string stamp = made[0].substr(at, 19);
    EXPECT_EQ(made[0], expected.replace(at, 1, stamp));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_TRUE(NameRules::isConflictCopyName(made[0]));
    EXPECT_EQ(content("docs/" + made[0]), "theirs");
    EXPECT_EQ(modifiedSeconds("docs/" + made[0]), kT1);
    EXPECT_EQ(content(rel), "mine");
    EXPECT_FALSE(Poco::File(staged(rel)).exists());
}

INSTANTIATE_TEST_SUITE_P(
    Names, ConflictCopyName,
    ::testing::Values(CopyNameCase{"with extension", "doc.txt", "Ann's Phone", "doc(Conflict_AnnsPhone_S).txt"},
                      CopyNameCase{"without extension", "README", "Ann's Phone", "README(Conflict_AnnsPhone_S)"},
                      CopyNameCase{"two dots", "archive.tar.gz", "Ann's Phone", "archive.tar(Conflict_AnnsPhone_S).gz"},
                      CopyNameCase{"device of non ascii letters", "doc.txt", "\xE6\x9D\xB1\xE4\xBA\xAC",
                                   "doc(Conflict__S).txt"}),
    NameByWhat());

// Two conflicts of one file from one device leave one copy; copies of
// another device or extension, and names that only look alike, stay. The
// entry tells the user what happened.
TEST_F(ApplyTest, ConflictCopyReplacesOlderCopiesOfTheSameDeviceOnly) {
    localFile("docs/doc.txt", "mine");
    const std::vector<std::string> others = {"Conflict_Analysis.xlsx", "doc(Conflict_AnnsPhone_old).txt",
                                             "doc(Conflict_AnnsPhone_2020-01-01-00-00-00).md",
                                             "doc(Conflict_Other_2020-01-01-00-00-00).txt"};
    for (const std::string& name : others)
        localFile("docs/" + name, "keep");
    localFile("docs/doc(Conflict_AnnsPhone_2020-01-01-00-00-00).txt", "older copy");
    FSSyncRecordPtr theirs = record("docs/doc.txt", 1, 6, kT1);
    write(staged("docs/doc.txt"), "theirs", kT1);
    CloudSyncTest::LogCapture log({"Sync"});

    ASSERT_TRUE(worker().copyToConflictFile(theirs, at("docs/doc.txt")));

    const std::vector<std::string> copies = copiesOf(names("docs"), "doc.txt");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_NE(copies[0], "doc(Conflict_AnnsPhone_2020-01-01-00-00-00).txt");
    EXPECT_EQ(content("docs/" + copies[0]), "theirs");
    for (const std::string& name : others)
        EXPECT_EQ(content("docs/" + name), "keep") << name;
    EXPECT_TRUE(log.contains("FS Removed Existing Conflict File: " + at("docs/doc(Conflict_AnnsPhone_2020-01-01-00-00-00).txt")))
        << log.dump();
    auto entries = activities(FSActivity::TypeConflict);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]->message, "File Conflict found My Files/docs/doc.txt (6 bytes) double-click to resolve conflict");
    EXPECT_EQ(entries[0]->fullPath, "My Files/docs/doc.txt");
    EXPECT_EQ(entries[0]->friendlyName, "Ann's Phone");
}

TEST(ConflictCopyNames, OnlyTheWholeFormCounts) {
    struct Case {
        const char* name;
        bool copy;
    } cases[] = {
        {"a(Conflict_PC_2024-05-01-13-45-10).txt", true},
        {"README(Conflict__2024-05-01-13-45-10)", true},
        {"(Conflict_PC_2024-05-01-13-45-10).bashrc", true},
        {"Conflict_Analysis.xlsx", false},
        {"a(Conflict_PC_2024-05-01).txt", false},
        {"a(Conflict_My PC_2024-05-01-13-45-10).txt", false},
        {"a(Conflict_PC_2024-05-01-13-45-10).tar.gz", false},
        {"a(Conflict_PC_2024-05-01-13-45-10)x", false},
        {"a(Conflict_PC_2024-05-01-13-45-10).", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NameRules::isConflictCopyName(c.name), c.copy) << c.name;
    EXPECT_EQ(NameRules::conflictCopyName(".bashrc", "PC", "2024-05-01-13-45-10"),
              "(Conflict_PC_2024-05-01-13-45-10).bashrc");
    EXPECT_TRUE(NameRules::isConflictCopyOf("a.b(Conflict_PC_2024-05-01-13-45-10).c", "a.b.c", "PC"));
    EXPECT_FALSE(NameRules::isConflictCopyOf("a.b(Conflict_PC_2024-05-01-13-45-10).c", "a.b.c", "P"));
    EXPECT_FALSE(NameRules::isConflictCopyOf("a.b(Conflict_PC_2024-05-01-13-45-10).c", "a.b.d", "PC"));
}

// ---- doEndSync: saving, failures and the summary ----

TEST_F(ApplyTest, FailedMergeSavesNothingAndKeepsTheError) {
    serverFile("docs/a.txt", "server v2");
    // A record without identity makes the merge refuse the whole delta.
    worker().pass.serverChanges.push_back(FSSyncRecordPtr(new FSSyncRecord()));
    CloudSyncTest::LogCapture log({"Sync"});

    EXPECT_FALSE(worker().doEndSync(kFolder));

    EXPECT_FALSE(exists("docs/a.txt"));
    EXPECT_EQ(storedStatus(), "server:3");
    EXPECT_FALSE(m_db->getFSSyncRecord(serverPath("docs/a.txt")));
    EXPECT_TRUE(log.contains("Failed to apply DeltaRecord Set, Potential Conflict")) << log.dump();
    auto errors = activities(FSActivity::TypeError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]->message, "Failed to apply DeltaRecord Set, potential conflict");

    // The next pass asks again (the status stayed) and applies the delta;
    // then the error goes.
    worker().pass.serverChanges.clear();
    serverFile("docs/a.txt", "server v2");
    ASSERT_TRUE(worker().doEndSync(kFolder));
    EXPECT_EQ(content("docs/a.txt"), "server v2");
    EXPECT_EQ(storedStatus(), "server:9");
    EXPECT_TRUE(activities(FSActivity::TypeError).empty());
}

// A save that fails for real (another connection holds the database's write
// lock past the busy time-out): the files are placed, but neither the
// records nor the status set move on, so the next call applies the same
// delta and then saves it.
TEST_F(ApplyTest, FailedSaveKeepsTheStoredStatusAndTheNextCallAppliesTheSameDelta) {
    synced("docs/old.txt", "old one");
    serverFile("docs/a.txt", "server v2");
    serverFile("docs/old.txt", "the new one");
    serverDeletion("docs/gone.txt", 1, 4);
    synced("docs/gone.txt", "gone");
    worker();
    lockableDB().setBusyTimeout(20);
    wxSQLite3Database writer;
    writer.Open(m_tmp / "data/syncclient.db");
    writer.Begin(WXSQLITE_TRANSACTION_IMMEDIATE);

    EXPECT_FALSE(worker().doEndSync(kFolder));

    writer.Rollback();
    writer.Close();
    EXPECT_EQ(content("docs/a.txt"), "server v2");
    EXPECT_EQ(content("docs/old.txt"), "the new one");
    EXPECT_FALSE(exists("docs/gone.txt"));
    EXPECT_EQ(storedStatus(), "server:3");
    EXPECT_FALSE(m_db->getFSSyncRecord(serverPath("docs/a.txt")));
    EXPECT_EQ(m_db->getFSSyncRecord(serverPath("docs/old.txt"))->getSize(), 7);

    EventRecorder events({11, 10, 13, 16});
    ASSERT_TRUE(worker().doEndSync(kFolder));
    EXPECT_EQ(storedStatus(), "server:9");
    EXPECT_EQ(m_db->getFSSyncRecord(serverPath("docs/a.txt"))->getSize(), 9);
    EXPECT_EQ(m_db->getFSSyncRecord(serverPath("docs/gone.txt"))->getIsDeleted(), 1);
    // Found in place: nothing copied twice, no conflict.
    EXPECT_EQ(eventTexts(events, 4), std::vector<std::string>{});
    EXPECT_TRUE(copiesOf(names("docs"), "a.txt").empty());
    EXPECT_TRUE(worker().pass.serverChanges.empty());
}

// The records are saved before the status set: when only the records' save
// fails (the database refuses new rows, while the status set could still be
// written), the stored status stays, so the next call asks for and applies
// the same delta and then saves both.
TEST_F(ApplyTest, FailedRecordsSaveAloneLeavesTheStatusForTheNextCall) {
    serverFile("docs/a.txt", "server v2");
    worker();
    wxSQLite3Database raw;
    raw.Open(m_tmp / "data/syncclient.db");
    raw.ExecuteUpdate("CREATE TRIGGER fault BEFORE INSERT ON OBJECT BEGIN SELECT RAISE(ABORT, 'disk says no'); END;");
    CloudSyncTest::LogCapture log({"Sync"});

    EXPECT_FALSE(worker().doEndSync(kFolder));

    EXPECT_TRUE(log.contains("EndSync: Failed saving the sync records of /user1")) << log.dump();
    EXPECT_FALSE(log.contains("Failed saving the sync status")) << log.dump();
    EXPECT_EQ(storedStatus(), "server:3");
    EXPECT_FALSE(m_db->getFSSyncRecord(serverPath("docs/a.txt")));
    EXPECT_EQ(content("docs/a.txt"), "server v2");

    raw.ExecuteUpdate("DROP TRIGGER fault;");
    raw.Close();
    ASSERT_TRUE(worker().doEndSync(kFolder));
    EXPECT_EQ(storedStatus(), "server:9");
    EXPECT_EQ(m_db->getFSSyncRecord(serverPath("docs/a.txt"))->getSize(), 9);
}

TEST_F(ApplyTest, RecordsThatDoNotLoadStopTheStepBeforeAnything) {
    serverFile("docs/a.txt", "server v2");
    ASSERT_TRUE(m_db->FSSyncRecordAdd(record("docs/b.txt", 1, 1, kT0, 3).get()));
    // A damaged row of the folder: the load fails as a whole.
    {
        wxSQLite3Database raw;
        raw.Open(m_tmp / "data/syncclient.db");
        raw.ExecuteUpdate("update OBJECT set OBJID='damaged' where NAME='b.txt';");
        raw.Close();
    }
    EXPECT_FALSE(worker().doEndSync(kFolder));
    EXPECT_FALSE(exists("docs/a.txt"));
    EXPECT_EQ(storedStatus(), "server:3");
}

TEST_F(ApplyTest, StopRequestLeavesTheStatus) {
    serverFile("docs/a.txt", "server v2");
    worker().stop = true;
    EXPECT_FALSE(worker().doEndSync(kFolder));
    EXPECT_EQ(storedStatus(), "server:3");
}

// An accepted delta without records still moves the folder to the server's
// status, so that the same empty delta is not asked for at every pass.
TEST_F(ApplyTest, EmptyDeltaStoresTheRemoteStatus) {
    write(staged("leftover.txt"), "stale", kT0);
    worker().reportError("an earlier failure", "", "", FSActivity::TypeError);
    worker().pass.noAccessPaths.insert("/EXTERNAL/x");
    EventRecorder events;

    ASSERT_TRUE(worker().doEndSync(kFolder));

    EXPECT_EQ(storedStatus(), "server:9");
    EXPECT_TRUE(activities(FSActivity::TypeError).empty());
    EXPECT_FALSE(Poco::File(dataRoot() + "/.cache/My Files").exists());
    EXPECT_TRUE(worker().pass.noAccessPaths.empty());
    // No item events, no summary.
    std::vector<EventRecorder::Event> expected = {EventRecorder::Event{10, "Processing Changes", 0},
                                                  EventRecorder::Event{16, "", 0}};
    EXPECT_EQ(events.events(), expected);
}

TEST_F(ApplyTest, SummaryCountsEveryKindOfChange) {
    serverFile("docs/new1.txt", "one");
    serverFile("docs/new2.txt", "two");
    localFile("docs/mine.txt", "local edit");
    serverFile("docs/mine.txt", "server edit");
    synced("docs/gone.txt", "gone");
    serverDeletion("docs/gone.txt");
    worker().uploadedThisPass.insert("/user1/elsewhere.txt");
    EventRecorder events({10, 11, 13, 16});

    ASSERT_TRUE(worker().doEndSync(kFolder));

    EXPECT_EQ(eventTexts(events, 4), std::vector<std::string>{"2 changed 1 conflicts 1 removed 1 uploaded "});
}

// New folders and their files: the folders are made, also where a file's
// parent comes up before the folder's own record (deepest first).
TEST_F(ApplyTest, NewFoldersAreCreatedWithTheirFiles) {
    serverFolder("new");
    serverFolder("new/sub");
    serverFile("new/sub/deep.txt", "deep");
    worker().uploadedThisPass.insert(serverPath("made-here"));
    serverFolder("made-here");
    ASSERT_TRUE(worker().doEndSync(kFolder));
    EXPECT_TRUE(Poco::File(at("new/sub")).isDirectory());
    EXPECT_EQ(content("new/sub/deep.txt"), "deep");
    // A folder this client created in the pass is not made again.
    EXPECT_FALSE(exists("made-here"));
    EXPECT_EQ(worker().uploadedThisPass.size(), 0u);
}

// A record whose local path would leave the sync folder is refused, whatever
// the delta or the store holds; the rest of the delta is applied.
TEST_F(ApplyTest, RecordsOutsideTheSyncFolderAreRefused) {
    // Staged where such a record's download would lie.
    FSSyncRecordPtr escaping = serverFile("docs/a.txt", "escaped");
    escaping->setLocalFullPath("My Files/../../outside.txt");
    write(dataRoot() + "/outside.txt", "escaped", kT1);
    FSSyncRecordPtr victim = serverDeletion("victim.txt");
    victim->setLocalFullPath("My Files/../../victim.txt");
    write(m_tmp / "victim.txt", "victim", kT0);
    FSSyncRecordPtr absolute = serverDeletion("absolute.txt");
    absolute->setLocalFullPath(m_tmp / "victim.txt");
    serverFile("docs/fine.txt", "fine");
    CloudSyncTest::LogCapture log({"Sync"});

    ASSERT_TRUE(worker().doEndSync(kFolder));

    EXPECT_FALSE(Poco::File(m_tmp / "outside.txt").exists());
    EXPECT_TRUE(Poco::File(m_tmp / "victim.txt").exists());
    EXPECT_EQ(content("docs/fine.txt"), "fine");
    EXPECT_TRUE(log.contains("FS Refusing record outside the sync folder: /user1/docs/a.txt -> My Files/../../outside.txt"))
        << log.dump();
    EXPECT_FALSE(worker().createFilePathIfNeeded(syncRoot() + "/../escape"));
    EXPECT_FALSE(Poco::File(m_tmp / "escape").exists());
}

TEST_F(ApplyTest, UpdateObjectPropsStoresTheChecksAskedFor) {
    m_settings["checkmodtime"] = "1";
    m_settings["checkcrc"] = "1";
    localFile("docs/a.txt", "hello", kT1);
    FSSyncRecordPtr placed = record("docs/a.txt", 1, 5, kT1);
    worker().updateObjectProps(at("docs/a.txt"), placed);
    EXPECT_EQ(placed->getFileModTime(), "2023-11-14 23:13:20");
    std::string crc;
    ASSERT_TRUE(Nuvaro::Util::getFileCRC(at("docs/a.txt"), crc, 0, 5));
    EXPECT_EQ(placed->getFileCRC(), crc);
}

// With a check switched on, a file found identical is replaced by the
// download all the same (which also sets its time); without, it stays.
TEST_F(ApplyTest, IdenticalFileIsCopiedOnlyWithAdvancedChecks) {
    m_settings["checkcrc"] = "1";
    localFile("docs/a.txt", "server v2", kT1);
    serverFile("docs/a.txt", "server v2");
    EventRecorder events({10, 11, 13, 16});
    ASSERT_TRUE(worker().doEndSync(kFolder));
    EXPECT_EQ(eventTexts(events, 4), std::vector<std::string>{"1 changed "});
    EXPECT_FALSE(m_db->getFSSyncRecord(serverPath("docs/a.txt"))->getFileCRC().empty());
}

TEST(SortOrders, FolderBeforeItsContentOrAfterIt) {
    auto make = [](const std::string& local) {
        FSSyncRecordPtr made(new FSSyncRecord());
        made->setLocalFullPath(local);
        return Nuvaro::DataSync::DataSyncRecordPtr(made);
    };
    auto order = [](std::vector<Nuvaro::DataSync::DataSyncRecordPtr> records, bool deepest) {
        std::sort(records.begin(), records.end(), deepest ? sortDirsByDeepestFirst : sortDirsByShallowFirst);
        std::vector<std::string> paths;
        for (const auto& r : records)
            paths.push_back(boost::dynamic_pointer_cast<FSSyncRecord>(r)->getLocalFullPath());
        return paths;
    };
    std::vector<Nuvaro::DataSync::DataSyncRecordPtr> records = {make("My Files/b"), make("My Files/a/f.txt"),
                                                                make("My Files/a")};
    EXPECT_EQ(order(records, false), (std::vector<std::string>{"My Files/a", "My Files/a/f.txt", "My Files/b"}));
    EXPECT_EQ(order(records, true), (std::vector<std::string>{"My Files/b", "My Files/a/f.txt", "My Files/a"}));
}

} // namespace
} // namespace EngineTest
