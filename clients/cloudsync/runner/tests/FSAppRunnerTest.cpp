// The runner's construction: the configuration file and its options, the
// folders and databases it makes (private to the user), the identifiers,
// the realtime jobs handed to the sync engine, construction failures, and the
// log set-up.

#include "RunnerFixture.h"

#include "FSActivity.h"
#include "NuvaroException.h"
#include "PrivateFileChannel.h"
#include "VariantRow.h"

#include <Poco/AutoPtr.h>
#include <Poco/Channel.h>
#include <Poco/Logger.h>
#include <Poco/RegularExpression.h>

#include <fstream>
#include <sys/stat.h>

namespace RunnerTest {
namespace {

using Nuvaro::Sync::FOOfflineJobData;

int modeOf(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

std::string settingOf(const Nuvaro::RecordList& settings, const std::string& key) {
    auto found = settings[0]->find(key);
    return found == settings[0]->end() ? "<absent>" : found->second;
}

// ---- The configuration file ----

TEST_F(RunnerTest, MissingConfigFileIsCreatedAndEveryOptionTakesItsDefault) {
    TestRunner& runner = makeRunner();
    Nuvaro::Data::VariantRow written;
    ASSERT_TRUE(written.read(configFile()));
    EXPECT_EQ(written.getFieldNames(), std::vector<std::string>{"syncfolderlocation"});
    EXPECT_EQ(written.getField("syncfolderlocation").getString(), "DEFAULT");

    Nuvaro::RecordList settings = runner.getSettings();
    EXPECT_EQ(settingOf(settings, "maxthreads"), "5");
    EXPECT_EQ(settingOf(settings, "deleteapprovalpct"), "10");
    EXPECT_EQ(settingOf(settings, "skipnewfolders"), "1");
    EXPECT_EQ(settingOf(settings, "checkmodtime"), "0");
    EXPECT_EQ(settingOf(settings, "checkcrc"), "0");
    EXPECT_EQ(settingOf(settings, "checkcrcfordocs"), "0");
    EXPECT_EQ(settingOf(settings, "syncfrequency"), "<absent>");
}

TEST_F(RunnerTest, UnreadableConfigFileIsNeverReplacedAndConstructionFails) {
    const std::string broken = "<config><syncfolderlocation>/my/own/place</syncfolderlocation><oops";
    m_tmp.write("syncclientconfig.xml", broken);
    CloudSyncTest::LogCapture& log = freshLog();
    EXPECT_THROW(makeRunner(), Nuvaro::Exception);
    EXPECT_EQ(CloudSyncTest::TempFolder::read(configFile()), broken);
    EXPECT_TRUE(log.contains("Unable to read syncclientconfig.xml")) << log.dump();
}

TEST_F(RunnerTest, ProxyPasswordIsTakenWhenItsOwnValueIsSetWhateverThePortHolds) {
    m_tmp.write("syncclientconfig.xml", "<config><httpproxyport></httpproxyport>"
                                        "<httpproxypassword>p@ss</httpproxypassword><httpproxyuser></httpproxyuser>"
                                        "<maxthreads>8</maxthreads><syncfrequency>30</syncfrequency></config>");
    TestRunner& runner = makeRunner();
    EXPECT_EQ(runner.options.proxyPassword, "p@ss");
    EXPECT_EQ(runner.options.proxyPort, "");
    EXPECT_EQ(runner.options.proxyUser, "");
    EXPECT_EQ(runner.options.maxThreads, "8");
    EXPECT_EQ(runner.options.syncFrequency, "30");
}

// ---- Folders, databases, identifiers ----

TEST_F(RunnerTest, SyncFolderIsCreatedAndDatabasesAreReadableByTheirOwnerOnly) {
    makeRunner();
    EXPECT_EQ(modeOf(syncRoot()), 0700);
    EXPECT_EQ(modeOf(dataRoot() + "/syncclient.db"), 0600);
    EXPECT_EQ(modeOf(dataRoot() + "/offline.db"), 0600);
}

TEST_F(RunnerTest, ExistingDatabasesLoseTheirGroupAndOtherPermissions) {
    makeRunner();
    m_runner.reset();
    ::chmod((dataRoot() + "/syncclient.db").c_str(), 0644);
    ::chmod((dataRoot() + "/offline.db").c_str(), 0664);
    makeRunner();
    EXPECT_EQ(modeOf(dataRoot() + "/syncclient.db"), 0600);
    EXPECT_EQ(modeOf(dataRoot() + "/offline.db"), 0600);
}

TEST_F(RunnerTest, ExistingSyncFolderIsLeftAsItIs) {
    Poco::File(syncRoot()).createDirectories();
    ::chmod(syncRoot().c_str(), 0755);
    makeRunner();
    EXPECT_EQ(modeOf(syncRoot()), 0755);
}

struct ConstructionFailure {
    const char* name;
    std::function<void(RunnerTest&, CloudSyncTest::TempFolder&)> setup;
    std::string logLine;
};

class ConstructionFailures : public RunnerTest, public ::testing::WithParamInterface<ConstructionFailure> {};

TEST_P(ConstructionFailures, AreLoggedAndThrown) {
    GetParam().setup(*this, m_tmp);
    CloudSyncTest::LogCapture& log = freshLog();
    EXPECT_THROW(makeRunner(), Nuvaro::Exception);
    EXPECT_TRUE(log.contains(GetParam().logLine)) << log.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Runner, ConstructionFailures,
    ::testing::Values(
        ConstructionFailure{"SyncFolderBelowAFile",
                            [](RunnerTest&, CloudSyncTest::TempFolder& tmp) { tmp.write("sync", "a file"); },
                            "Unable to setup sync folder: "},
        ConstructionFailure{"SyncDatabaseIsAFolder",
                            [](RunnerTest&, CloudSyncTest::TempFolder& tmp) {
                                Poco::File(tmp / "data/syncclient.db").createDirectories();
                            },
                            "Failed opening DB: "},
        ConstructionFailure{"JobDatabaseIsNotADatabase",
                            [](RunnerTest&, CloudSyncTest::TempFolder& tmp) {
                                tmp.write("data/offline.db", std::string(4096, 'x'));
                            },
                            "Failed opening DB: "}),
    [](const ::testing::TestParamInfo<ConstructionFailure>& info) { return std::string(info.param.name); });

TEST_F(RunnerTest, IdentifiersAreMadeOnceAndKeptByTheNextConstruction) {
    makeRunner();
    const std::string friendly = stored("friendlyname");
    const std::string clientId = stored("hostname");
    EXPECT_FALSE(friendly.empty());
    EXPECT_EQ(clientId.size(), 36u);
    makeRunner();
    EXPECT_EQ(stored("friendlyname"), friendly);
    EXPECT_EQ(stored("hostname"), clientId);
}

// Opening the database drops the errors (type 5) and the skipped local
// files (type 7) of the last run, which the next passes report again if they
// still hold; every other entry, lasting ones included, stays.
TEST_F(RunnerTest, OpeningTheDatabaseDropsTheErrorsAndSkippedFilesOfTheLastRun) {
    using Nuvaro::Sync::FSActivity;
    makeRunner();
    for (int type = FSActivity::TypeDownload; type <= FSActivity::TypeSkippedLocal; ++type) {
        for (const char* name : {"a.txt", "b.txt"}) {
            boost::shared_ptr<FSActivity> entry(new FSActivity(FSActivity::LevelNormal,
                                                               static_cast<FSActivity::Type>(type), "an entry",
                                                               syncRoot() + "/My Files/" + name, "Owner"));
            ASSERT_TRUE(m_runner->getSyncDatabase()->activityAdd(entry));
        }
    }

    makeRunner(); // a new run opens the same database

    for (int type = FSActivity::TypeDownload; type <= FSActivity::TypeSkippedLocal; ++type) {
        std::vector<boost::shared_ptr<FSActivity>> entries;
        ASSERT_TRUE(m_runner->getSyncDatabase()->activityCollectionGet(entries, type));
        const bool dropped = type == FSActivity::TypeError || type == FSActivity::TypeSkippedLocal;
        EXPECT_EQ(entries.size(), dropped ? 0u : 2u) << "type " << type;
    }
}

TEST(FriendlyNameFromHost, KeepsTheLettersAndDigitsOrPicksATableName) {
    EXPECT_EQ(Nuvaro::Sync::friendlyNameFromHost("my-pc.local"), "mypclocal");
    EXPECT_EQ(Nuvaro::Sync::friendlyNameFromHost("Büro-7"), "Bro7");
    Poco::RegularExpression tableName(
        "^(andromeda|antlia|aquila|ara|auriga|bootes|caelum|canis|carina|cassiopeia|centaurus|draco|lyra|orion|pavo|"
        "pegasus)[0-9]+$");
    for (const char* punctuation : {"", "---", ".-_"})
        EXPECT_TRUE(tableName.match(Nuvaro::Sync::friendlyNameFromHost(punctuation)))
            << Nuvaro::Sync::friendlyNameFromHost(punctuation);
}

TEST_F(RunnerTest, RealtimeJobsBecomeTheExternalPathsAtConstruction) {
    makeRunner();
    FOOfflineJobData realtime("/EXTERNAL/share", m_tmp / "share", 0, true, "realtime", "", false, false);
    FOOfflineJobData hourly("/user1/backup", m_tmp / "pictures", 1, true, "1h", "", false, false);
    m_runner->getOfflineDatabase()->FOAddJobRecord(&realtime);
    m_runner->getOfflineDatabase()->FOAddJobRecord(&hourly);
    auto externalPaths = [this] {
        std::vector<std::string> paths;
        m_runner->getSyncDatabase()->getExternalPaths(paths);
        return paths;
    };

    makeRunner();
    EXPECT_EQ(externalPaths(), std::vector<std::string>{"/EXTERNAL/share"});
    realtime.schedule = "24h";
    m_runner->getOfflineDatabase()->FOUpdateJobRecord(&realtime);
    makeRunner();
    EXPECT_TRUE(externalPaths().empty());
}

// ---- Logging ----

// Restores every logger's channel and level after a test that set up the log.
class LoggingTest : public ::testing::Test {
protected:
    std::string logFile() const { return m_tmp / "syncclient.log"; }

    CloudSyncTest::TempFolder m_tmp;
    CloudSyncTest::LogCapture m_restore;
};

TEST_F(LoggingTest, WritesThePatternAtTheLevelIntoAPrivateFile) {
    Nuvaro::Sync::setupLogging(m_tmp.path(), "information");
    Poco::Logger::get("Sync").information("an information line");
    Poco::Logger::get("Sync").debug("a debug line");
    Poco::Logger::get("RunnerTestLaterLogger").warning("a later logger");

    const std::string text = CloudSyncTest::TempFolder::read(logFile());
    EXPECT_NE(text.find("***********CLOUD SYNC CLIENT LOG STARTUP **********"), std::string::npos) << text;
    Poco::RegularExpression line("^\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3} \\[\\d+\\] :I: an information line$",
                                 Poco::RegularExpression::RE_MULTILINE);
    Poco::RegularExpression::Match found;
    EXPECT_EQ(line.match(text, found), 1) << text;
    EXPECT_NE(text.find(":W: a later logger"), std::string::npos) << text;
    EXPECT_EQ(text.find("a debug line"), std::string::npos) << text;
    EXPECT_EQ(modeOf(logFile()), 0600);
}

TEST_F(LoggingTest, UnknownLevelNameMeansTraceAndAnExistingFileIsAppendedTo) {
    m_tmp.write("syncclient.log", "earlier line\n");
    ::chmod(logFile().c_str(), 0644);
    Nuvaro::Sync::setupLogging(m_tmp.path(), "verbose");
    Poco::Logger::get("Sync").trace("a trace line");
    const std::string text = CloudSyncTest::TempFolder::read(logFile());
    EXPECT_EQ(text.find("earlier line\n"), 0u) << text;
    EXPECT_NE(text.find(":T: a trace line"), std::string::npos) << text;
    EXPECT_EQ(modeOf(logFile()), 0600);
}

TEST_F(LoggingTest, AnExistingFileThatCannotBeWrittenLeavesLoggingAsItWas) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes any file (scripts/test-unprivileged.sh runs this test as uid 65534)";
    m_tmp.write("syncclient.log", "kept\n");
    ::chmod(logFile().c_str(), 0444);
    Poco::Channel* before = Poco::Logger::root().getChannel();
    Nuvaro::Sync::setupLogging(m_tmp.path(), "trace");
    EXPECT_EQ(Poco::Logger::root().getChannel(), before);
    EXPECT_EQ(CloudSyncTest::TempFolder::read(logFile()), "kept\n");
}

TEST_F(LoggingTest, ALogPathThatCannotBeOpenedLeavesLoggingAsItWas) {
    Poco::File(logFile()).createDirectories();
    Poco::Channel* before = Poco::Logger::root().getChannel();
    Nuvaro::Sync::setupLogging(m_tmp.path(), "trace");
    EXPECT_EQ(Poco::Logger::root().getChannel(), before);
}

TEST(PrivateFileChannel, ANewFileAfterARotationIsPrivateToo) {
    CloudSyncTest::TempFolder tmp;
    const std::string path = tmp / "syncclient.log";
    Poco::AutoPtr<Nuvaro::Sync::PrivateFileChannel> channel(new Nuvaro::Sync::PrivateFileChannel());
    channel->setProperty("path", path);
    channel->setProperty("rotation", "1 K");
    channel->open();
    const std::string text(200, 'x');
    for (int i = 0; i < 12; ++i)
        channel->log(Poco::Message("test", text, Poco::Message::PRIO_INFORMATION));
    channel->close();
    EXPECT_TRUE(Poco::File(path + ".0").exists());
    EXPECT_EQ(modeOf(path), 0600);
    EXPECT_EQ(modeOf(path + ".0"), 0600);
}

TEST(SetupSyncDir, CreatesAMissingFolderPrivateAndRefusesOneBelowAFile) {
    CloudSyncTest::TempFolder tmp;
    EXPECT_TRUE(Nuvaro::Sync::setupSyncDir(tmp / "a/b/Vaultpine", "", false));
    EXPECT_EQ(modeOf(tmp / "a/b/Vaultpine"), 0700);
    tmp.write("file", "x");
    EXPECT_FALSE(Nuvaro::Sync::setupSyncDir(tmp / "file/Vaultpine", "", false));
}

} // namespace
} // namespace RunnerTest
