// The sync-folder list, the limit paths and the external paths of the sync
// database.

#include "SyncDBFixture.h"

#include "LogCapture.h"

#include <map>
#include <utility>

using StoreTest::RecordPtr;

namespace {

typedef std::vector<std::pair<std::string, bool>> FolderList;

class SyncFolderListTest : public StoreTest::SyncDBTest {
protected:
    static Nuvaro::Record serverFolder(std::map<std::string, std::string> keys) {
        return Nuvaro::Record(new std::map<std::string, std::string>(std::move(keys)));
    }
};

TEST_F(SyncFolderListTest, ServerFoldersAreComparedWithTheStoredStatusSets) {
    const char* kAbsent = nullptr;
    struct Case {
        const char* name;
        const char* stored;  // stored status set, or kAbsent
        std::map<std::string, std::string> extra;
        bool listed;
        bool skip;
    } cases[] = {
        {"/new/skip", kAbsent, {{"skipdetect", "1"}}, true, true},
        {"/new/noskip", kAbsent, {{"skipdetect", "0"}}, true, false},
        {"/new/missing", kAbsent, {}, true, false},
        {"/new/other", kAbsent, {{"skipdetect", "yes"}}, true, false},
        {"/same", "s:5", {}, false, false},
        {"/differs", "s:4", {{"skipdetect", "1"}}, true, true},
        {"/SHARED/teamother/plans", "s:1", {{"teamfolder", "1"}, {"teamfolderaccount", "teamother"}}, false, false},
        {"/SHARED/team1/plans", "s:1", {{"teamfolder", "1"}, {"teamfolderaccount", "team1"}}, true, false},
        {"/SHARED/team1/same", "s:5", {{"teamfolder", "1"}, {"teamfolderaccount", "team1"}}, false, false},
        {"/SHARED/owner2/x", "s:1", {{"teamfolder", "0"}, {"teamfolderaccount", "whoever"}}, true, false},
        {"/it's", "s:1", {}, true, false},
    };
    Nuvaro::RecordList server;
    FolderList expected{{"already there", true}};
    for (const Case& c : cases) {
        if (c.stored != kAbsent) {
            ASSERT_TRUE(m_db.setStatusSet(c.name, c.stored));
        }
        std::map<std::string, std::string> keys = c.extra;
        keys["name"] = c.name;
        keys["statusset"] = "s:5";
        server.push_back(serverFolder(keys));
        if (c.listed)
            expected.emplace_back(c.name, c.skip);
    }
    // A stored folder the server no longer lists, with records.
    ASSERT_TRUE(m_db.setStatusSet("/gone", "s:1"));
    add({makeRecord("/gone", "g1.txt", 1, 7), makeRecord("/gone", "g2.txt", 1, 8), makeRecord("/same", "k.txt", 1, 1)});
    m_db.updateStats();
    ASSERT_EQ(m_db.getTotalFSFiles(), 3);

    CloudSyncTest::LogCapture capture({"Sync"});
    FolderList folders{{"already there", true}};
    ASSERT_TRUE(m_db.updateSyncFolderList(server, folders, "team1"));

    EXPECT_EQ(folders, expected);
    // The team folder of another account is neither listed nor forgotten.
    EXPECT_EQ(count("SYNCFOLDERS where NAME='/SHARED/teamother/plans'"), 1);
    EXPECT_EQ(count("SYNCFOLDERS where NAME='/gone'"), 0);
    EXPECT_EQ(count("OBJECT where SYNCFOLDER='/gone'"), 0);
    EXPECT_EQ(count("OBJECT where SYNCFOLDER='/same'"), 1);
    EXPECT_EQ(m_db.getTotalFSFiles(), 1);
    // No row is written for the folders that need a sync.
    EXPECT_EQ(count("SYNCFOLDERS where NAME like '/new/%'"), 0);
    EXPECT_TRUE(capture.contains("Check SyncStatus: /SHARED/teamother/plans :  is not matching team folder account "
                                 "configured, sync might need restart. Configured: team1 Server configured: teamother",
                                 "Sync"))
        << capture.dump();
    EXPECT_TRUE(capture.contains("Check SyncStatus: /same : s:5 with remote: s:5 is OK. SKIP DETECT 0 TEAM FOLDER: 0 "
                                 "TEAM FOLDER ACCT: ",
                                 "Sync"));
    EXPECT_TRUE(capture.contains("Check SyncStatus: /differs : s:5 with remote: s:4 is NOT UP TO DATE. SKIP DETECT: 1",
                                 "Sync"));
}

TEST_F(SyncFolderListTest, EmptyServerListForgetsEveryFolder) {
    ASSERT_TRUE(m_db.setStatusSet("/a", "s:1"));
    ASSERT_TRUE(m_db.setStatusSet("/b", "s:1"));
    add({makeRecord("/a", "x"), makeRecord("/b", "y")});
    FolderList folders;
    ASSERT_TRUE(m_db.updateSyncFolderList({}, folders, ""));
    EXPECT_TRUE(folders.empty());
    EXPECT_EQ(count("SYNCFOLDERS"), 0);
    EXPECT_EQ(count("OBJECT"), 0);
}

TEST_F(SyncFolderListTest, ForgettingIsAllOrNothing) {
    for (const char* name : {"/a", "/b", "/c"}) {
        ASSERT_TRUE(m_db.setStatusSet(name, "s:1"));
        add({makeRecord(name, "f.txt")});
    }
    // The records of "/b" cannot be removed: the forgetting of "/a" must not stay either.
    sql("CREATE TRIGGER fault BEFORE DELETE ON OBJECT WHEN OLD.SYNCFOLDER = '/b' "
        "BEGIN SELECT RAISE(ABORT, 'locked records'); END;");
    CloudSyncTest::LogCapture capture({"Sync"});
    FolderList folders;
    EXPECT_FALSE(m_db.updateSyncFolderList({serverFolder({{"name", "/c"}, {"statusset", "s:1"}})}, folders, ""));
    EXPECT_TRUE(capture.contains("locked records", "Sync"));
    EXPECT_EQ(count("SYNCFOLDERS"), 3);
    EXPECT_EQ(count("OBJECT"), 3);
}

TEST_F(SyncFolderListTest, GetSyncFoldersAppends) {
    ASSERT_TRUE(m_db.setStatusSet("/a", ""));
    std::vector<std::string> names{"kept"};
    ASSERT_TRUE(m_db.getSyncFolders(names));
    EXPECT_EQ(names, (std::vector<std::string>{"kept", "/a"}));
}

TEST_F(SyncFolderListTest, LimitPathsSkipDuplicatesAndComeBackInStoredOrder) {
    std::vector<std::string> first{"My Files/b", "My Files/a", "My Files/it's", "My Files/a"};
    m_db.addLimitPaths(first);
    std::vector<std::string> second{"My Files/it's", "My Files/0 first by name"};
    m_db.addLimitPaths(second);

    std::vector<std::string> paths{"kept"};
    m_db.getLimitPaths(paths);
    EXPECT_EQ(paths, (std::vector<std::string>{"kept", "My Files/b", "My Files/a", "My Files/it's",
                                               "My Files/0 first by name"}));

    m_db.clearAllLimitPaths();
    paths.clear();
    m_db.getLimitPaths(paths);
    EXPECT_TRUE(paths.empty());
}

TEST_F(SyncFolderListTest, ExternalPathsAreMadeEqualToTheList) {
    std::vector<std::string> start{"/EXTERNAL/p3", "/EXTERNAL/p2"};
    m_db.updateExternalPaths(start);
    std::vector<std::string> wanted{"/EXTERNAL/p1", "/EXTERNAL/p2", "/EXTERNAL/p1"};
    m_db.updateExternalPaths(wanted);

    std::vector<std::string> paths{"kept"};
    m_db.getExternalPaths(paths);
    EXPECT_EQ(paths, (std::vector<std::string>{"kept", "/EXTERNAL/p2", "/EXTERNAL/p1"}));
    EXPECT_TRUE(m_db.doesExternalPathExist("/EXTERNAL/p1"));
    EXPECT_FALSE(m_db.doesExternalPathExist("/EXTERNAL/p3"));

    std::vector<std::string> none;
    m_db.updateExternalPaths(none);
    EXPECT_EQ(count("EXTERNALPATHS"), 0);

    m_db.updateExternalPaths(start);
    m_db.clearAllExternalPaths();
    EXPECT_EQ(count("EXTERNALPATHS"), 0);
}

} // namespace
