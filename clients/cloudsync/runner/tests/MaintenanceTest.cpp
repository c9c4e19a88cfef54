// The runner's maintenance services: moving the sync folder, forgetting
// synchronised folders, the duplicate-record repair, the profile picture
// from the test server, and the advanced options.

#include "RunnerFixture.h"

#include "DataSyncStore.h"
#include "Image.h"
#include "VariantRow.h"

#include <Magick++.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <sstream>
#include <sys/stat.h>

namespace RunnerTest {
namespace {

using Nuvaro::Sync::FOOfflineJobData;
using Nuvaro::Sync::FSActivity;
using Nuvaro::Sync::FSSyncRecord;

const time_t kT1 = 1494928800;  // 2017-05-16 10:00:00 UTC
const time_t kT2 = 1400000000;

class MaintenanceTest : public RunnerTest {
protected:
    std::string put(const std::string& relative, const std::string& content, time_t modified = kT1) {
        return m_tmp.write(relative, content, modified);
    }
    bool exists(const std::string& relative) {
        struct stat info;
        return ::lstat((m_tmp / relative).c_str(), &info) == 0;
    }
    time_t modified(const std::string& relative) {
        struct stat info = {};
        ::stat((m_tmp / relative).c_str(), &info);
        return info.st_mtime;
    }
    std::string read(const std::string& relative) { return CloudSyncTest::TempFolder::read(m_tmp / relative); }

    // Every path below a folder of the temp folder ("" the temp folder
    // itself), sorted; the data folder's are left out.
    std::vector<std::string> tree(const std::string& relative) {
        std::vector<std::string> paths;
        std::function<void(const std::string&)> walk = [&](const std::string& folder) {
            std::vector<std::string> names;
            if (folder == "/data" || !Poco::File(m_tmp / folder).exists())
                return;
            Poco::File(m_tmp / folder).list(names);
            for (const std::string& name : names) {
                paths.push_back(folder + "/" + name);
                struct stat info;
                if (::lstat((m_tmp / (folder + "/" + name)).c_str(), &info) == 0 && S_ISDIR(info.st_mode))
                    walk(folder + "/" + name);
            }
        };
        walk(relative);
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    std::map<std::string, std::string> jobFolders() {
        std::vector<boost::shared_ptr<FOOfflineJobData>> jobs;
        m_runner->getOfflineDatabase()->getAllFOJobRecord(jobs);
        std::map<std::string, std::string> folders;
        for (const auto& job : jobs)
            folders[job->remotePath] = job->localLinkPath;
        return folders;
    }
    void addJob(const std::string& remote, const std::string& local, int type) {
        FOOfflineJobData job(remote, local, type, true, "1h", "2017-05-16 10:00:00", true, false);
        ASSERT_TRUE(m_runner->getOfflineDatabase()->FOAddJobRecord(&job));
    }

    std::string configField(const std::string& name) {
        Nuvaro::Data::VariantRow row;
        if (!row.read(configFile()))
            return "<unreadable>";
        return row.hasField(name) ? row.getField(name).getString() : "<absent>";
    }

    // The workers startup made are there again.
    void expectWorkersStarted() {
        EXPECT_TRUE(m_runner->currentWorker());
        EXPECT_TRUE(m_runner->rmcWorker != nullptr);
    }

    std::vector<std::string> syncFolders() {
        std::vector<std::string> folders;
        m_runner->getSyncDatabase()->getSyncFolders(folders);
        std::sort(folders.begin(), folders.end());
        return folders;
    }
};

// ---- Moving the sync folder ----

class ChangeSyncFolderTest : public MaintenanceTest {
protected:
    void SetUp() override {
        MaintenanceTest::SetUp();
        TestRunner& runner = makeRunner(noPolling());
        runner.startup();
        put("sync/My Files/a.txt", "alpha", kT1);
        put("sync/My Files/docs/b.txt", "bravo", kT2);
        put("sync/desktop.ini", "ini");
        addJob("/EXTERNAL/projects", syncRoot() + "/Projects", FOOfflineJobData::TYPE_NETWORK_FOLDER);
        addJob("/EXTERNAL/outside", m_tmp / "netjob", FOOfflineJobData::TYPE_NETWORK_FOLDER);
        addJob("/EXTERNAL/lookalike", m_tmp / "syncOld/x", FOOfflineJobData::TYPE_NETWORK_FOLDER);
        addJob("/user1/backup", syncRoot() + "/Backups", FOOfflineJobData::TYPE_BACKUP);
        Nuvaro::Data::VariantRow row;
        ASSERT_TRUE(row.read(configFile()));
        row["maxthreads"] = 8;
        ASSERT_TRUE(row.write(configFile()));
    }
};

TEST_F(ChangeSyncFolderTest, MoveCopiesIntoTheNewFolderKeepingTimesAndMovesConfigurationAndJobs) {
    put("moved/Sync/My Files/a.txt", "already there", kT2);
    const std::string target = m_tmp / "moved/Sync";

    ASSERT_TRUE(m_runner->changeSyncFolder(target));

    EXPECT_EQ(m_runner->getSyncFolder(), target);
    expectWorkersStarted();
    EXPECT_EQ(read("moved/Sync/My Files/docs/b.txt"), "bravo");
    EXPECT_EQ(modified("moved/Sync/My Files/docs/b.txt"), kT2);
    EXPECT_EQ(read("moved/Sync/My Files/a.txt"), "already there");  // never overwritten
    EXPECT_FALSE(exists("moved/Sync/desktop.ini"));
    EXPECT_FALSE(exists("moved/sync"));  // nothing beside the new folder
    EXPECT_EQ(read("sync/My Files/a.txt"), "alpha");  // the old folder stays
    EXPECT_EQ(configField("syncfolderlocation"), target);
    EXPECT_EQ(configField("maxthreads"), "8");
    const std::map<std::string, std::string> expected{{"/EXTERNAL/projects", target + "/Projects"},
                                                      {"/EXTERNAL/outside", m_tmp / "netjob"},
                                                      {"/EXTERNAL/lookalike", m_tmp / "syncOld/x"},
                                                      {"/user1/backup", syncRoot() + "/Backups"}};
    EXPECT_EQ(jobFolders(), expected);
    // The moved job keeps everything but its folder.
    auto moved = m_runner->getOfflineDatabase()->getFOJobRecord(target + "/Projects");
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->lastRun, "2017-05-16 10:00:00");
    EXPECT_TRUE(moved->remoteDelete);
    EXPECT_EQ(moved->schedule, "1h");
}

struct RefusedMove {
    const char* what;
    // The new folder, made from the temp folder's path; prepare readies the
    // temp folder for it.
    std::function<std::string(const CloudSyncTest::TempFolder&)> target;
    std::function<void(const CloudSyncTest::TempFolder&)> prepare;
};

class RefusedMoves : public ChangeSyncFolderTest, public ::testing::WithParamInterface<RefusedMove> {};

TEST_P(RefusedMoves, LeaveFolderConfigurationAndJobsAsTheyWere) {
    if (GetParam().prepare)
        GetParam().prepare(m_tmp);
    const std::vector<std::string> before = tree("");
    const std::map<std::string, std::string> jobs = jobFolders();
    const std::string config = read("syncclientconfig.xml");
    CloudSyncTest::LogCapture& log = freshLog();

    EXPECT_FALSE(m_runner->changeSyncFolder(GetParam().target(m_tmp)));

    EXPECT_EQ(m_runner->getSyncFolder(), syncRoot());
    expectWorkersStarted();
    EXPECT_EQ(tree(""), before);  // nothing created, nothing copied
    EXPECT_EQ(jobFolders(), jobs);
    EXPECT_EQ(read("syncclientconfig.xml"), config);
    EXPECT_TRUE(log.contains("changeSyncFolder: ")) << log.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Runner, RefusedMoves,
    ::testing::Values(
        RefusedMove{"IntoASubfolderOfTheOldFolder", [](const CloudSyncTest::TempFolder& t) { return t / "sync/Sub"; },
                    nullptr},
        RefusedMove{"ToAFolderHoldingTheOldFolder", [](const CloudSyncTest::TempFolder& t) { return t.path(); },
                    nullptr},
        RefusedMove{"ToTheSameFolder", [](const CloudSyncTest::TempFolder& t) { return t / "sync/"; }, nullptr},
        RefusedMove{"IntoTheOldFolderThroughALink",
                    [](const CloudSyncTest::TempFolder& t) { return t / "alias/New"; },
                    [](const CloudSyncTest::TempFolder& t) {
                        ASSERT_EQ(::symlink((t / "sync").c_str(), (t / "alias").c_str()), 0);
                    }},
        RefusedMove{"TargetThatCannotBeMadeAFolder",
                    [](const CloudSyncTest::TempFolder& t) { return t / "afile/Sync"; },
                    [](const CloudSyncTest::TempFolder& t) { t.write("afile", "a file"); }},
        RefusedMove{"RelativeTarget", [](const CloudSyncTest::TempFolder&) { return std::string("Sync"); }, nullptr},
        RefusedMove{"OldFolderMissing", [](const CloudSyncTest::TempFolder& t) { return t / "moved/Sync"; },
                    [](const CloudSyncTest::TempFolder& t) { Poco::File(t / "sync").remove(true); }}),
    [](const ::testing::TestParamInfo<RefusedMove>& c) { return std::string(c.param.what); });

TEST_F(ChangeSyncFolderTest, ConfigurationThatCannotBeReadIsNeverReplaced) {
    const std::string broken = "<config><syncfolderlocation>/mine</syncfolderlocation><oops";
    m_tmp.write("syncclientconfig.xml", broken);
    CloudSyncTest::LogCapture& log = freshLog();
    EXPECT_FALSE(m_runner->changeSyncFolder(m_tmp / "moved/Sync"));
    EXPECT_EQ(read("syncclientconfig.xml"), broken);
    EXPECT_EQ(m_runner->getSyncFolder(), syncRoot());
    EXPECT_EQ(jobFolders().at("/EXTERNAL/projects"), syncRoot() + "/Projects");
    EXPECT_TRUE(log.contains("changeSyncFolder: Unable to read syncclientconfig.xml")) << log.dump();
    expectWorkersStarted();
}

// ---- Forgetting synchronised folders ----

class ForgetFoldersTest : public MaintenanceTest {
protected:
    void SetUp() override {
        MaintenanceTest::SetUp();
        TestRunner& runner = makeRunner(noPolling());
        runner.startup();
        put("sync/My Files/a.txt", "alpha");
        addSyncRecord("My Files/a.txt", "/user1/a.txt", 1, 5, kT1);
        runner.getSyncDatabase()->setStatusSet("/user1", "server:3");
        addSyncRecord("Shared with Me/ann/d.txt", "/SHARED/ann/d.txt", 1, 3, kT1, false, "/SHARED/ann");
        runner.getSyncDatabase()->setStatusSet("/SHARED/ann", "server:4");
        boost::shared_ptr<FSActivity> entry(new FSActivity(FSActivity::LevelNormal, FSActivity::TypeDownload, "got it",
                                                           syncRoot() + "/My Files/a.txt", "Owner"));
        runner.getSyncDatabase()->activityAdd(entry);
    }

    std::vector<boost::shared_ptr<FSSyncRecord>> records(const std::string& folder) {
        std::vector<boost::shared_ptr<FSSyncRecord>> found;
        m_runner->getSyncDatabase()->getFolderRecords(folder, found);
        return found;
    }
    std::size_t activities() {
        std::vector<boost::shared_ptr<FSActivity>> entries;
        m_runner->getSyncDatabase()->activityCollectionGet(entries, -3);
        return entries.size();
    }
};

TEST_F(ForgetFoldersTest, RemoveLimitFolderForgetsThatFolderOnly) {
    ASSERT_EQ(syncFolders(), (std::vector<std::string>{"/SHARED/ann", "/user1"}));
    EXPECT_TRUE(m_runner->removeLimitFolder("/SHARED/ann"));
    EXPECT_EQ(syncFolders(), std::vector<std::string>{"/user1"});
    EXPECT_TRUE(records("/SHARED/ann").empty());
    EXPECT_EQ(records("/user1").size(), 1u);
    EXPECT_EQ(activities(), 1u);
    EXPECT_TRUE(exists("sync/My Files/a.txt"));
    expectWorkersStarted();
}

TEST_F(ForgetFoldersTest, RemoveAllSyncedDataForgetsEveryFolderAndTheActivity) {
    EXPECT_TRUE(m_runner->removeAllSyncedData());
    EXPECT_TRUE(syncFolders().empty());
    EXPECT_TRUE(records("").empty());
    EXPECT_EQ(activities(), 0u);
    EXPECT_TRUE(exists("sync/My Files/a.txt"));
    EXPECT_NE(stored("hostname"), "<absent>");  // the configuration stays
    expectWorkersStarted();
}

TEST_F(ForgetFoldersTest, DatabaseErrorsGiveFalseAndTheWorkersStillStart) {
    m_runner->getSyncDatabase()->closeDB();
    EXPECT_FALSE(m_runner->removeLimitFolder("/SHARED/ann"));
    EXPECT_FALSE(m_runner->removeAllSyncedData());
    expectWorkersStarted();
}

// ---- Duplicate records ----

class RepairTest : public MaintenanceTest {
protected:
    void SetUp() override {
        MaintenanceTest::SetUp();
        makeRunner(noPolling());
        m_runner->getSyncDatabase()->setStatusSet("/user1", "server:1");
    }
    std::string repair() {
        std::ostringstream out;
        m_runner->repairDB(out);
        return out.str();
    }
    int deletedFlag(const boost::shared_ptr<FSSyncRecord>& record) {
        std::vector<boost::shared_ptr<FSSyncRecord>> found;
        m_runner->getSyncDatabase()->getFolderRecords(record->getSyncFolderPath(), found);
        for (const auto& each : found)
            if (each->getId() == record->getId())
                return each->getIsDeleted();
        return -1;
    }
};

TEST_F(RepairTest, DuplicatesAreReportedAndAPairWithOneDeletedRowIsFixed) {
    auto live = addSyncRecord("My Files/a.txt", "/user1/a.txt", 1, 5, kT1);
    auto gone = addSyncRecord("My Files/a.txt", "/user1/a.txt", 1, 5, kT1, true);
    auto twin1 = addSyncRecord("My Files/b.txt", "/user1/b.txt", 1, 5, kT1);
    auto twin2 = addSyncRecord("My Files/b.txt", "/user1/b.txt", 1, 5, kT1);
    auto old1 = addSyncRecord("My Files/c.txt", "/user1/c.txt", 1, 5, kT1, true);
    auto old2 = addSyncRecord("My Files/c.txt", "/user1/c.txt", 1, 5, kT1, true);
    auto single = addSyncRecord("My Files/d.txt", "/user1/d.txt", 1, 5, kT1);
    for (const char* local : {"s1", "s2"}) {
        auto skipped = addSyncRecord(local, "SKIP", 1, 5, kT1);
        skipped->setFlags("SKIP");
        m_runner->getSyncDatabase()->FSSyncRecordUpdate(skipped.get());
    }

    EXPECT_EQ(repair(), "Found Dups: /user1/a.txt deleted: 1 original: 0\n"
                        "Found Dups: /user1/b.txt deleted: 0 original: 0\n"
                        "Found Dups: /user1/c.txt deleted: 1 original: 1\n"
                        "Fixing : /user1/a.txt Is Deleted: 0\n");
    EXPECT_EQ(deletedFlag(live), 1);
    EXPECT_EQ(deletedFlag(gone), 1);
    EXPECT_EQ(deletedFlag(twin1), 0);
    EXPECT_EQ(deletedFlag(twin2), 0);
    EXPECT_EQ(deletedFlag(single), 0);
    // Fixed: a second run finds the pair of deleted rows and fixes nothing.
    EXPECT_EQ(repair().find("Fixing"), std::string::npos);
}

TEST_F(RepairTest, ProgressEveryTenThousandRecordsAndDuplicatesPerFolder) {
    Nuvaro::DataSync::DataSyncStore store;
    for (int i = 0; i < 10000; ++i) {
        const std::string name = "f" + std::to_string(i) + ".txt";
        boost::shared_ptr<FSSyncRecord> record(new FSSyncRecord(
            Poco::UUIDGenerator::defaultGenerator().createRandom(), 1, name, "/user1", "/user1/" + name, 1, 0, "", "",
            "Owner", "/user1", "My Files", "My Files/" + name));
        store.putChangedRecord(record);
    }
    int written = 0;
    ASSERT_TRUE(m_runner->getSyncDatabase()->saveDataStore("/user1", store, written));
    // The same server path in another sync folder is not a duplicate.
    m_runner->getSyncDatabase()->setStatusSet("/SHARED/x", "server:1");
    addSyncRecord("Shared with Me/x/f1.txt", "/user1/f1.txt", 1, 1, kT1, false, "/SHARED/x");
    EXPECT_EQ(repair(), "Processed : 10000 records\n");
}

// ---- The profile picture ----

// The width and height a PNG's header announces, read from its bytes.
std::pair<std::uint32_t, std::uint32_t> pngSize(const std::string& png) {
    auto number = [&png](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i)
            value = value << 8 | static_cast<unsigned char>(png.at(at + i));
        return value;
    };
    if (png.size() < 24 || png.compare(0, 8, std::string("\x89PNG\r\n\x1a\n", 8)) != 0 ||
        png.compare(12, 4, "IHDR") != 0)
        return {0, 0};
    return {number(16), number(20)};
}

// A 120 by 90 colour gradient in `format` ("PNG", "JPEG").
std::string picture(const std::string& format) {
    Nuvaro::Data::Image::setUpLibrary();
    const unsigned width = 120, height = 90;
    std::vector<unsigned char> pixels;
    for (unsigned y = 0; y < height; ++y)
        for (unsigned x = 0; x < width; ++x)
            pixels.insert(pixels.end(), {static_cast<unsigned char>(x * 2), static_cast<unsigned char>(y * 2), 128});
    Magick::Image image;
    image.read(width, height, "RGB", Magick::CharPixel, pixels.data());
    image.magick(format);
    Magick::Blob blob;
    image.write(&blob);
    return std::string(static_cast<const char*>(blob.data()), blob.length());
}

class ProfilePictureTest : public MaintenanceTest {
protected:
    void SetUp() override {
        MaintenanceTest::SetUp();
        TestRunner& runner = makeRunner(noPolling());
        storeAccount(runner);
        runner.shutdown(true);
        m_loginPicture = picture("PNG");
        server.setLoginImage(m_loginPicture);
    }
    std::string dataFile(const std::string& name) { return CloudSyncTest::TempFolder::read(dataRoot() + "/" + name); }
    bool dataFileExists(const std::string& name) { return Poco::File(dataRoot() + "/" + name).exists(); }
    // No downloaded picture is left in the data folder.
    bool noDownloadLeft() {
        std::vector<std::string> names;
        Poco::File(dataRoot()).list(names);
        return std::none_of(names.begin(), names.end(),
                            [](const std::string& name) { return name.compare(0, 13, ".profile.png.") == 0; });
    }

    std::string m_loginPicture;
};

struct PictureCase {
    const char* what;
    std::string format;
};

class ServerPictures : public ProfilePictureTest, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(ServerPictures, BecomeA64By64Png) {
    server.setProfileImage(kUser, picture(GetParam().format));
    m_runner->downloadLoginImage();
    EXPECT_EQ(pngSize(dataFile("profile.png")), std::make_pair(64u, 64u));
    EXPECT_EQ(dataFile("login.png"), m_loginPicture);
    EXPECT_TRUE(noDownloadLeft());
}

INSTANTIATE_TEST_SUITE_P(Runner, ServerPictures,
                         ::testing::Values(PictureCase{"Png", "PNG"}, PictureCase{"Jpeg", "JPEG"}),
                         [](const ::testing::TestParamInfo<PictureCase>& c) { return std::string(c.param.what); });

TEST_F(ProfilePictureTest, CorruptPictureLeavesAnErrorLineAndThePreviousPicture) {
    const std::string previous = m_tmp.write("data/profile.png", "the previous picture");
    std::string cut = picture("PNG");
    cut.resize(cut.size() / 2);
    for (const std::string& corrupt : {std::string("not a picture at all"), cut}) {
        server.setProfileImage(kUser, corrupt);
        CloudSyncTest::LogCapture& log = freshLog();
        m_runner->downloadLoginImage();
        EXPECT_TRUE(log.contains("downloadLoginImage: Failed to resize image  " + previous)) << log.dump();
        EXPECT_EQ(dataFile("profile.png"), "the previous picture");
        EXPECT_TRUE(noDownloadLeft());
        EXPECT_FALSE(dataFileExists("login.png"));
    }
}

TEST_F(ProfilePictureTest, FailedDownloadLeavesAnErrorLine) {
    server.addFault(TestFault::withStatus("/core/getprofileimage", 500, "broken"));
    CloudSyncTest::LogCapture& log = freshLog();
    m_runner->downloadLoginImage();
    EXPECT_TRUE(log.contains("downloadLoginImage: Unable to download to file  " + dataRoot() + "/profile.png"))
        << log.dump();
    EXPECT_FALSE(dataFileExists("profile.png"));
}

TEST_F(ProfilePictureTest, WithoutAStoredAccountNothingIsAsked) {
    m_runner->resetConfigData();
    server.clearRequests();
    m_runner->downloadLoginImage();
    EXPECT_TRUE(server.requests("/core/loginguest").empty());
    EXPECT_TRUE(server.requests("/core/getprofileimage").empty());
}

// ---- Advanced options ----

TEST_F(MaintenanceTest, AdvancedDataDefaultsAndRoundTrip) {
    TestRunner& runner = makeRunner(noPolling());
    std::string host = "x", port = "x", user = "x", password = "x";
    int frequency = 0;
    bool quiet = true, white = false;
    runner.getAdvancedData(host, port, user, password, frequency, quiet, white);
    EXPECT_EQ(host + port + user + password, "");
    EXPECT_EQ(frequency, 120);
    EXPECT_TRUE(quiet);  // absent: as passed
    EXPECT_FALSE(white);
    EXPECT_TRUE(runner.showNotifications());

    runner.setAdvancedData("proxy.local", "3128", "ann", "s3cret", 45, true, true);
    EXPECT_FALSE(runner.showNotifications());
    bool quietBack = false, whiteBack = false;
    runner.getAdvancedData(host, port, user, password, frequency, quietBack, whiteBack);
    EXPECT_EQ(host, "proxy.local");
    EXPECT_EQ(port, "3128");
    EXPECT_EQ(user, "ann");
    EXPECT_EQ(password, "s3cret");
    EXPECT_EQ(frequency, 45);
    EXPECT_TRUE(quietBack);
    EXPECT_TRUE(whiteBack);
    EXPECT_EQ(configField("syncfolderlocation"), "DEFAULT");  // the rest of the file stays

    runner.setAdvancedData("", "", "", "", 120, false, false);
    EXPECT_TRUE(runner.showNotifications());
}

TEST_F(MaintenanceTest, AdvancedDataLeavesAConfigurationThatCannotBeReadAlone) {
    TestRunner& runner = makeRunner(noPolling());
    const std::string broken = "<config><httpproxyhost>h</httpproxyhost><oops";
    m_tmp.write("syncclientconfig.xml", broken);
    CloudSyncTest::LogCapture& log = freshLog();
    runner.setAdvancedData("proxy.local", "3128", "", "", 60, false, false);
    EXPECT_EQ(read("syncclientconfig.xml"), broken);
    EXPECT_TRUE(log.contains("setAdvancedData: Unable to read syncclientconfig.xml")) << log.dump();
    std::string host, port, user, password;
    int frequency = 0;
    bool quiet = false, white = false;
    runner.getAdvancedData(host, port, user, password, frequency, quiet, white);
    EXPECT_EQ(frequency, 120);
}

} // namespace
} // namespace RunnerTest
