// The settings list (keys, sources, defaults), the cipher of the stored
// secret, and storing an account: the secret only enciphered under a fresh
// salt, the local state forgotten when another account or server comes.

#include "RunnerFixture.h"

#include "DataSyncStore.h"
#include "EventRecorder.h"
#include "NuvaroUtil.h"
#include "SettingsCipher.h"

#include <Poco/Environment.h>
#include <Poco/UUIDGenerator.h>

#include <mutex>
#include <set>
#include <thread>

namespace RunnerTest {
namespace {

using Nuvaro::Sync::decryptAES;
using Nuvaro::Sync::encryptAES;
using Nuvaro::Sync::FOOfflineJobData;

const char* const kAbsent = "<absent>";

std::string settingOf(const Nuvaro::RecordList& settings, const std::string& key) {
    auto found = settings[0]->find(key);
    return found == settings[0]->end() ? kAbsent : found->second;
}


// ---- The cipher ----

TEST(SettingsCipher, MatchesTheStoredFormByteForByte) {
    const std::string salt = "6ba7b811-9dad-11d1-80b4-00c04fd430c8";
    EXPECT_EQ(Nuvaro::Sync::cipherPassphrase(salt), "60425635-a23f-35cb-9e13-f51da1697cea");
    EXPECT_EQ(encryptAES("secret", salt), "h0hkqwLcSF24PdrNlzQOpA==");
    EXPECT_EQ(decryptAES("h0hkqwLcSF24PdrNlzQOpA==", salt), "secret");
}

TEST(SettingsCipher, RoundTripsWithAFreshSaltAndFailsAsEmptyText) {
    const std::string salt = Poco::UUIDGenerator::defaultGenerator().createRandom().toString();
    const std::string secret = "pässwörd with spaces & symbols \" ' <>";
    const std::string enciphered = encryptAES(secret, salt);
    EXPECT_NE(enciphered, "");
    EXPECT_EQ(enciphered.find("pässwörd"), std::string::npos);
    EXPECT_EQ(decryptAES(enciphered, salt), secret);

    EXPECT_EQ(decryptAES("not base64 at all!", salt), "");
    EXPECT_EQ(decryptAES(enciphered, ""), "");
    EXPECT_EQ(encryptAES(secret, ""), "");
    // Another salt gives another key: the padding check fails.
    EXPECT_NE(decryptAES(enciphered, "6ba7b811-9dad-11d1-80b4-00c04fd430c8"), secret);
}

// ---- The settings list ----

TEST_F(RunnerTest, SettingsListOfAFreshRunnerHoldsEveryKeyWithItsDefault) {
    TestRunner& runner = makeRunner();
    Nuvaro::RecordList settings = runner.getSettings();
    ASSERT_EQ(settings.size(), 1u);
    const std::map<std::string, std::string> expected{
        {"url", ""},
        {"profile", ""},
        {"loginmode", ""},
        {"password", ""},
        {"sha1password", ""},
        {"remoteans", ""},
        {"hostname", stored("hostname")},
        {"friendlyname", stored("friendlyname")},
        {"os", ""},
        {"disablemyfiles", "0"},
        {"networkfoldername", "Network Folders"},
        {"teamfoldername", "Team Folders"},
        {"teamfolderaccount", ""},
        {"uploadrestrictions", "php|php5"},
        {"disabledotdot", "1"},
        {"disablesync", "0"},
        {"RMC_CLIENT_ID", stored("RMC_CLIENT_ID")},
        {"RMC_CLIENT_DISP_NAME", "Cloud Sync"},
        {"RMC_CLIENT_APP_VERSION", "15.90.0.35620"},
        {"RMC_CLIENT_OS_TYPE", Poco::Environment::osName()},
        {"RMC_CLIENT_OS_VERSION", Poco::Environment::osVersion()},
        {"checkmodtime", "0"},
        {"checkcrc", "0"},
        {"checkcrcfordocs", "0"},
        {"ipcport", ""},
        {"removeunshared", "0"},
        {"skipregex", ""},
        {"maxthreads", "5"},
        {"skipnewfolders", "1"},
        {"skipinusecheck", "0"},
        {"skipdeleteapproval", "0"},
        {"scanremotebeforebackup", "0"},
        {"totalsecswithoutscan", ""},
        {"deleteapprovalpct", "10"},
        {"excludepaths", ""},
        {"ignorefilechangenotifications", "0"}};
    EXPECT_EQ(*settings[0], expected);
    EXPECT_EQ(stored("RMC_CLIENT_ID").size(), 36u);
}

struct OptionCase {
    const char* name;
    std::string configXml;
    std::map<std::string, std::string> expected;  // kAbsent: no such key
};

class SettingsOptions : public RunnerTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(SettingsOptions, ComeFromTheConfigurationFile) {
    m_tmp.write("syncclientconfig.xml", "<config>" + GetParam().configXml + "</config>");
    Nuvaro::RecordList settings = makeRunner().getSettings();
    for (const auto& entry : GetParam().expected)
        EXPECT_EQ(settingOf(settings, entry.first), entry.second) << entry.first;
}

INSTANTIATE_TEST_SUITE_P(
    Runner, SettingsOptions,
    ::testing::Values(
        OptionCase{"ProxyNeedsHostAndPort",
                   "<httpproxyhost>proxy.lan</httpproxyhost><httpproxyuser>u</httpproxyuser>"
                   "<httpproxypassword>p</httpproxypassword>",
                   {{"httpproxyhost", kAbsent}, {"httpproxyport", kAbsent}, {"httpproxyuser", kAbsent},
                    {"httpproxypassword", kAbsent}}},
        OptionCase{"ProxyWithoutCredentials",
                   "<httpproxyhost>proxy.lan</httpproxyhost><httpproxyport>3128</httpproxyport>"
                   "<httpproxyuser>u</httpproxyuser><httpproxypassword></httpproxypassword>",
                   {{"httpproxyhost", "proxy.lan"}, {"httpproxyport", "3128"}, {"httpproxyuser", kAbsent},
                    {"httpproxypassword", kAbsent}}},
        OptionCase{"ProxyWithCredentials",
                   "<httpproxyhost>proxy.lan</httpproxyhost><httpproxyport>3128</httpproxyport>"
                   "<httpproxyuser>u</httpproxyuser><httpproxypassword>p</httpproxypassword>",
                   {{"httpproxyuser", "u"}, {"httpproxypassword", "p"}}},
        OptionCase{"NumbersAsDecimalTextAndBooleans",
                   "<syncfrequency> 30 </syncfrequency><maxthreads>x</maxthreads><removeunshared>yes</removeunshared>"
                   "<skipnewfolders>0</skipnewfolders><ignorefilechangenotifications>true"
                   "</ignorefilechangenotifications><skipdeleteapproval>1</skipdeleteapproval>",
                   {{"syncfrequency", "30"}, {"maxthreads", "0"}, {"removeunshared", "1"}, {"skipnewfolders", "0"},
                    {"ignorefilechangenotifications", "1"}, {"skipdeleteapproval", "1"}}},
        OptionCase{"EmptyTextsKeepTheirDefaults",
                   "<checkcrc></checkcrc><deleteapprovalpct></deleteapprovalpct><checkmodtime>1</checkmodtime>"
                   "<checkcrcdocs>1</checkcrcdocs><ipcport>34999</ipcport><totalsecswithoutscan>600"
                   "</totalsecswithoutscan><skipregex>^~</skipregex><excludepaths>/a|/b</excludepaths>",
                   {{"checkcrc", "0"}, {"deleteapprovalpct", "10"}, {"checkmodtime", "1"}, {"checkcrcfordocs", "1"},
                    {"ipcport", "34999"}, {"totalsecswithoutscan", "600"}, {"skipregex", "^~"},
                    {"excludepaths", "/a|/b"}}},
        OptionCase{"AdvancedOfflineAndNotificationsAreNotSettings",
                   "<advancedoffline>1</advancedoffline><disablenotifications>1</disablenotifications>",
                   {{"advancedoffline", kAbsent}, {"disablenotifications", kAbsent}}}),
    [](const ::testing::TestParamInfo<OptionCase>& info) { return std::string(info.param.name); });

TEST_F(RunnerTest, ClientIdentityIsKeptAcrossReadsAndFromManyThreadsAtOnce) {
    TestRunner& runner = makeRunner();
    std::vector<std::thread> readers;
    std::mutex idsMutex;
    std::set<std::string> ids;
    for (int i = 0; i < 8; ++i) {
        readers.emplace_back([&] {
            std::string id = settingOf(runner.getSettings(), "RMC_CLIENT_ID");
            std::lock_guard<std::mutex> lock(idsMutex);
            ids.insert(id);
        });
    }
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(ids.size(), 1u);
    EXPECT_EQ(settingOf(runner.getSettings(), "RMC_CLIENT_ID"), *ids.begin());
}

// ---- Storing an account ----

TEST_F(RunnerTest, PasswordIsStoredOnlyEncipheredUnderANewSaltAtEverySave) {
    TestRunner& runner = makeRunner(noPolling());
    storeAccount(runner);
    const std::string firstSalt = stored("SALT");
    const std::string firstCipher = stored("ENC");
    EXPECT_EQ(stored("password"), kAbsent);
    EXPECT_EQ(stored("sha1password"), Nuvaro::Util::getSHA1Hash(kPassword));
    EXPECT_EQ(decryptAES(firstCipher, firstSalt), kPassword);

    storeAccount(runner);
    EXPECT_NE(stored("SALT"), firstSalt);
    EXPECT_NE(stored("ENC"), firstCipher);
    EXPECT_EQ(decryptAES(stored("ENC"), stored("SALT")), kPassword);
    EXPECT_EQ(settingOf(runner.getSettings(), "password"), kPassword);
    EXPECT_EQ(settingOf(runner.getSettings(), "devauthcode"), kAbsent);
}

TEST_F(RunnerTest, NoClearPasswordInTheDatabaseFileOrTheLog) {
    CloudSyncTest::LogCapture& log = freshLog();
    TestRunner& runner = makeRunner();
    storeAccount(runner);
    runner.updateServerStatus(true);
    m_runner.reset();
    for (const char* file : {"syncclient.db", "offline.db"})
        EXPECT_EQ(CloudSyncTest::TempFolder::read(dataRoot() + "/" + file).find(kPassword), std::string::npos) << file;
    EXPECT_EQ(log.dump().find(kPassword), std::string::npos);
}

TEST_F(RunnerTest, ClearPasswordOfAnOlderVersionIsEmptiedOnceEnciphered) {
    TestRunner& runner = makeRunner(noPolling());
    runner.getSyncDatabase()->setConfigValue("config", "password", kPassword);
    EXPECT_EQ(settingOf(runner.getSettings(), "password"), kPassword);
    storeAccount(runner);
    EXPECT_EQ(stored("password"), "");
    EXPECT_EQ(settingOf(runner.getSettings(), "password"), kPassword);
}

TEST_F(RunnerTest, DeviceCodeIsStoredEncipheredAndReadBackAsDevAuthCode) {
    TestRunner& runner = makeRunner(noPolling());
    Nuvaro::RecordList settings = accountSettings(runner);
    (*settings[0])["loginmode"] = "1";
    (*settings[0])["devauthcode"] = "D-4711";
    (*settings[0])["password"] = "";
    runner.setSettings(settings);
    EXPECT_EQ(stored("sha1password"), "");
    EXPECT_EQ(decryptAES(stored("ENC"), stored("SALT")), "D-4711");
    Nuvaro::RecordList read = runner.getSettings();
    EXPECT_EQ(settingOf(read, "devauthcode"), "D-4711");
    EXPECT_EQ(settingOf(read, "password"), kAbsent);
}

TEST_F(RunnerTest, WithoutASecretTheHashIsKeptAndTheCipherEmptied) {
    TestRunner& runner = makeRunner(noPolling());
    storeAccount(runner);
    Nuvaro::RecordList settings = accountSettings(runner);
    (*settings[0])["password"] = "";
    (*settings[0])["sha1password"] = "abc123";
    runner.setSettings(settings);
    EXPECT_EQ(stored("sha1password"), "abc123");
    EXPECT_EQ(stored("SALT"), "");
    EXPECT_EQ(stored("ENC"), "");
}

// The local state another account must not inherit: a sync folder with a
// record, an activity entry, a selective-sync folder and a job.
void seedLocalState(TestRunner& runner, const std::string& jobFolder) {
    boost::shared_ptr<Nuvaro::Sync::FSSyncDB> db = runner.getSyncDatabase();
    db->setStatusSet("/user1", "server:7");
    boost::shared_ptr<Nuvaro::Sync::FSActivity> entry(new Nuvaro::Sync::FSActivity(
        Nuvaro::Sync::FSActivity::LevelNormal, Nuvaro::Sync::FSActivity::TypeDownload, "got it", "/user1/a", "PC"));
    db->activityAdd(entry);
    std::vector<std::string> limits{"/user1/docs"};
    db->addLimitPaths(limits);
    db->setConfigValue("APP", "LIMITSYNC", "1");
    FOOfflineJobData job("/user1/j", jobFolder, 0, true, "1h", "", false, false);
    runner.getOfflineDatabase()->FOAddJobRecord(&job);
}

int localStateLeft(TestRunner& runner) {
    boost::shared_ptr<Nuvaro::Sync::FSSyncDB> db = runner.getSyncDatabase();
    std::vector<std::string> folders, limits;
    db->getSyncFolders(folders);
    db->getLimitPaths(limits);
    std::vector<boost::shared_ptr<Nuvaro::Sync::FSActivity>> activity;
    db->activityCollectionGet(activity, -3);
    std::vector<boost::shared_ptr<FOOfflineJobData>> jobs;
    runner.getOfflineDatabase()->getAllFOJobRecord(jobs);
    return static_cast<int>(folders.size() + limits.size() + activity.size() + jobs.size()) +
           (db->getConfigValue("APP", "LIMITSYNC", "0") == "1" ? 1 : 0);
}

TEST_F(RunnerTest, FirstSaveNeverForgetsTheLocalState) {
    TestRunner& runner = makeRunner(noPolling());
    seedLocalState(runner, m_tmp / "job");
    storeAccount(runner);
    EXPECT_EQ(localStateLeft(runner), 5);
}

TEST_F(RunnerTest, AnotherServerOrAccountMakesTheLocalStateForgotten) {
    for (const char* changed : {"url", "profile"}) {
        TestRunner& runner = makeRunner(noPolling());
        storeAccount(runner);
        seedLocalState(runner, m_tmp / ("job-" + std::string(changed)));
        Nuvaro::RecordList same = accountSettings(runner);
        runner.setSettings(same);
        EXPECT_EQ(localStateLeft(runner), 5) << changed;

        Nuvaro::RecordList other = accountSettings(runner);
        (*other[0])[changed] = std::string("http://other.example") + "/" + changed;
        runner.setSettings(other);
        EXPECT_EQ(localStateLeft(runner), 0) << changed;
        EXPECT_EQ(stored(changed), (*other[0])[changed]);
        runner.shutdown(true);
        m_runner.reset();
        Poco::File(dataRoot()).remove(true);
    }
}

TEST_F(RunnerTest, SavingRestartsTheWorkersAndTellsTheUser) {
    TestRunner& runner = makeRunner(noPolling());
    CloudSyncTest::EventRecorder events({4, 7, 10, 11, 12, 13});
    storeAccount(runner);
    EXPECT_EQ(events.events().back(), CloudSyncTest::EventRecorder::Event(16, "", 0));
    EXPECT_TRUE(runner.isRunning());
    EXPECT_TRUE(runner.rmcWorker != nullptr);
    EXPECT_EQ(stored("url"), server.baseUrl());
    EXPECT_EQ(stored("profile"), kUser);
    EXPECT_EQ(stored("disablesync"), "0");
}

} // namespace
} // namespace RunnerTest
