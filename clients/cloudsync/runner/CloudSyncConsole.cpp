#include "CloudSyncConsole.h"

#include "ConsoleConfig.h"
#include "ConsoleNotice.h"
#include "DataFolderLock.h"
#include "FSUtil.h"
#include "JobEntries.h"
#include "NuvaroException.h"
#include "NuvaroUtil.h"
#include "ProductGlobals.h"
#include "ServerChecks.h"
#include "nuvarocbfs_Network.h"

#include <Poco/Exception.h>

namespace Nuvaro {
namespace Sync {

namespace {

const char* const kConnectionFile = "syncconconfig.xml";

std::string asciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string recordValue(const Nuvaro::Record& record, const std::string& key, bool* present = nullptr) {
    if (present)
        *present = false;
    if (!record)
        return std::string();
    auto found = record->find(key);
    if (found == record->end())
        return std::string();
    if (present)
        *present = true;
    return found->second;
}

// Clears the stop action when the runner goes out of scope, before the
// runner itself is destroyed.
class StopActionScope {
public:
    StopActionScope(StopSignalWatcher& stops, FSAppRunner& runner) : stops(stops) {
        stops.setStopAction([&runner] { runner.shutdownForExit(); });
    }
    ~StopActionScope() { stops.clearStopAction(); }

private:
    StopSignalWatcher& stops;
};

// Prints the workers' console notices (ConsoleNotice) while it exists.
class ConsoleNoticeScope {
public:
    explicit ConsoleNoticeScope(std::ostream& console) {
        setConsoleNoticeSink([&console](const std::string& line) { console << line << std::endl; });
    }
    ~ConsoleNoticeScope() { setConsoleNoticeSink(ConsoleNoticeSink()); }
    ConsoleNoticeScope(const ConsoleNoticeScope&) = delete;
    ConsoleNoticeScope& operator=(const ConsoleNoticeScope&) = delete;
};

} // namespace

CloudSyncConsole::CloudSyncConsole(const std::string& resourcePath, std::ostream& console, StopSignalWatcher& stops)
    : resourcePath(resourcePath), console(console), stops(stops) {}

bool CloudSyncConsole::fail(const std::string& line) {
    console << line << std::endl;
    return false;
}

int CloudSyncConsole::stopped() {
    console << "Stopping Sync..." << std::endl;
    return 0;
}

std::string CloudSyncConsole::connectionValue(const std::string& name) const {
    return configText(connectionConfig, name);
}

int CloudSyncConsole::run() {
    if (!readConnectionConfig() || !readClientConfig())
        return 1;
    NuvaroConnector::initSSL(tlsLevel, "VERIFY_STRICT");
    if (!prepareDataFolder())
        return 1;
    // Held until run() returns: the runner, made after it, is destroyed first.
    DataFolderLock lock(dataFolder);
    if (!lockDataFolder(lock))
        return 1;
    if (stops.stopRequested())
        return stopped();

    std::unique_ptr<FSAppRunner> runner;
    try {
        runner.reset(new FSAppRunner(resourcePath, dataFolder, syncFolder, logLevel, false));
    } catch (const Nuvaro::Exception& e) {
        // The runner logged the reason; the console shows it as well.
        fail("Error: " + e.message());
        return 1;
    }
    StopActionScope stopAction(stops, *runner);
    return runWithRunner(*runner);
}

int CloudSyncConsole::runWithRunner(FSAppRunner& runner) {
    if (stops.stopRequested())
        return stopped();
    if (!checkAccount(runner))
        return 1;
    if (stops.stopRequested())
        return stopped();
    runner.updateServerStatus(true);
    applySelectiveSync(runner);
    if (!applyJobEntries(runner))
        return 1;
    if (stops.stopRequested())
        return stopped();

    // From here on the workers' notices for the user are printed too,
    // until the runner stops.
    ConsoleNoticeScope notices(console);
    runner.startup();
    console << "Starting Sync..." << std::endl;
    while (!stops.waitForStop(200)) {
    }
    return stopped();
}

// ---- The configuration files ----

bool CloudSyncConsole::readConnectionConfig() {
    const std::string path = resourcePath + "/" + kConnectionFile;
    if (!connectionConfig.read(kConnectionFile))
        return fail("Error: Failed to read syncconconfig.xml ");
    if (!connectionValue("password").empty() && readableByOthers(kConnectionFile))
        console << "Warning: syncconconfig.xml holds the account password and other users can read it. "
                   "Make it private: chmod 600 "
                << path << std::endl;
    return true;
}

bool CloudSyncConsole::readClientConfig() {
    std::string home;
    Nuvaro::Util::addEndingSeparator(Nuvaro::Util::getUserHomePath(), home);
    dataFolder = home + Custom::gStoreData + "/" + "client";
    syncFolder = home + Custom::gUserData;

    const std::string path = FSAppRunner::getConfigFilePath();
    Nuvaro::Data::VariantRow row;
    std::string error;
    switch (readConfigFile(path, row, error)) {
    case ConfigFileState::Read:
        break;
    case ConfigFileState::Missing:
        row["syncclientlocation"] = "DEFAULT";
        row.write(path);
        break;
    case ConfigFileState::Unreadable:
        return fail("Error: Failed to read syncclientconfig.xml " + error);
    }
    // Each location: written as "DEFAULT" when absent; a value other than
    // "" or "DEFAULT" replaces the default folder.
    auto location = [&](const char* name, std::string& folder) {
        if (!row.hasField(name)) {
            row[name] = "DEFAULT";
            row.write(path);
        } else if (!configText(row, name).empty() && configText(row, name) != "DEFAULT") {
            folder = configText(row, name);
        }
    };
    location("syncclientlocation", dataFolder);
    location("syncfolderlocation", syncFolder);
    if (row.hasField("loglevel"))
        logLevel = configText(row, "loglevel");
    if (row.hasField("ssllevel"))
        tlsLevel = configText(row, "ssllevel");
    // "lockmutex" is a setting of other platforms; this program ignores it.

    const std::string proxy = proxyProblem(configText(row, "httpproxyhost"), configText(row, "httpproxyport"));
    if (!proxy.empty())
        return fail("Error: Invalid proxy setting in syncclientconfig.xml: " + proxy);
    return true;
}

// Missing folders are made readable by their owner only (the data folder
// holds the account and the log); existing ones are left as they are.
bool CloudSyncConsole::prepareDataFolder() {
    try {
        if (createPrivateFolders(dataFolder))
            return true;
    } catch (...) {
    }
    return fail("Error: Failed to create data directory.. Exiting Application " + dataFolder);
}

// Two processes on one data folder would send every upload twice and fetch
// every download twice; the second one stops here, before it opens a
// database, and the first goes on undisturbed.
bool CloudSyncConsole::lockDataFolder(DataFolderLock& lock) {
    switch (lock.acquire()) {
    case DataFolderLock::Result::Acquired:
        return true;
    case DataFolderLock::Result::Held:
        return fail("Error: Another Cloud Sync Client" +
                    (lock.holder() > 0 ? " (process " + std::to_string(lock.holder()) + ")" : std::string()) +
                    " is already running on the data directory: " + dataFolder);
    case DataFolderLock::Result::Failed:
        break;
    }
    return fail("Error: Failed to lock the data directory: " + lock.error());
}

// ---- The account ----

// Without a server and an account stored, the first run's login runs. With
// them:
//   - another server or account configured: the stored one is kept (its
//     data folder holds its files' sync state; switching in place would send
//     them to the other account) and one line says so;
//   - no password stored (a device-code account, which logs in at every
//     start): the login runs as on the first run, for the stored account;
//   - the configured password differs from the stored one (compared with the
//     stored secret deciphered in memory): the login runs with it, and on
//     success it is stored as every password is and the sync state is kept;
//     a refusal ends the start as on the first run;
//   - the same password, or none configured (removed after the set-up):
//     nothing to do, the stored account starts.
// An account name with "@" is the e-mail address the server knows the
// stored account by: only a login can tell, so it counts as another account
// only when a login turns out so.
bool CloudSyncConsole::checkAccount(FSAppRunner& runner) {
    Nuvaro::RecordList settings = runner.getSettings();
    const Nuvaro::Record map = settings[0];
    const std::string storedUrl = recordValue(map, "url");
    const std::string storedProfile = recordValue(map, "profile");
    auto logIn = [&](const std::string& expectedProfile, const char* done) {
        switch (logInWithConfiguration(runner, settings, expectedProfile)) {
        case ConfiguredLogin::Stored:
            console << done << std::endl;
            return true;
        case ConfiguredLogin::AnotherAccount:
            printAccountNotUsed(storedProfile, storedUrl);
            return true;
        case ConfiguredLogin::Failed:
            break;
        }
        return false;
    };
    if (storedUrl.empty() || storedProfile.empty())
        return logIn("", "Sync Setup Complete...");

    const std::string account = asciiLower(connectionValue("account"));
    const bool anotherAccount = account != asciiLower(storedProfile) && account.find('@') == std::string::npos;
    if (connectionValue("url") != storedUrl || anotherAccount) {
        printAccountNotUsed(storedProfile, storedUrl);
        return true;
    }
    const std::string storedPassword = recordValue(map, "password");
    if (storedPassword.empty())
        return logIn(storedProfile, "Sync Setup Complete...");
    const std::string password = connectionValue("password");
    if (password.empty() || password == storedPassword)
        return true;
    return logIn(storedProfile, "New Password Stored...");
}

void CloudSyncConsole::printAccountNotUsed(const std::string& storedProfile, const std::string& storedUrl) {
    console << "Warning: The data folder " << dataFolder << " belongs to account " << storedProfile << " on "
            << storedUrl << "; the account " << connectionValue("account") << " on " << connectionValue("url")
            << " in syncconconfig.xml is not used. Another account needs its own data folder and sync folder "
               "(syncclientlocation and syncfolderlocation in syncclientconfig.xml)."
            << std::endl;
}

CloudSyncConsole::ConfiguredLogin CloudSyncConsole::logInWithConfiguration(FSAppRunner& runner,
                                                                           Nuvaro::RecordList& settings,
                                                                           const std::string& storedProfile) {
    const Nuvaro::Record map = settings[0];
    auto failed = [this](const std::string& line) {
        fail(line);
        return ConfiguredLogin::Failed;
    };
    const std::string url = connectionValue("url");
    const std::string urlProblem = serverUrlProblem(url);
    if (!urlProblem.empty())
        return failed("Error: Invalid server URL in syncconconfig.xml: " + url + " (" + urlProblem + ")");
    // A device-code account logs in with its stored code instead.
    if (connectionValue("password").empty() && recordValue(map, "loginmode") != "1")
        return failed("Error: No password in syncconconfig.xml for account " + connectionValue("account"));
    (*map)["url"] = url;
    (*map)["profile"] = asciiLower(connectionValue("account"));
    (*map)["password"] = connectionValue("password");
    (*map)["disablesync"] = "0";

    const std::string serverName = "Failed to connect to " + Custom::gProductName + " Server. ";
    NuvaroConnector connector(Nuvaro::RecordList(settings), true, "Cloud Connector");
    if (!connector.Authenticate(true))
        return failed(serverName + connector.getLastError());

    Nuvaro::RecordList status;
    if (!connector.getServerStatus(status, true) || status.empty())
        return failed("Error: Failed to get server status ");
    const Nuvaro::Record& record = status[0];
    const std::string os = recordValue(record, OS_KEY);
    if (os != NUVARO_CLOUD_VALUE)
        return failed(serverName + "Not a valid Cloud Server.");
    (*map)["os"] = os;

    if ((*map)["profile"].find('@') != std::string::npos) {
        const std::string currentProfile = recordValue(record, "currentprofile");
        if (currentProfile.empty())
            return failed("Error: Invalid Username Specified, Login with your email address failed! ");
        (*map)["profile"] = currentProfile;
    }
    if (!storedProfile.empty()) {
        if (asciiLower((*map)["profile"]) != asciiLower(storedProfile))
            return ConfiguredLogin::AnotherAccount;
        // The stored spelling: another one would make setSettings forget the
        // sync state as for another account.
        (*map)["profile"] = storedProfile;
    }
    if (!checkForSyncPlugin(connector, settings))
        return failed(serverName + "Verify that the sync app is installed on the server");

    bool present = false;
    recordValue(record, RMC_LEVEL_KEY, &present);
    if (present) {
        (*map)["disablemyfiles"] = "0";
        const std::string disableMyFiles = recordValue(record, "disablemyfiles", &present);
        if (present)
            (*map)["disablemyfiles"] = disableMyFiles;
        (*map)["networkfoldername"] = "Network Folders";
        const std::string networkFolderName = recordValue(record, "networkfoldername");
        if (!networkFolderName.empty())
            (*map)["networkfoldername"] = networkFolderName;
    }
    runner.setSettings(settings);
    return ConfiguredLogin::Stored;
}

// ---- Selective sync and jobs ----

void CloudSyncConsole::applySelectiveSync(FSAppRunner& runner) {
    std::vector<std::string> folders = splitLimitFolders(connectionValue("limitfolders"));
    for (const std::string& folder : folders)
        console << "Using Selective Sync: " << folder << std::endl;
    boost::shared_ptr<FSSyncDB> db = runner.getSyncDatabase();
    db->setConfigValue("APP", "LIMITSYNC", folders.empty() ? "0" : "1");
    db->clearAllLimitPaths();
    if (!folders.empty())
        db->addLimitPaths(folders);
}

// The realtime jobs are handed to the sync engine again afterwards, so that
// a job added or changed here counts from this start on.
bool CloudSyncConsole::applyJobEntries(FSAppRunner& runner) {
    std::vector<FOOfflineJobData> entries;
    std::string where;
    switch (readJobEntries(connectionConfig, entries, where)) {
    case JobEntryError::None:
        break;
    case JobEntryError::BadCount:
        return fail("ERROR: BAD offline_folder_count : " + where);
    case JobEntryError::Missing:
        return fail("ERROR: Missing Offline Folder Entry : " + where);
    case JobEntryError::BadFieldCount:
        return fail("ERROR: BAD Number of Params with Offline Folder Entry");
    case JobEntryError::BadType:
        return fail("ERROR: BAD Job Type with Offline Folder Entry : " + where);
    }
    reconcileJobEntries(*runner.getOfflineDatabase(), entries, console);
    runner.syncRealtimeJobs();
    return true;
}

} // namespace Sync
} // namespace Nuvaro
