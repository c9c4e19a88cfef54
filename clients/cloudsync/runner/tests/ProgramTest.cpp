// The cloudsync program itself, run as a child process against the test
// server: its console lines and exit codes for each start-up case, what it
// stores across starts (account, selective sync, jobs), the files it makes
// private, and its orderly stop on SIGTERM and SIGINT.

#include "ChildProcess.h"
#include "WaitUntil.h"

#include "FOOfflineDB.h"
#include "FSSyncDB.h"
#include "NuvaroUtil.h"
#include "SettingsCipher.h"
#include "TempFolder.h"
#include "VariantRow.h"
#include "VaultpineTestServer.h"
#include "WaitUntil.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <sys/stat.h>

namespace RunnerTest {
namespace {

using CloudSyncTest::ChildProcess;
using Nuvaro::Sync::FOOfflineJobData;
using Nuvaro::Sync::TestServer::TestAccount;
using Nuvaro::Sync::TestServer::TestFault;
using Nuvaro::Sync::TestServer::VaultpineTestServer;

const char* const kPassword = "Pw-7f3c9e-secret";
const long kStartMs = 30000;
const long kExitMs = 30000;

int modeOf(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

std::string fileBytes(const std::string& path) {
    return CloudSyncTest::TempFolder::read(path);
}

// Public: the table's set-up functions reach the fixture.
class ProgramTest : public ::testing::Test {
public:
    typedef std::map<std::string, std::string> Fields;

    void SetUp() override {
        server.start();
        TestAccount account;
        account.userId = "user1";
        account.password = kPassword;
        account.email = "User.One@Example.com";
        server.addAccount(account);
        Poco::File(bin("")).createDirectories();
        Poco::File(home()).createDirectories();
        // The program reads its configuration beside itself: it gets a place
        // of its own (a hard link where the file system allows one).
        if (::link(CLOUDSYNC_PROGRAM, bin("cloudsync").c_str()) != 0) {
            Poco::File(CLOUDSYNC_PROGRAM).copyTo(bin("cloudsync"));
        }
        connection = {{"url", server.baseUrl()}, {"account", "user1"}, {"password", kPassword}};
        client = {{"syncclientlocation", dataRoot()}, {"syncfolderlocation", syncRoot()}};
    }

    std::string bin(const std::string& name) const { return m_tmp / ("bin/" + name); }
    std::string home() const { return m_tmp / "home"; }
    std::string dataRoot() const { return m_tmp / "data"; }
    std::string syncRoot() const { return m_tmp / "sync"; }

    static void writeFields(const std::string& path, const Fields& fields) {
        Nuvaro::Data::VariantRow row;
        for (const auto& field : fields)
            row[field.first] = field.second;
        ASSERT_TRUE(row.write(path)) << row.getLastError();
    }

    // Writes the two configuration files (unless a test removed them) and
    // starts the program.
    ChildProcess& start() {
        if (writeConnection)
            writeFields(bin("syncconconfig.xml"), connection);
        if (writeClient)
            writeFields(bin("syncclientconfig.xml"), client);
        ++m_runs;
        m_child.reset(new ChildProcess(bin("cloudsync"), {{"HOME", home()}},
                                       m_tmp / ("output-" + std::to_string(m_runs) + ".txt")));
        EXPECT_TRUE(m_child->started());
        return *m_child;
    }

    // A start that fails: its exit code.
    int runToExit() { return start().waitForExit(kExitMs); }

    // A start that reaches "Starting Sync...", then the stop signal: both
    // must come, and the exit code be 0.
    void runAndStop(int signal = SIGTERM) {
        ChildProcess& child = start();
        ASSERT_TRUE(child.waitForLine("Starting Sync...", kStartMs)) << child.output();
        child.signal(signal);
        EXPECT_EQ(child.waitForExit(kExitMs), 0) << child.output();
        EXPECT_TRUE(child.hasLine("Stopping Sync...")) << child.output();
    }

    ChildProcess& child() { return *m_child; }

    // What the stopped program left in syncclient.db.
    template <typename Read>
    auto fromSyncDB(Read read) {
        Nuvaro::Sync::FSSyncDB db;
        EXPECT_TRUE(db.openDB(dataRoot() + "/syncclient.db", ""));
        auto value = read(db);
        db.closeDB();
        return value;
    }
    std::string configValue(const std::string& section, const std::string& name) {
        return fromSyncDB([&](Nuvaro::Sync::FSSyncDB& db) { return db.getConfigValue(section, name, "<absent>"); });
    }
    // The stored password, deciphered.
    std::string storedPassword() {
        return Nuvaro::Sync::decryptAES(configValue("config", "ENC"), configValue("config", "SALT"));
    }
    // The identity of the sync record of a server path ("" without one).
    std::string recordId(const std::string& serverPath) {
        return fromSyncDB([&](Nuvaro::Sync::FSSyncDB& db) {
            auto record = db.getFSSyncRecord(serverPath);
            return record ? record->getId().toString() : std::string();
        });
    }
    // The server's password of the account changes (its sessions end).
    void changePassword(const std::string& password) {
        TestAccount account;
        account.userId = "user1";
        account.password = password;
        account.email = "User.One@Example.com";
        server.addAccount(account);
        server.dropSessions("user1");
    }
    std::vector<std::string> limitPaths() {
        return fromSyncDB([](Nuvaro::Sync::FSSyncDB& db) {
            std::vector<std::string> paths;
            db.getLimitPaths(paths);
            return paths;
        });
    }
    std::vector<std::string> externalPaths() {
        return fromSyncDB([](Nuvaro::Sync::FSSyncDB& db) {
            std::vector<std::string> paths;
            db.getExternalPaths(paths);
            return paths;
        });
    }

    // Each stored job as "local|remote|type|schedule|recurse|remoteDelete|lastRun".
    std::vector<std::string> jobs() {
        Nuvaro::Sync::FOOfflineDB db;
        EXPECT_TRUE(db.openDB(dataRoot() + "/offline.db", ""));
        std::vector<boost::shared_ptr<FOOfflineJobData>> stored;
        db.getAllFOJobRecord(stored);
        db.closeDB();
        std::vector<std::string> described;
        for (const auto& job : stored)
            described.push_back(job->localLinkPath + "|" + job->remotePath + "|" + std::to_string(job->syncType) + "|" +
                                job->schedule + "|" + (job->recurse ? "1" : "0") + "|" +
                                (job->remoteDelete ? "1" : "0") + "|" + job->lastRun);
        return described;
    }

    CloudSyncTest::TempFolder m_tmp;
    VaultpineTestServer server;
    Fields connection;
    Fields client;
    bool writeConnection = true;
    bool writeClient = true;
    std::unique_ptr<ChildProcess> m_child;
    int m_runs = 0;
};

// ---- One start: console lines and exit codes ----

struct StartCase {
    const char* name;
    std::function<void(ProgramTest&, VaultpineTestServer&, ProgramTest::Fields&, ProgramTest::Fields&)> setup;
    std::vector<std::string> lines;  // each must appear, exactly ("{tmp}": the test's temp folder)
    int exitCode;                    // 0: runs until stopped
    std::vector<std::string> absent = {};  // lines that must not appear
};

class StartCases : public ProgramTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartCases, PrintTheirLinesAndEndWithTheirExitCode) {
    GetParam().setup(*this, server, connection, client);
    if (GetParam().exitCode == 0)
        runAndStop();
    else
        EXPECT_EQ(runToExit(), GetParam().exitCode) << child().output();
    EXPECT_TRUE(child().hasLine("Cloud Sync Client v15.90.0.35620")) << child().output();
    for (std::string line : GetParam().lines) {
        const std::string::size_type tmp = line.find("{tmp}");
        if (tmp != std::string::npos)
            line.replace(tmp, 5, m_tmp.path());
        EXPECT_TRUE(child().hasLine(line)) << "missing \"" << line << "\" in:\n" << child().output();
    }
    for (const std::string& line : GetParam().absent)
        EXPECT_FALSE(child().hasLine(line)) << "unexpected \"" << line << "\" in:\n" << child().output();
}

const std::string kServer = "Failed to connect to Vaultpine Server. ";

INSTANTIATE_TEST_SUITE_P(
    Program, StartCases,
    ::testing::Values(
        StartCase{"FirstRun", [](ProgramTest&, VaultpineTestServer&, ProgramTest::Fields&, ProgramTest::Fields&) {},
                  {"Sync Setup Complete...", "Starting Sync..."}, 0},
        StartCase{"MissingConnectionConfig",
                  [](ProgramTest& t, VaultpineTestServer&, ProgramTest::Fields&, ProgramTest::Fields&) {
                      t.writeConnection = false;
                  },
                  {"Error: Failed to read syncconconfig.xml "}, 1},
        StartCase{"DataFolderCannotBeCreated",
                  [](ProgramTest& t, VaultpineTestServer&, ProgramTest::Fields&, ProgramTest::Fields& client) {
                      t.m_tmp.write("afile", "x");
                      client["syncclientlocation"] = t.m_tmp / "afile/data";
                  },
                  {"Error: Failed to create data directory.. Exiting Application {tmp}/afile/data"}, 1},
        StartCase{"InvalidServerUrl",
                  [](ProgramTest&, VaultpineTestServer&, ProgramTest::Fields& connection, ProgramTest::Fields&) {
                      connection["url"] = "files.example.com";
                  },
                  {"Error: Invalid server URL in syncconconfig.xml: files.example.com (the address must begin with "
                   "http:// or https://)"},
                  1},
        StartCase{"MissingPasswordAtTheFirstStart",
                  [](ProgramTest&, VaultpineTestServer&, ProgramTest::Fields& connection, ProgramTest::Fields&) {
                      connection.erase("password");
                  },
                  {"Error: No password in syncconconfig.xml for account user1"}, 1,
                  {"Failed to connect to Vaultpine Server. "}},
        StartCase{"InvalidProxyPort",
                  [](ProgramTest&, VaultpineTestServer&, ProgramTest::Fields&, ProgramTest::Fields& client) {
                      client["httpproxyhost"] = "proxy.lan";
                      client["httpproxyport"] = "31x8";
                  },
                  {"Error: Invalid proxy setting in syncclientconfig.xml: Invalid proxy port 31x8"}, 1},
        StartCase{"ServerStatusUnavailable",
                  [](ProgramTest&, VaultpineTestServer& server, ProgramTest::Fields&, ProgramTest::Fields&) {
                      server.addFault(TestFault::withStatus("/core/getsystemstatus", 500));
                  },
                  {"Error: Failed to get server status "}, 1},
        StartCase{"NotACloudServer",
                  [](ProgramTest&, VaultpineTestServer& server, ProgramTest::Fields&, ProgramTest::Fields&) {
                      server.setStatusValue("OS", "NUVARO_LINUX");
                  },
                  {kServer + "Not a valid Cloud Server."}, 1},
        StartCase{"EmailLoginWithoutCurrentProfile",
                  [](ProgramTest&, VaultpineTestServer& server, ProgramTest::Fields& connection,
                     ProgramTest::Fields&) {
                      connection["account"] = "User.One@Example.com";
                      server.removeStatusValue("currentprofile");
                  },
                  {"Error: Invalid Username Specified, Login with your email address failed! "}, 1},
        StartCase{"NoSyncPlugin",
                  [](ProgramTest&, VaultpineTestServer& server, ProgramTest::Fields&, ProgramTest::Fields&) {
                      server.setPlugins({"explorer", "bramblelink"});
                  },
                  {kServer + "Verify that the sync app is installed on the server"}, 1},
        StartCase{"SelectiveSync",
                  [](ProgramTest&, VaultpineTestServer&, ProgramTest::Fields& connection, ProgramTest::Fields&) {
                      connection["limitfolders"] = "|/user1/Docs||/user1/My Projects|";
                  },
                  {"Using Selective Sync: /user1/Docs", "Using Selective Sync: /user1/My Projects"}, 0},
        StartCase{"MissingJobEntry",
                  [](ProgramTest&, VaultpineTestServer&, ProgramTest::Fields& connection, ProgramTest::Fields&) {
                      connection["offline_folder_count"] = "2";
                      connection["offline_folder_1"] = "/tmp/a|/user1/a|0|1h|1|0";
                  },
                  {"ERROR: Missing Offline Folder Entry : offline_folder_2"}, 1},
        StartCase{"JobEntryWithFiveFields",
                  [](ProgramTest&, VaultpineTestServer&, ProgramTest::Fields& connection, ProgramTest::Fields&) {
                      connection["offline_folder_count"] = "1";
                      connection["offline_folder_1"] = "/tmp/a|/user1/a|0|1h|1";
                  },
                  {"ERROR: BAD Number of Params with Offline Folder Entry"}, 1},
        StartCase{"JobEntryWithAWordForItsType",
                  [](ProgramTest&, VaultpineTestServer&, ProgramTest::Fields& connection, ProgramTest::Fields&) {
                      connection["offline_folder_count"] = "1";
                      connection["offline_folder_1"] = "/tmp/a|/user1/a|backup|1h|1|0";
                  },
                  {"ERROR: BAD Job Type with Offline Folder Entry : offline_folder_1"}, 1},
        StartCase{"JobCountThatIsNoNumber",
                  [](ProgramTest&, VaultpineTestServer&, ProgramTest::Fields& connection, ProgramTest::Fields&) {
                      connection["offline_folder_count"] = "2x";
                  },
                  {"ERROR: BAD offline_folder_count : 2x"}, 1}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

// ---- Details of single starts ----

TEST_F(ProgramTest, ConnectionConfigReadableByOthersIsReportedAndTheProgramGoesOn) {
    writeFields(bin("syncconconfig.xml"), connection);
    ::chmod(bin("syncconconfig.xml").c_str(), 0640);
    writeConnection = false;
    runAndStop();
    EXPECT_TRUE(child().hasLine("Warning: syncconconfig.xml holds the account password and other users can read it. "
                                "Make it private: chmod 600 " +
                                bin("syncconconfig.xml")))
        << child().output();
}

TEST_F(ProgramTest, MissingClientConfigIsCreatedAndTheDefaultFoldersAreUsedPrivately) {
    writeClient = false;
    runAndStop();
    Nuvaro::Data::VariantRow written;
    ASSERT_TRUE(written.read(bin("syncclientconfig.xml")));
    EXPECT_EQ(written.getFieldNames(), (std::vector<std::string>{"syncclientlocation", "syncfolderlocation"}));
    EXPECT_EQ(written.getField("syncclientlocation").getString(), "DEFAULT");
    EXPECT_EQ(written.getField("syncfolderlocation").getString(), "DEFAULT");

    const std::string data = home() + "/VaultpineSyncData/client";
    EXPECT_EQ(modeOf(home() + "/VaultpineSyncData"), 0700);
    EXPECT_EQ(modeOf(data), 0700);
    EXPECT_EQ(modeOf(data + "/syncclient.db"), 0600);
    EXPECT_EQ(modeOf(data + "/offline.db"), 0600);
    EXPECT_EQ(modeOf(data + "/syncclient.log"), 0600);
    EXPECT_EQ(modeOf(home() + "/Vaultpine"), 0700);
}

TEST_F(ProgramTest, UnreadableClientConfigIsNeverReplaced) {
    const std::string broken = "<config><syncclientlocation>/my/data</syncclientlocation><oops";
    m_tmp.write("bin/syncclientconfig.xml", broken);
    writeClient = false;
    EXPECT_EQ(runToExit(), 1);
    const std::vector<std::string> lines = child().lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().find("Error: Failed to read syncclientconfig.xml "), 0u) << child().output();
    EXPECT_NE(lines.back().find("syncclientconfig.xml: "), std::string::npos) << child().output();
    EXPECT_EQ(fileBytes(bin("syncclientconfig.xml")), broken);
}

TEST_F(ProgramTest, RefusedLoginPrintsTheServersReason) {
    connection["password"] = "wrong";
    EXPECT_EQ(runToExit(), 1);
    const std::vector<std::string> lines = child().lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().find(kServer), 0u) << child().output();
    EXPECT_GT(lines.back().size(), kServer.size()) << child().output();
}

TEST_F(ProgramTest, EmailLoginIsSentLowerCasedAndTheServersProfileStored) {
    connection["account"] = "User.One@Example.COM";
    runAndStop();
    ASSERT_FALSE(server.requests("/core/loginguest").empty());
    EXPECT_EQ(server.requests("/core/loginguest")[0].formField("userid"), "user.one@example.com");
    EXPECT_EQ(configValue("config", "profile"), "user1");
}

TEST_F(ProgramTest, FirstRunStoresTheAccountWithoutAClearPasswordAnywhere) {
    runAndStop();
    EXPECT_EQ(configValue("config", "url"), server.baseUrl());
    EXPECT_EQ(configValue("config", "profile"), "user1");
    EXPECT_EQ(configValue("config", "os"), "NUVARO_CLOUD");
    EXPECT_EQ(configValue("config", "networkfoldername"), "Network Folders");
    EXPECT_NE(configValue("config", "ENC"), "");
    EXPECT_EQ(configValue("config", "password"), "<absent>");
    for (const char* file : {"syncclient.db", "offline.db", "syncclient.log"}) {
        const std::string bytes = fileBytes(dataRoot() + "/" + file);
        EXPECT_FALSE(bytes.empty()) << file;
        EXPECT_EQ(bytes.find(kPassword), std::string::npos) << file;
    }
}

TEST_F(ProgramTest, SelectiveSyncIsStoredAndEmptiedWhenTheListGoes) {
    connection["limitfolders"] = "|/user1/Docs||/user1/My Projects|";
    runAndStop();
    EXPECT_EQ(configValue("APP", "LIMITSYNC"), "1");
    EXPECT_EQ(limitPaths(), (std::vector<std::string>{"/user1/Docs", "/user1/My Projects"}));
    connection.erase("limitfolders");
    runAndStop();
    EXPECT_EQ(configValue("APP", "LIMITSYNC"), "0");
    EXPECT_TRUE(limitPaths().empty());
}

// ---- Across starts ----

TEST_F(ProgramTest, WithAStoredAccountNoFirstRunLoginHappens) {
    runAndStop();
    server.clearRequests();
    runAndStop();
    EXPECT_FALSE(child().hasLine("Sync Setup Complete...")) << child().output();
    EXPECT_TRUE(server.requests("/core/getpluginlaunchlist").empty());
    const auto requests = server.requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/core/loginguest");
    EXPECT_EQ(requests[1].path, "/core/getsystemstatus");
}

// ---- A new password, another account or server in the configuration ----

// Regression: after the server's password changed, the new one written into
// syncconconfig.xml was never used (the stored one was, for ever). Now the
// start logs in with it and stores it, and the client syncs on with its
// records: nothing sent again, no conflict copy.
TEST_F(ProgramTest, NewPasswordInTheConfigurationIsUsedAndTheSyncStateKept) {
    server.putFile("user1", "/user1/Welcome.txt", "hello");
    ChildProcess& first = start();
    ASSERT_TRUE(first.waitForLine("Starting Sync...", kStartMs)) << first.output();
    ASSERT_TRUE(CloudSyncTest::waitUntil([&] { return fileBytes(syncRoot() + "/My Files/Welcome.txt") == "hello"; },
                                         kStartMs));
    first.signal(SIGTERM);
    ASSERT_EQ(first.waitForExit(kExitMs), 0) << first.output();
    const std::string welcome = recordId("/user1/Welcome.txt");
    ASSERT_NE(welcome, "");

    changePassword("Pw-new-2b81d0");
    connection["password"] = "Pw-new-2b81d0";
    server.putFile("user1", "/user1/Later.txt", "after the change");
    server.clearRequests();
    ChildProcess& second = start();
    ASSERT_TRUE(second.waitForLine("Starting Sync...", kStartMs)) << second.output();
    EXPECT_TRUE(CloudSyncTest::waitUntil(
        [&] { return fileBytes(syncRoot() + "/My Files/Later.txt") == "after the change"; }, kStartMs));
    second.signal(SIGTERM);
    EXPECT_EQ(second.waitForExit(kExitMs), 0) << second.output();

    EXPECT_TRUE(second.hasLine("New Password Stored...")) << second.output();
    EXPECT_FALSE(second.hasLine("Sync Setup Complete...")) << second.output();
    EXPECT_EQ(storedPassword(), "Pw-new-2b81d0");
    EXPECT_EQ(configValue("config", "sha1password"), Nuvaro::Util::getSHA1Hash("Pw-new-2b81d0"));
    EXPECT_EQ(recordId("/user1/Welcome.txt"), welcome);
    EXPECT_TRUE(server.requests("/upload").empty());
    std::vector<std::string> names;
    Poco::File(syncRoot() + "/My Files").list(names);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Later.txt", "Welcome.txt"}));
}

// A wrong new password ends the start as the first run's login does: the
// server's reason on the console, exit code 1, the stored password kept.
TEST_F(ProgramTest, WrongNewPasswordInTheConfigurationEndsTheStartWithTheServersReason) {
    runAndStop();
    connection["password"] = "not-the-password";
    EXPECT_EQ(runToExit(), 1) << child().output();
    const std::vector<std::string> lines = child().lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), kServer + "Invalid username or password") << child().output();
    EXPECT_EQ(storedPassword(), kPassword);
}

// A password removed from the configuration after the set-up (the file then
// holds no secret) keeps the stored one: no login before the status.
TEST_F(ProgramTest, PasswordRemovedFromTheConfigurationKeepsTheStoredOne) {
    runAndStop();
    connection.erase("password");
    server.clearRequests();
    runAndStop();
    const auto requests = server.requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/core/loginguest");
    EXPECT_EQ(requests[0].formField("password"), kPassword);
    EXPECT_EQ(requests[1].path, "/core/getsystemstatus");
    EXPECT_EQ(storedPassword(), kPassword);
}

// Regression: another account or server put into syncconconfig.xml was
// ignored without a word. The data folder's own account goes on (switching
// in place would send its files to the other one), one line says so, and
// nothing is sent for the other account or to the other server.
TEST_F(ProgramTest, AnotherAccountOrServerInTheConfigurationIsNamedAndNotUsed) {
    TestAccount other;
    other.userId = "user2";
    other.password = "Pw-user2-91c4";
    server.addAccount(other);
    VaultpineTestServer otherServer;
    otherServer.start();
    runAndStop();

    struct Case {
        const char* what;
        Fields changes;
    };
    const Case cases[] = {
        {"another account", {{"account", "user2"}, {"password", "Pw-user2-91c4"}}},
        {"another account in other letter case and a new password", {{"account", "USER2"}, {"password", "x"}}},
        {"another server", {{"url", otherServer.baseUrl()}}},
    };
    const Fields configured = connection;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        connection = configured;
        for (const auto& change : c.changes)
            connection[change.first] = change.second;
        server.clearRequests();
        runAndStop();
        EXPECT_TRUE(child().hasLine("Warning: The data folder " + dataRoot() + " belongs to account user1 on " +
                                    server.baseUrl() + "; the account " + connection["account"] + " on " +
                                    connection["url"] +
                                    " in syncconconfig.xml is not used. Another account needs its own data folder "
                                    "and sync folder (syncclientlocation and syncfolderlocation in "
                                    "syncclientconfig.xml)."))
            << child().output();
        EXPECT_EQ(configValue("config", "profile"), "user1");
        EXPECT_EQ(configValue("config", "url"), server.baseUrl());
        EXPECT_EQ(storedPassword(), kPassword);
        ASSERT_FALSE(server.requests("/core/loginguest").empty());
        for (const auto& login : server.requests("/core/loginguest"))
            EXPECT_EQ(login.formField("userid"), "user1");
        EXPECT_TRUE(otherServer.requests().empty());
    }
}

TEST_F(ProgramTest, JobEntriesAreAddedUpdatedAndDeleted) {
    const std::string a = m_tmp / "jobs/a";
    const std::string b = m_tmp / "jobs/b";
    connection["offline_folder_count"] = "2";
    connection["offline_folder_1"] = a + "|/user1/a|0|1h|1|0";
    connection["offline_folder_2"] = b + "|/user1/b|1|24h|0|1";
    runAndStop();
    EXPECT_TRUE(child().hasLine("Adding New Offline Folder: " + a + " <--> /user1/a")) << child().output();
    EXPECT_TRUE(child().hasLine("Adding New Offline Folder: " + b + " <--> /user1/b")) << child().output();
    EXPECT_EQ(jobs(), (std::vector<std::string>{a + "|/user1/a|0|1h|1|0|", b + "|/user1/b|1|24h|0|1|"}));

    runAndStop();
    EXPECT_EQ(child().output().find("Offline Folder: "), std::string::npos) << child().output();

    connection["offline_folder_1"] = a + "|/user1/a|0|2h|1|0";
    connection["offline_folder_2"] = b + "|/user1/b2|1|24h|0|1";
    runAndStop();
    EXPECT_TRUE(child().hasLine("Updating Offline Folder: " + a + " <--> /user1/a")) << child().output();
    EXPECT_TRUE(child().hasLine("Deleting Offline Folder: " + b + " <--> /user1/b")) << child().output();
    EXPECT_TRUE(child().hasLine("Adding New Offline Folder: " + b + " <--> /user1/b2")) << child().output();
    EXPECT_EQ(jobs(), (std::vector<std::string>{a + "|/user1/a|0|2h|1|0|", b + "|/user1/b2|1|24h|0|1|"}));

    connection["offline_folder_count"] = "0";
    runAndStop();
    EXPECT_TRUE(jobs().empty());
}

TEST_F(ProgramTest, RealtimeJobAddedAtStartIsHandedToTheSyncEngineAtOnce) {
    connection["offline_folder_count"] = "1";
    connection["offline_folder_1"] = m_tmp / "share" + "|/EXTERNAL/share|0|realtime|1|0";
    runAndStop();
    EXPECT_EQ(externalPaths(), std::vector<std::string>{"/EXTERNAL/share"});
}

// ---- Start-up failures of the runner ----

// The runner logs why it cannot start; the console shows it too, as one
// line, and the exit code says it failed.
TEST_F(ProgramTest, RunnerThatCannotStartPrintsItsReason) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::string reason; // the console line without "Error: " (its beginning) and the log line's
    };
    const std::vector<Case> cases = {
        {"the database is a folder", [this] { Poco::File(dataRoot() + "/syncclient.db").createDirectories(); },
         "Failed opening DB: " + dataRoot() + "/syncclient.db "},
        {"the sync folder lies below a file",
         [this] {
             m_tmp.write("afile", "x");
             client["syncfolderlocation"] = m_tmp / "afile/sync";
         },
         "Unable to setup sync folder: " + m_tmp / "afile/sync"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange();
        EXPECT_EQ(runToExit(), 1) << child().output();
        const std::vector<std::string> lines = child().lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().rfind("Error: " + c.reason, 0), 0u) << child().output();
        EXPECT_NE(fileBytes(dataRoot() + "/syncclient.log").find(c.reason), std::string::npos);
        EXPECT_FALSE(child().hasLine("Starting Sync...")) << child().output();
        Poco::File(dataRoot()).remove(true);
    }
}

// ---- One process per data folder ----

// The lock file names its holder by its process id.
std::string heldLine(const std::string& lockFile, const std::string& dataFolder) {
    std::string holder = fileBytes(lockFile);
    holder = holder.substr(0, holder.find('\n'));
    return "Error: Another Cloud Sync Client (process " + holder + ") is already running on the data directory: " +
           dataFolder;
}

TEST_F(ProgramTest, SecondProcessOnTheSameDataFolderIsRefusedAndTheFirstGoesOn) {
    server.putFile("user1", "/user1/Welcome.txt", "hello");
    ChildProcess& first = start();
    ASSERT_TRUE(first.waitForLine("Starting Sync...", kStartMs)) << first.output();
    EXPECT_EQ(modeOf(dataRoot() + "/syncclient.lock"), 0600);

    ChildProcess second(bin("cloudsync"), {{"HOME", home()}}, m_tmp / "output-second.txt");
    ASSERT_TRUE(second.started());
    EXPECT_EQ(second.waitForExit(10000), 1) << second.output();
    const std::vector<std::string> lines = second.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), heldLine(dataRoot() + "/syncclient.lock", dataRoot())) << second.output();
    // It stopped before the runner, which starts the log and opens the databases.
    const std::string log = fileBytes(dataRoot() + "/syncclient.log");
    const std::string startup = "CLOUD SYNC CLIENT LOG STARTUP";
    EXPECT_EQ(log.find(startup), log.rfind(startup));

    // The first goes on: its first pass, a few seconds after its start,
    // brings the server's file.
    EXPECT_TRUE(CloudSyncTest::waitUntil([&] { return fileBytes(syncRoot() + "/My Files/Welcome.txt") == "hello"; },
                                         kStartMs));
    first.signal(SIGTERM);
    EXPECT_EQ(first.waitForExit(kExitMs), 0) << first.output();
}

TEST_F(ProgramTest, AKilledProcessLeavesNoLockBehind) {
    ChildProcess& killed = start();
    ASSERT_TRUE(killed.waitForLine("Starting Sync...", kStartMs)) << killed.output();
    killed.kill();
    runAndStop();
    EXPECT_EQ(child().output().find("already running"), std::string::npos) << child().output();
}

// ---- Stopping ----

TEST_F(ProgramTest, StopsInOrderOnSigtermAndOnSigint) {
    for (int signal : {SIGTERM, SIGINT}) {
        runAndStop(signal);
        const std::string log = fileBytes(dataRoot() + "/syncclient.log");
        const std::string::size_type stopped = log.rfind("Shutdown FSWorker Thread");
        ASSERT_NE(stopped, std::string::npos) << signal;
        EXPECT_NE(log.find("FSWorker Thread exited", stopped), std::string::npos) << signal;
        EXPECT_NE(log.find("FSRMCWorker Thread exited", stopped), std::string::npos) << signal;
    }
}

TEST_F(ProgramTest, StopSignalDuringTheFirstLoginEndsTheStartCleanly) {
    server.addFault(TestFault::withDelay("/core/getsystemstatus", 1500));
    ChildProcess& child = start();
    ASSERT_TRUE(server.waitForRequests("/core/getsystemstatus", 1, kStartMs));
    child.signal(SIGTERM);
    EXPECT_EQ(child.waitForExit(kExitMs), 0) << child.output();
    EXPECT_TRUE(child.hasLine("Stopping Sync...")) << child.output();
    EXPECT_FALSE(child.hasLine("Starting Sync...")) << child.output();
}

// A server that holds a download's reply head for a minute: the stop ends
// the download at once, as a stop (no failure logged, no file in the sync
// folder, nothing left staged), and the next start downloads it.
TEST_F(ProgramTest, StopSignalEndsADownloadTheServerHoldsWithinSeconds) {
    server.putFile("user1", "/user1/held.txt", "held by the server");
    const int held = server.addFault(TestFault::withDelay("/core/downloadfile", 60000));
    ChildProcess& child = start();
    ASSERT_TRUE(child.waitForLine("Starting Sync...", kStartMs)) << child.output();
    ASSERT_TRUE(CloudSyncTest::waitUntil([&] { return server.requestsInFlight("/core/downloadfile") > 0; }, kStartMs));
    const Poco::Timestamp signalled;
    child.signal(SIGTERM);
    EXPECT_EQ(child.waitForExit(kExitMs), 0) << child.output();
    EXPECT_LT(signalled.elapsed(), 10 * 1000 * 1000) << "the stop waited for the server";

    EXPECT_FALSE(Poco::File(syncRoot() + "/My Files/held.txt").exists());
    const std::string log = fileBytes(dataRoot() + "/syncclient.log");
    for (const char* failure : {"Download FAILED", "Failed Download", "downloadFile : ["})
        EXPECT_EQ(log.find(failure), std::string::npos) << failure;

    server.removeFault(held);
    ChildProcess& again = start();
    EXPECT_TRUE(CloudSyncTest::waitUntil(
        [&] { return fileBytes(syncRoot() + "/My Files/held.txt") == "held by the server"; }, kStartMs));
    again.signal(SIGTERM);
    EXPECT_EQ(again.waitForExit(kExitMs), 0) << again.output();
}

TEST_F(ProgramTest, SyncsASeededAccountIntoItsSyncFolder) {
    server.putFile("user1", "/user1/Welcome.txt", "hello");
    server.putFile("user1", "/user1/Projects/plan.md", "# plan");
    ChildProcess& child = start();
    ASSERT_TRUE(child.waitForLine("Starting Sync...", kStartMs)) << child.output();
    Poco::Timestamp began;
    auto synced = [this] {
        return fileBytes(syncRoot() + "/My Files/Welcome.txt") == "hello" &&
               fileBytes(syncRoot() + "/My Files/Projects/plan.md") == "# plan";
    };
    while (!synced() && began.elapsed() < 30 * 1000 * 1000)
        Poco::Thread::sleep(50);
    EXPECT_TRUE(synced());
    child.signal(SIGTERM);
    EXPECT_EQ(child.waitForExit(kExitMs), 0) << child.output();
}

} // namespace
} // namespace RunnerTest
