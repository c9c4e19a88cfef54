// End to end: two devices of one user and a colleague on the server keep
// one account in step. Every case changes one or more sides, lets the
// devices sync, and checks that all three sides hold the same files and
// that nothing was lost.

#include "TwoDevicesFixture.h"

#include "CaseName.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace EngineTest {
namespace {

const std::string kBigFile(21 * 1024 * 1024 + 17, 'B');

// A server time of whole seconds, `seconds` after 2024-03-01 10:00:00 UTC.
Poco::Timestamp serverTime(long seconds) {
    return Poco::Timestamp::fromEpochTime(1709287200 + seconds);
}

// ---- First sync ----

TEST_F(TwoDevicesTest, FirstSyncOfATreeReachesTheOtherDeviceWhole) {
    laptop().write("docs/notes.txt", "notes");
    laptop().write("docs/deep/er/still/file.md", "# deep");
    laptop().write("empty.txt", "");
    laptop().write("with blank.txt", "blank in the name");
    laptop().write("Ünïcödé/ça va.txt", "non-ASCII letters");
    laptop().write("big.bin", kBigFile);
    laptop().makeFolder("empty folder");

    syncAll();
    expectConverged();
    EXPECT_EQ(phone().read("Ünïcödé/ça va.txt"), "non-ASCII letters");
    EXPECT_EQ(phone().read("big.bin"), kBigFile);
    EXPECT_EQ(phone().tree().count("empty folder"), 1u);
    // The big file went in pieces, the others in one request each.
    std::size_t pieces = 0;
    for (const auto& sent : server.requests("/upload"))
        pieces += sent.query.find("offset=") != std::string::npos ? 1 : 0;
    EXPECT_EQ(pieces, 3u);
}

TEST_F(TwoDevicesTest, DeviceWithFilesOfItsOwnJoinsAnAccountThatHasFiles) {
    server.putFile(kUser, "/user1/from server/a.txt", "server");
    phone().write("from phone/b.txt", "phone");
    syncAll();
    expectConverged();
    EXPECT_EQ(serverTree().size(), 4u);
}

// ---- Files of any date ----

// The modification time of a local file, in whole seconds since 1970
// (rounded down, also before 1970).
time_t modifiedSecond(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mtim.tv_sec;
}

// Regression: a file dated before 1970 was refused at every pass ("Failed:
// Opening File for upload"): the upload took its negative time for the mark
// of a file it could not read. Files dated 1960 and 1970-01-01 00:00:00 go up
// once with their dates and reach the other device with them; a colleague's
// file dated 1960 is placed with its date; nothing is sent again.
TEST_F(TwoDevicesTest, FilesDatedBefore1970OrAtTheEpochGoUpOnceAndKeepTheirDates) {
    struct Dated {
        const char* name;
        time_t seconds; // since 1970
        long nanos;
    };
    const Dated dated[] = {{"1960.txt", -301065570, 250000000}, {"epoch.txt", 0, 0}};
    for (const Dated& d : dated) {
        laptop().write(d.name, d.name);
        const struct timespec times[2] = {{d.seconds, d.nanos}, {d.seconds, d.nanos}};
        ASSERT_EQ(::utimensat(AT_FDCWD, laptop().path(d.name).c_str(), times, 0), 0);
    }
    const time_t colleague1960 = -315619200; // 1960-01-01 00:00:00
    server.putFile(kUser, "/user1/colleague.txt", "theirs", Poco::Timestamp::fromEpochTime(colleague1960));

    syncAll();
    expectConverged();
    EXPECT_EQ(server.requests("/upload").size(), 2u) << "each file once";
    for (const Dated& d : dated) {
        SCOPED_TRACE(d.name);
        EXPECT_EQ(server.item(kUser, std::string("/user1/") + d.name)->modified,
                  Poco::Timestamp::fromEpochTime(d.seconds));
        EXPECT_EQ(modifiedSecond(phone().path(d.name)), d.seconds);
        EXPECT_EQ(modifiedSecond(laptop().path(d.name)), d.seconds);
    }
    EXPECT_EQ(modifiedSecond(laptop().path("colleague.txt")), colleague1960);
    EXPECT_EQ(modifiedSecond(phone().path("colleague.txt")), colleague1960);

    // Both devices settled: further passes find and send nothing.
    EXPECT_FALSE(laptop().syncOnce());
    EXPECT_FALSE(phone().syncOnce());
    EXPECT_EQ(server.requests("/upload").size(), 2u);
}

// ---- One change on one side ----

enum class Side { Laptop, Phone, Colleague };

struct FileChange {
    std::string what;
    // Makes the change on the side; the next two functions check it on a
    // device that received it.
    std::function<void(TwoDevicesTest&, Side)> make;
    std::function<void(SyncDevice&)> check;
};

class FileChanges : public TwoDevicesTest,
                    public ::testing::WithParamInterface<std::tuple<FileChange, Side>> {
public:
    // The device of the side, or the laptop for the colleague (whose
    // changes are checked on both).
    SyncDevice& deviceOf(Side side) { return side == Side::Phone ? phone() : laptop(); }
    void put(Side side, const std::string& rel, const std::string& content, long seconds) {
        if (side == Side::Colleague)
            server.putFile(kUser, "/user1/" + rel, content, serverTime(seconds));
        else
            deviceOf(side).write(rel, content, seconds);
    }
    void remove(Side side, const std::string& rel) {
        if (side == Side::Colleague)
            server.removeItem(kUser, "/user1/" + rel);
        else
            deviceOf(side).remove(rel);
    }
};

TEST_P(FileChanges, ReachTheOtherSides) {
    const FileChange& c = std::get<0>(GetParam());
    const Side side = std::get<1>(GetParam());
    server.putFile(kUser, "/user1/a.txt", "alpha", serverTime(0));
    server.putFile(kUser, "/user1/b.txt", "bravo", serverTime(0));
    syncAll();
    ASSERT_EQ(phone().read("a.txt"), "alpha");

    c.make(*this, side);
    syncAll();
    expectConverged();
    c.check(laptop());
    c.check(phone());
}

FileChanges& changesOf(TwoDevicesTest& test) {
    return static_cast<FileChanges&>(test);
}

const FileChange fileChanges[] = {
    {"new file", [](TwoDevicesTest& t, Side s) { changesOf(t).put(s, "new.txt", "fresh", 10); },
     [](SyncDevice& d) { EXPECT_EQ(d.read("new.txt"), "fresh"); }},
    {"changed file", [](TwoDevicesTest& t, Side s) { changesOf(t).put(s, "a.txt", "alpha, longer now", 20); },
     [](SyncDevice& d) { EXPECT_EQ(d.read("a.txt"), "alpha, longer now"); }},
    // The same size: only the modification time tells.
    {"changed to the same size", [](TwoDevicesTest& t, Side s) { changesOf(t).put(s, "a.txt", "ALPHA", 30); },
     [](SyncDevice& d) { EXPECT_EQ(d.read("a.txt"), "ALPHA"); }},
    {"deleted file", [](TwoDevicesTest& t, Side s) { changesOf(t).remove(s, "b.txt"); },
     [](SyncDevice& d) {
         EXPECT_FALSE(d.exists("b.txt"));
         EXPECT_EQ(d.read("a.txt"), "alpha");
     }},
};

struct FileChangeName {
    std::string operator()(const ::testing::TestParamInfo<FileChanges::ParamType>& info) const {
        static const char* const sides[] = {"OnTheLaptop", "OnThePhone", "ByTheColleague"};
        return caseName(std::get<0>(info.param).what) + sides[static_cast<int>(std::get<1>(info.param))];
    }
};

INSTANTIATE_TEST_SUITE_P(Kinds, FileChanges,
                         ::testing::Combine(::testing::ValuesIn(fileChanges),
                                            ::testing::Values(Side::Laptop, Side::Phone, Side::Colleague)),
                         FileChangeName());

// ---- Folders ----

struct FolderChange {
    std::string what;
    std::function<void(TwoDevicesTest&)> make;
    std::vector<std::string> present;
    std::vector<std::string> absent;
};

class FolderChanges : public TwoDevicesTest, public ::testing::WithParamInterface<FolderChange> {};

TEST_P(FolderChanges, ReachEverySide) {
    const FolderChange& c = GetParam();
    server.putFile(kUser, "/user1/projects/plan.txt", "plan", serverTime(0));
    server.putFile(kUser, "/user1/projects/2023/old.txt", "old", serverTime(0));
    syncAll();
    ASSERT_TRUE(phone().exists("projects/2023/old.txt"));

    c.make(*this);
    syncAll();
    expectConverged();
    for (const std::string& rel : c.present)
        EXPECT_TRUE(phone().exists(rel) && laptop().exists(rel)) << rel;
    for (const std::string& rel : c.absent)
        EXPECT_FALSE(phone().exists(rel) || laptop().exists(rel)) << rel;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FolderChanges,
    ::testing::Values(
        FolderChange{"created on a device",
                     [](TwoDevicesTest& t) {
                         t.laptop().makeFolder("projects/2024/q1");
                         t.laptop().write("projects/2024/q2/goals.txt", "goals");
                     },
                     {"projects/2024/q1", "projects/2024/q2/goals.txt"},
                     {}},
        FolderChange{"renamed on a device",
                     [](TwoDevicesTest& t) { t.phone().rename("projects", "archive"); },
                     {"archive/plan.txt", "archive/2023/old.txt"},
                     {"projects"}},
        FolderChange{"deleted on a device", [](TwoDevicesTest& t) { t.laptop().remove("projects/2023"); },
                     {"projects/plan.txt"},
                     {"projects/2023"}},
        FolderChange{"created by the colleague",
                     [](TwoDevicesTest& t) { t.server.makeFolder(TwoDevicesTest::kUser, "/user1/projects/shared"); },
                     {"projects/shared"},
                     {}},
        FolderChange{"renamed by the colleague",
                     [](TwoDevicesTest& t) {
                         t.server.moveItem(TwoDevicesTest::kUser, "/user1/projects", "/user1/archive");
                     },
                     {"archive/plan.txt", "archive/2023/old.txt"},
                     {"projects"}},
        FolderChange{"deleted by the colleague",
                     [](TwoDevicesTest& t) { t.server.removeItem(TwoDevicesTest::kUser, "/user1/projects"); },
                     {},
                     {"projects"}}),
    NameByWhat());

// ---- Both sides change ----

TEST_F(TwoDevicesTest, BothDevicesEditingOneFileKeepBothVersions) {
    server.putFile(kUser, "/user1/shared.txt", "original", serverTime(0));
    syncAll();
    laptop().write("shared.txt", "laptop version", 100);
    phone().write("shared.txt", "phone's own version", 200);

    syncAll();
    // The laptop came first: its version is the server's; the phone keeps
    // its own and places the laptop's beside it as a conflict copy.
    EXPECT_EQ(server.fileContent(kUser, "/user1/shared.txt"), std::string("laptop version"));
    EXPECT_EQ(laptop().read("shared.txt"), "laptop version");
    EXPECT_EQ(phone().read("shared.txt"), "phone's own version");
    std::vector<std::string> copies;
    const std::string copyName = "shared(Conflict_laptop";
    for (const auto& item : phone().tree())
        if (item.first.compare(0, copyName.size(), copyName) == 0)
            copies.push_back(item.second);
    EXPECT_EQ(copies, std::vector<std::string>{"laptop version"});
    EXPECT_EQ(laptop().tree().size(), 1u);
}

// Regression: the upload half sent the change list of a scan made before
// the server half applied a colleague's update, so a file deleted here was
// deleted on the server right after the update had been placed, and the
// update was gone everywhere.
TEST_F(TwoDevicesTest, LocalDeleteDoesNotRemoveAServerUpdateThatCameInTheSamePass) {
    server.putFile(kUser, "/user1/report.txt", "draft", serverTime(0));
    syncAll();
    laptop().remove("report.txt");
    laptop().scan();
    server.putFile(kUser, "/user1/report.txt", "final version by the colleague", serverTime(50));

    laptop().worker().runSyncPass();
    EXPECT_EQ(server.fileContent(kUser, "/user1/report.txt"), std::string("final version by the colleague"));
    syncAll();
    expectConverged();
    EXPECT_EQ(laptop().read("report.txt"), "final version by the colleague");
}

// ---- Checksums on ----

// Regression: with "checkcrc" on, a file whose time alone changed (touched,
// restored from a backup, copied without its times) was sent again. Its
// record takes the new time, also across a restart, so later scans read
// nothing; a same-size edit whose time was set back still goes up.
TEST_F(TwoDevicesTest, WithChecksumsATouchedFileIsNotSentAgainAndAnEditWithItsTimeSetBackIs) {
    laptop().settings["checkcrc"] = "1";
    laptop().stop();
    ASSERT_TRUE(laptop().logIn());
    laptop().write("report.pdf", "quarterly numbers", 10);
    syncAll();
    expectConverged();
    ASSERT_NE(laptop().db()->getFSSyncRecord("/user1/report.pdf")->getFileCRC(), "");

    Poco::File(laptop().path("report.pdf")).setLastModified(serverTime(3600));
    server.clearRequests();
    syncAll();
    EXPECT_TRUE(server.requests("/upload").empty());
    EXPECT_EQ(laptop().db()->getFSSyncRecord("/user1/report.pdf")->getModified(), serverTime(3600).utcTime());

    // A restart: the new worker's first scan finds the record's time and
    // reads no checksum.
    laptop().stop();
    ASSERT_TRUE(laptop().logIn());
    laptop().worker().runSyncPass();
    PassWorker& restarted = laptop().worker();
    restarted.restartFolderCheckActivity();
    ASSERT_TRUE(restarted.folderCheck);
    restarted.folderCheck->activity().wait();
    EXPECT_EQ(restarted.folderCheck->checksumsRead(), 0);
    EXPECT_FALSE(restarted.folderCheck->changesDetected());
    restarted.harvestFolderCheck();

    laptop().write("report.pdf", "QUARTERLY NUMBERS", -3600);
    syncAll();
    expectConverged();
    EXPECT_EQ(phone().read("report.pdf"), "QUARTERLY NUMBERS");
    EXPECT_EQ(server.requests("/upload").size(), 1u);
}

// ---- Delete approval ----

TEST_F(TwoDevicesTest, MassDeletionStopsUntilTheUserApprovesIt) {
    laptop().settings["skipdeleteapproval"] = "0";
    ASSERT_TRUE(laptop().logIn());
    for (int i = 0; i < 10; ++i)
        server.putFile(kUser, "/user1/f" + std::to_string(i) + ".txt", "file", serverTime(0));
    syncAll();
    for (int i = 0; i < 5; ++i)
        laptop().remove("f" + std::to_string(i) + ".txt");

    // Held back at every pass (the devices never settle meanwhile).
    for (int round = 0; round < 3; ++round) {
        laptop().syncOnce();
        phone().syncOnce();
    }
    EXPECT_EQ(serverTree().size(), 10u);
    EXPECT_EQ(phone().tree().size(), 10u);
    EXPECT_FALSE(laptop().exists("f0.txt"));

    laptop().worker().changesApproved(5);
    syncAll();
    expectConverged();
    EXPECT_EQ(serverTree().size(), 5u);
}

// ---- A server that fails for a while ----

struct Outage {
    std::string what;
    std::function<void(VaultpineTestServer&)> start;
    std::function<void(VaultpineTestServer&)> end;
    // A request the outage must have met (the case tests what it says).
    std::string met;
};

class Outages : public TwoDevicesTest, public ::testing::WithParamInterface<Outage> {};

// Each device has a change of its own and the colleague one more, when the
// server starts failing; the devices keep passing through the outage, then
// the server comes back.
TEST_P(Outages, LoseNothingAndEndInStep) {
    const Outage& c = GetParam();
    server.putFile(kUser, "/user1/kept.txt", "kept", serverTime(0));
    syncAll();
    laptop().write("mine.txt", "from the laptop");
    phone().write("kept.txt", "edited on the phone", 60);
    server.putFile(kUser, "/user1/theirs.txt", "from the colleague", serverTime(70));
    server.clearRequests();

    c.start(server);
    for (int round = 0; round < 3; ++round) {
        laptop().syncOnce();
        phone().syncOnce();
    }
    EXPECT_FALSE(server.requests(c.met).empty()) << c.met;
    EXPECT_EQ(laptop().read("mine.txt"), "from the laptop");
    EXPECT_EQ(phone().read("kept.txt"), "edited on the phone");

    c.end(server);
    syncAll(8);
    expectConverged();
    EXPECT_EQ(phone().read("mine.txt"), "from the laptop");
    EXPECT_EQ(laptop().read("kept.txt"), "edited on the phone");
    EXPECT_EQ(laptop().read("theirs.txt"), "from the colleague");
}

// An outage made of one fault on each of the paths.
Outage faultOn(const std::string& what, const std::vector<std::string>& paths,
               const std::function<TestFault(const std::string&)>& fault) {
    return Outage{what,
                  [paths, fault](VaultpineTestServer& s) {
                      for (const std::string& path : paths)
                          s.addFault(fault(path));
                  },
                  [](VaultpineTestServer& s) { s.clearFaults(); }, paths.front()};
}

TestFault serverError(const std::string& path) {
    return TestFault::withStatus(path, 503);
}
TestFault cutShort(const std::string& path) {
    return TestFault::truncatedBody(path, 30);
}

const Outage outages[] = {
    faultOn("folder list errors", {"/app/sync/getsyncfolderlist"}, serverError),
    faultOn("delta errors", {"/app/sync/getsyncdelta"}, serverError),
    faultOn("deltas cut short", {"/app/sync/getsyncdelta"}, cutShort),
    faultOn("download errors", {"/core/downloadfile"}, serverError),
    faultOn("downloads cut short", {"/core/downloadfile", "/download/*"}, cutShort),
    faultOn("upload errors", {"/upload"}, serverError),
    faultOn("uploads cut short", {"/upload"}, [](const std::string& path) { return TestFault::dropAfter(path, 0); }),
    Outage{"refused login", [](VaultpineTestServer& s) { s.setAccountBlocked(TwoDevicesTest::kUser, true); },
           [](VaultpineTestServer& s) { s.setAccountBlocked(TwoDevicesTest::kUser, false); }, "/core/loginguest"},
    Outage{"sync not allowed", [](VaultpineTestServer& s) { s.setAllowSync(TwoDevicesTest::kUser, false); },
           [](VaultpineTestServer& s) { s.setAllowSync(TwoDevicesTest::kUser, true); },
           "/app/sync/getsyncfolderlist"},
};

INSTANTIATE_TEST_SUITE_P(Kinds, Outages, ::testing::ValuesIn(outages), NameByWhat());

} // namespace
} // namespace EngineTest
