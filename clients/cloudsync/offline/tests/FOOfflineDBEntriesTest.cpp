// FOOfflineDB: the entry records (OBJECT).

#include "OfflineDBFixture.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

using Nuvaro::Sync::FOOfflineEntry;
using Strings = std::vector<std::string>;

namespace {

typedef boost::shared_ptr<FOOfflineEntry> EntryPtr;

class OfflineDBEntries : public OfflineTest::OfflineDBTest {
protected:
    // An entry at `path` in the job "/job": its name and parent split from it.
    static FOOfflineEntry entry(const std::string& path, int type = FOOfflineEntry::TYPE_FILE) {
        const std::string::size_type slash = path.rfind('/');
        return FOOfflineEntry(path, type, path.substr(slash + 1), slash == 0 ? "/" : path.substr(0, slash),
                              type == FOOfflineEntry::TYPE_FILE ? 10 : 0, 122192928000000000LL, "/job", "", "");
    }
    void add(std::initializer_list<const char*> paths) {
        for (const char* path : paths) {
            FOOfflineEntry e = entry(path);
            ASSERT_TRUE(m_db.FOAddRecord(&e)) << path;
        }
    }
    Strings storedPaths() { return rows("select FULLPATH from OBJECT order by FULLPATH;"); }
    static void expectSameEntry(const FOOfflineEntry& a, const FOOfflineEntry& b) {
        EXPECT_EQ(a.fullPath, b.fullPath);
        EXPECT_EQ(a.type, b.type);
        EXPECT_EQ(a.name, b.name);
        EXPECT_EQ(a.parent, b.parent);
        EXPECT_EQ(a.size, b.size);
        EXPECT_EQ(a.modified, b.modified);
        EXPECT_EQ(a.localLinkPath, b.localLinkPath);
        EXPECT_EQ(a.fileCrc, b.fileCrc);
        EXPECT_EQ(a.fileMod, b.fileMod);
    }
};

TEST_F(OfflineDBEntries, EntriesRoundTripExactly) {
    FOOfflineEntry entries[] = {
        {"/job/a.txt", 1, "a.txt", "/job", 5368709120LL, 122192928000000000LL + 16000000000000000LL, "/job",
         "crc-1", "2020-01-31 08:05:09"},
        {"/job/O'Brien's 100%_x", 0, "O'Brien's 100%_x", "/job", 0, 0, "/job", "", ""},
        {"/job/'); DROP TABLE OBJECT; --", 1, "'); DROP TABLE OBJECT; --", "/job", 1, 2, "/job", "%q", "%s"},
        {"/job/unset", FOOfflineEntry::TYPE_UNSET, "unset", "/job", 0, -1, "/job", "", ""},
    };
    for (FOOfflineEntry& e : entries)
        ASSERT_TRUE(m_db.FOAddRecord(&e)) << e.fullPath;
    for (const FOOfflineEntry& e : entries) {
        EntryPtr stored = m_db.getFORecord(e.fullPath);
        ASSERT_TRUE(stored) << e.fullPath;
        expectSameEntry(*stored, e);
    }
    EXPECT_FALSE(m_db.getFORecord("/job"));
    EXPECT_EQ(rows("select typeof(TYPE), typeof(SIZE), typeof(MODIFIED) from OBJECT where NAME = 'a.txt';"),
              Strings{"integer|integer|integer"});
}

TEST_F(OfflineDBEntries, UpdateAndDeleteActOnOneRow) {
    add({"/job/a", "/job/b"});
    FOOfflineEntry changed("/job/a", 1, "a", "/job", 99, 122192928010000000LL, "/job", "crc", "2021-01-01 00:00:00");
    ASSERT_TRUE(m_db.FOUpdateRecord(&changed));
    expectSameEntry(*m_db.getFORecord("/job/a"), changed);
    expectSameEntry(*m_db.getFORecord("/job/b"), entry("/job/b"));

    FOOfflineEntry b = entry("/job/b");
    EXPECT_TRUE(m_db.FODeleteRecord(&b));
    EXPECT_TRUE(m_db.FODeleteRecord(&b));  // already gone: no error
    EXPECT_EQ(storedPaths(), Strings{"/job/a"});
}

// A write that stores nothing is a failure with an error line, never an abort.
TEST_F(OfflineDBEntries, WritesThatChangeNoRowFailInsteadOfAborting) {
    add({"/job/a"});
    FOOfflineEntry missing = entry("/job/gone"), duplicate = entry("/job/a", FOOfflineEntry::TYPE_FOLDER);
    struct Case {
        const char* what;
        std::function<bool()> write;
        const char* line;
    } cases[] = {
        {"update of a vanished entry", [&] { return m_db.FOUpdateRecord(&missing); },
         "Exception in FOUpdateRecord no row written for /job/gone"},
        {"second row for one path", [&] { return m_db.FOAddRecord(&duplicate); },
         "Exception in FOAddRecord UNIQUE constraint failed"},
        {"null entry",
         [&] { return m_db.FOAddRecord(nullptr) || m_db.FOUpdateRecord(nullptr) || m_db.FODeleteRecord(nullptr); },
         "Exception in FOAddRecord no record given"},
    };
    for (const Case& c : cases) {
        CloudSyncTest::LogCapture capture({"Sync"});
        EXPECT_FALSE(c.write()) << c.what;
        EXPECT_TRUE(capture.contains(c.line, "Sync")) << c.what << "\n" << capture.dump();
    }
    expectSameEntry(*m_db.getFORecord("/job/a"), entry("/job/a"));

    refuse("DELETE", "OBJECT");
    CloudSyncTest::LogCapture capture({"Sync"});
    FOOfflineEntry a = entry("/job/a");
    EXPECT_FALSE(m_db.FODeleteRecord(&a));
    EXPECT_TRUE(capture.contains("Exception in WS::FODeleteRecord OBJECT refused", "Sync"));
}

// FODeleteChildren forgets what lies below a folder, matched literally: a
// sibling whose name begins with the folder's, the same path inside another
// folder, and "%" or "_" in names never widen the match.
TEST_F(OfflineDBEntries, DeleteChildrenSparesPrefixSiblingsAndWildcardMatches) {
    const std::initializer_list<const char*> all = {
        "/data/a",          "/data/a/x",     "/data/a/sub/y",   "/data/ab",         "/data/ab/z",
        "/data/a0/z",       "/data/a-b/z",   "/data/A/z",       "/x/data/a/y",      "/data/b/c",
        "/data/50%_x",      "/data/50%_x/f", "/data/50%_x/d/g", "/data/50abx/f",    "/data/50%_xy/f",
        "/data/it's/f",     "/data/its/f",
    };
    struct Case {
        const char* folder;
        Strings gone;
    } cases[] = {
        {"/data/a", {"/data/a/sub/y", "/data/a/x"}},
        {"/data/a/", {"/data/a/sub/y", "/data/a/x"}},
        {"/data/a/sub", {"/data/a/sub/y"}},
        {"/data/50%_x", {"/data/50%_x/d/g", "/data/50%_x/f"}},
        {"/data/it's", {"/data/it's/f"}},
        {"/data/%", {}},
        {"/data/_", {}},
        {"/nothing", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        sql("DELETE FROM OBJECT;");
        add(all);
        EXPECT_TRUE(m_db.FODeleteChildren(c.folder));
        Strings expected;
        for (const char* path : all)
            if (std::find(c.gone.begin(), c.gone.end(), path) == c.gone.end())
                expected.push_back(path);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(storedPaths(), expected);
    }
}

TEST_F(OfflineDBEntries, DeleteChildrenOfTheRootAndOfNothing) {
    add({"/top", "/data/a/x"});
    CloudSyncTest::LogCapture capture({"Sync"});
    EXPECT_FALSE(m_db.FODeleteChildren(""));
    EXPECT_TRUE(capture.contains("Exception in FODeleteChildren refused for an empty folder path", "Sync"));
    EXPECT_EQ(count("OBJECT"), 2);

    EXPECT_TRUE(m_db.FODeleteChildren("/"));
    EXPECT_EQ(count("OBJECT"), 0);
}

TEST_F(OfflineDBEntries, ChildrenAreTheDirectOnes) {
    add({"/data/a/x", "/data/a/y", "/data/a/sub/z", "/data/ab/w", "/data/A/v"});
    std::vector<EntryPtr> children{EntryPtr(new FOOfflineEntry(entry("/kept")))};
    ASSERT_TRUE(m_db.getFOChildren("/data/a", children));
    Strings paths;
    for (const EntryPtr& child : children)
        paths.push_back(child->fullPath);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (Strings{"/data/a/x", "/data/a/y", "/kept"}));
}

TEST_F(OfflineDBEntries, CachedListHoldsEveryRowOfEveryJob) {
    add({"/job/a", "/job/b", "/job/sub/c"});
    FOOfflineEntry other("/other/d", 1, "d", "/other", 1, 0, "/other", "", "");
    ASSERT_TRUE(m_db.FOAddRecord(&other));

    std::map<std::string, EntryPtr> byPath;
    EntryPtr kept(new FOOfflineEntry(entry("/job/a")));
    kept->size = 12345;
    byPath["/job/a"] = kept;
    std::multimap<std::string, std::string> names;
    ASSERT_TRUE(m_db.getFOCachedFullPathList(byPath, names));

    EXPECT_EQ(byPath.size(), 4u);
    EXPECT_EQ(byPath["/job/a"]->size, 12345);  // an existing key keeps its entry
    EXPECT_EQ(byPath["/other/d"]->localLinkPath, "/other");
    EXPECT_EQ(names.count("/job"), 2u);
    EXPECT_EQ(names.find("/job/sub")->second, "c");
    EXPECT_EQ(names.find("/other")->second, "d");
}

// The runner, the job and the transfer threads of its pool share one
// database: concurrent writers and readers lose nothing.
TEST_F(OfflineDBEntries, AConflictCopyIsRecordedOnItsFilesRowUntilForgotten) {
    add({"/job/a.txt", "/job/b.txt"});
    FOOfflineEntry other("/other/c.txt", 1, "c.txt", "/other", 1, 0, "/other", "", "");
    ASSERT_TRUE(m_db.FOAddRecord(&other));
    ASSERT_TRUE(m_db.FOSetConflictCopy("/job/a.txt", "/job/Conflict_a.txt"));
    ASSERT_TRUE(m_db.FOSetConflictCopy("/other/c.txt", "/other/Conflict_c.txt"));
    EXPECT_FALSE(m_db.FOSetConflictCopy("/job/none.txt", "/job/Conflict_none.txt"));

    // An update of the row's other columns keeps it.
    FOOfflineEntry changed = entry("/job/a.txt");
    changed.size = 99;
    ASSERT_TRUE(m_db.FOUpdateRecord(&changed));
    std::map<std::string, std::string> copies;
    ASSERT_TRUE(m_db.getFOConflictCopies("/job", copies));
    EXPECT_EQ(copies, (std::map<std::string, std::string>{{"/job/a.txt", "/job/Conflict_a.txt"}}));

    ASSERT_TRUE(m_db.FOSetConflictCopy("/job/a.txt", ""));
    copies.clear();
    ASSERT_TRUE(m_db.getFOConflictCopies("/job", copies));
    EXPECT_TRUE(copies.empty());
}

TEST_F(OfflineDBEntries, AFileOfAnOlderProgramGetsTheConflictCopyColumnWithItsRowsKept) {
    m_db.closeDB();
    sql("ALTER TABLE OBJECT RENAME TO OLDOBJECT;");
    sql("CREATE TABLE OBJECT (FULLPATH TEXT primary key, TYPE INTEGER, NAME TEXT, PARENT TEXT, SIZE INTEGER, "
        "MODIFIED INTEGER, LOCALLINKPATH TEXT, FILECRC TEXT, FILEMOD TEXT);");
    sql("DROP TABLE OLDOBJECT;");
    sql("INSERT INTO OBJECT VALUES ('/job/a.txt', 1, 'a.txt', '/job', 5, 0, '/job', '', '');");

    ASSERT_TRUE(m_db.openDB(path(), ""));

    std::map<std::string, std::string> copies;
    ASSERT_TRUE(m_db.getFOConflictCopies("/job", copies));
    EXPECT_TRUE(copies.empty());
    ASSERT_TRUE(m_db.FOSetConflictCopy("/job/a.txt", "/job/Conflict_a.txt"));
    ASSERT_TRUE(m_db.getFOConflictCopies("/job", copies));
    EXPECT_EQ(copies.size(), 1u);
    ASSERT_TRUE(m_db.getFORecord("/job/a.txt"));
    EXPECT_EQ(m_db.getFORecord("/job/a.txt")->size, 5);
}

TEST_F(OfflineDBEntries, ThreadsShareTheDatabase) {
    const int kThreads = 4, kEach = 25;
    std::vector<std::thread> threads;
    std::atomic<int> failures(0);
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                FOOfflineEntry e = entry("/job/t" + std::to_string(t) + "-" + std::to_string(i));
                auto note = boost::make_shared<Nuvaro::Sync::FSActivity>(
                    Nuvaro::Sync::FSActivity::LevelNormal, Nuvaro::Sync::FSActivity::TypeUpload, e.name, e.fullPath,
                    "Cloud Sync");
                std::vector<EntryPtr> children;
                if (!m_db.FOAddRecord(&e) || !m_db.activityAdd(note) || !m_db.getFOChildren("/job", children))
                    ++failures;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(count("OBJECT"), kThreads * kEach);
    EXPECT_EQ(count("ACTIVITY"), kThreads * kEach);
}

} // namespace
