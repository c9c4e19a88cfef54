// FSAppRunner: construction (logging, options, folders, databases,
// identifiers), destruction, and the free set-up functions.

#include "FSAppRunner.h"

#include "ConsoleConfig.h"
#include "FSUtil.h"
#include "NuvaroException.h"
#include "PrivateFileChannel.h"
#include "ProductGlobals.h"
#include "VariantRow.h"
#include "nuvarocbfs_DefaultCfg.h"

#include <Poco/AutoPtr.h>
#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/PatternFormatter.h>
#include <Poco/Random.h>
#include <Poco/ThreadPool.h>
#include <Poco/UUIDGenerator.h>

#include <unistd.h>

namespace Nuvaro {
namespace Sync {

const char* const gMyHostNames[16] = {"andromeda", "antlia", "aquila",     "ara",       "auriga", "bootes",
                                      "caelum",    "canis",  "carina",     "cassiopeia", "centaurus", "draco",
                                      "lyra",      "orion",  "pavo",       "pegasus"};

namespace {

Poco::Logger& rootLog() {
    return Poco::Logger::root();
}

Poco::Logger& syncLog() {
    return Poco::Logger::get("Sync");
}

std::string flag(bool value) {
    return value ? "1" : "0";
}

int levelFromName(const std::string& name) {
    static const char* const names[] = {"fatal", "critical", "error", "warning", "notice", "information", "debug"};
    for (int i = 0; i < 7; ++i) {
        if (name == names[i])
            return i + 1;
    }
    return Poco::Message::PRIO_TRACE;
}

// A new time-based UUID; a random one where the system gives no node id.
std::string newClientId() {
    try {
        return Poco::UUIDGenerator::defaultGenerator().createOne().toString();
    } catch (const Poco::Exception&) {
        return Poco::UUIDGenerator::defaultGenerator().createRandom().toString();
    }
}

// Opens a database file that only its owner may read (it holds the account
// and the names of the user's files), with its log lines ("Setting up DB: "
// and so on, `what` being "DB" or "Offline DB"). Throws Nuvaro::Exception
// after the line "Failed opening DB: " + path + " " + the reason when it
// cannot be opened; the exception's message is that line.
void openPrivateDatabase(Nuvaro::Misc::SqliteDB& db, const std::string& path, const std::string& what) {
    rootLog().information("Setting up " + what + ": " + path);
    preparePrivateFile(path);
    if (!db.openDB(path, "")) {
        const std::string line = "Failed opening DB: " + path + " " + db.getOpenError();
        rootLog().error(line);
        throw Nuvaro::Exception(line);
    }
    rootLog().information("Setting up " + what + " completed: " + path);
}

} // namespace

// ---- Free set-up functions ----

std::string friendlyNameFromHost(const std::string& nodeName) {
    std::string friendly = getValidFriendlyName(nodeName);
    if (!friendly.empty())
        return friendly;
    Poco::Random random(256);
    random.seed();
    friendly = gMyHostNames[random.next() & 15];
    for (int i = 0; i < 3; ++i)
        friendly += std::to_string(random.next());
    return friendly;
}

void setupLogging(const std::string& basePath, const std::string& levelName) {
    Poco::AutoPtr<Poco::PatternFormatter> formatter(new Poco::PatternFormatter("%m-%d-%y %H:%M:%S:%i [%I] :%q: %t"));
    formatter->setProperty("times", "local");
    Poco::AutoPtr<Poco::FormattingChannel> formatting(new Poco::FormattingChannel(formatter));
    Poco::AutoPtr<PrivateFileChannel> file(new PrivateFileChannel());
    file->setProperty("rotation", "10 M");
    file->setProperty("purgeAge", "7 days");
    file->setProperty("purgeCount", "10");

    const std::string path = basePath + "/syncclient.log";
    if (::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), W_OK) != 0)
        return;
    try {
        if (!preparePrivateFile(path))
            return;
        file->setProperty("path", path);
        formatting->setChannel(file);
        formatting->open();
    } catch (const Poco::Exception&) {
        return;
    }

    // Loggers made before this point keep the channel they were made with:
    // give every existing logger the file, and the root logger, from which
    // later ones inherit it.
    const int level = levelFromName(levelName);
    Poco::Logger::setChannel("", formatting);
    Poco::Logger::setLevel("", level);
    rootLog().information("***********CLOUD SYNC CLIENT LOG STARTUP **********");
}

bool setupSyncDir(const std::string& path, const std::string& /*secondPath*/, bool /*flag*/) {
    Poco::Logger& log = rootLog();
    try {
        Poco::File folder(path);
        if (folder.exists()) {
            if (folder.isDirectory())
                return true;
            log.information("Failed to create sync directory, exiting process " + path);
            return false;
        }
    } catch (...) {
        log.information("Failed to check if syncdir exists: " + path);
    }
    try {
        Poco::File(path).createDirectories();
        if (Poco::File(path).exists()) {
            setCustomPermissions(path);
            return true;
        }
        log.information("Failed to create sync directory, exiting process " + path);
        return false;
    } catch (...) {
        log.information("Caught Exception Setting Sync Folder at " + path + " exiting process");
        return false;
    }
}

// ---- Construction ----

FSAppRunner::FSAppRunner(const std::string& resourcePath, const std::string& basePath, const std::string& syncPath,
                         const std::string& logLevel, bool quiet)
    : basePath(basePath), resourcePath(resourcePath), quiet(quiet), syncPath(syncPath) {
    if (!quiet)
        setupLogging(basePath, logLevel);

    Poco::Logger& log = rootLog();
    log.information("Running on OS : " + Poco::Environment::osName());
    log.information("Running on OS Version : " + Poco::Environment::osVersion());
    log.information("Running on OS Arch : " + Poco::Environment::osArchitecture());
    log.information(std::string("Running System Version : ") + CLIENT_VERSION);
    log.information("Built on : May 16 2017");
    log.information("Host Name : " + Poco::Environment::nodeName());
    log.information("Running Sync Protocol Version: 2");
    log.information("Using Resource Path: " + resourcePath);
    log.information("Using Base Path: " + basePath);
    log.information("Using Sync Path: " + syncPath);

    Nuvaro::NuvaroDefaultCfg defaults;
    std::vector<std::string> keys;
    defaults.getAllKeys(keys);
    for (const std::string& key : keys)
        log.information("DefaultCfg: " + key + " ==> " + defaults.getExpandedString(key));

    Poco::ThreadPool::defaultPool().addCapacity(20);

    readOptions();
    log.information("Settings Path: " + syncPath);
    log.information("Settings ipcPort: " + options.ipcPort);

    if (!setupSyncDir(syncPath, resourcePath, false)) {
        log.information("Unable to setup sync folder: " + syncPath);
        throw Nuvaro::Exception("Unable to setup sync folder: " + syncPath);
    }
    options.syncLogFolder = basePath;

    openDatabases();
    updateIDs();
    logSettings();
    syncRealtimeJobs();
}

// The options table of syncclientconfig.xml. A missing file is created; an
// existing one that cannot be read stops the construction rather than being
// replaced by defaults (it may hold the user's folder locations).
void FSAppRunner::readOptions() {
    Nuvaro::Data::VariantRow row;
    std::string error;
    switch (readConfigFile(getConfigFilePath(), row, error)) {
    case ConfigFileState::Read:
        break;
    case ConfigFileState::Missing:
        syncLog().debug("Unable to read syncclientconfig.xml, creating one");
        row["syncfolderlocation"] = "DEFAULT";
        if (!row.write(getConfigFilePath()))
            syncLog().error("Unable to write syncclientconfig.xml: " + row.getLastError());
        break;
    case ConfigFileState::Unreadable:
        rootLog().error("Unable to read syncclientconfig.xml: " + error);
        throw Nuvaro::Exception("Unable to read syncclientconfig.xml: " + error);
    }

    auto present = [&row](const char* name) { return row.hasField(name); };
    auto text = [&row](const char* name) { return configText(row, name); };
    // A text option taken only when it is not empty.
    auto nonEmpty = [&](const char* name, std::string& field) {
        if (!text(name).empty())
            field = text(name);
    };
    auto boolean = [&](const char* name, bool& field) {
        if (present(name))
            field = row.getField(name).getBool();
    };
    auto integer = [&](const char* name, std::string& field) {
        if (present(name))
            field = std::to_string(row.getField(name).getInt());
    };

    nonEmpty("httpproxyhost", options.proxyHost);
    nonEmpty("httpproxyport", options.proxyPort);
    nonEmpty("httpproxyuser", options.proxyUser);
    nonEmpty("httpproxypassword", options.proxyPassword);
    integer("syncfrequency", options.syncFrequency);
    boolean("removeunshared", options.removeUnshared);
    if (present("skipregex"))
        options.skipRegex = text("skipregex");
    boolean("skipinusecheck", options.skipInUseCheck);
    boolean("skipnewfolders", options.skipNewFolders);
    boolean("skipdeleteapproval", options.skipDeleteApproval);
    boolean("advancedoffline", options.advancedOffline);
    integer("maxthreads", options.maxThreads);
    boolean("scanremotebeforebackup", options.scanRemoteBeforeBackup);
    nonEmpty("checkmodtime", options.checkModTime);
    nonEmpty("checkcrc", options.checkCRC);
    nonEmpty("checkcrcdocs", options.checkCRCDocs);
    nonEmpty("ipcport", options.ipcPort);
    nonEmpty("totalsecswithoutscan", options.totalSecsWithoutScan);
    nonEmpty("deleteapprovalpct", options.deleteApprovalPct);
    bool disableNotifications = false;
    boolean("disablenotifications", disableNotifications);
    notificationsDisabled = disableNotifications;
    if (present("excludepaths"))
        options.excludePaths = text("excludepaths");
    boolean("ignorefilechangenotifications", options.ignoreFileChangeNotifications);
}

void FSAppRunner::openDatabases() {
    syncDB.reset(new FSSyncDB());
    openPrivateDatabase(*syncDB, basePath + "/syncclient.db", "DB");
    syncDB->activityDeleteAllErrors(FSActivity::TypeError);
    syncDB->activityDeleteAllErrors(FSActivity::TypeSkippedLocal);
    rootLog().information("Cleaning DB Activity completed");

    offlineDB.reset(new FOOfflineDB());
    openPrivateDatabase(*offlineDB, basePath + "/offline.db", "Offline DB");
}

void FSAppRunner::logSettings() {
    Poco::Logger& log = rootLog();
    log.information(" === SETTINGS === ");
    log.information("SyncPath: " + syncPath);
    log.information("SyncDataPath: " + basePath);
    log.information("ProxyHost: " + options.proxyHost);
    log.information("ProxyPort: " + options.proxyPort);
    log.information("ProxyUser: " + options.proxyUser);
    log.information("SyncFrequency: " + options.syncFrequency);
    log.information("Remove Unshared: " + flag(options.removeUnshared));
    log.information("Check Mod Time: " + options.checkModTime);
    log.information("Check CRC: " + options.checkCRC);
    log.information("Check CRC Docs Only: " + options.checkCRCDocs);
    log.information("Skip Regex: " + options.skipRegex);
    log.information("Max Threads: " + options.maxThreads);
    log.information("Advanced Offline: " + flag(options.advancedOffline));
    log.information("Skip InUse Check: " + flag(options.skipInUseCheck));
    log.information("Skip NewFolders : " + flag(options.skipNewFolders));
    log.information("Skip Delete Approval Check: " + flag(options.skipDeleteApproval));
    log.information("Scan Remote Before Backup: " + flag(options.scanRemoteBeforeBackup));
    log.information("Total time without scan: " + options.totalSecsWithoutScan);
    log.information("Delete Approval Percent: " + options.deleteApprovalPct);
    log.information("Exclude Paths: " + options.excludePaths);
    log.information("Ignore File Change Notifications: " + flag(options.ignoreFileChangeNotifications));
    log.information(" === SETTINGS === ");
}

FSAppRunner::~FSAppRunner() {
    try {
        shutdown(true);
    } catch (...) {
    }
    if (syncDB)
        syncDB->closeDB();
    syncDB.reset();
    if (offlineDB)
        offlineDB->closeDB();
    offlineDB.reset();
}

std::string FSAppRunner::getConfigFilePath() {
    return "syncclientconfig.xml";
}

// ---- Identifiers and realtime jobs ----

void FSAppRunner::updateIDs() {
    std::string friendly = config("friendlyname");
    if (friendly.empty()) {
        friendly = friendlyNameFromHost(Poco::Environment::nodeName());
        syncDB->setConfigValue("config", "friendlyname", friendly);
    }
    std::string clientId = config("hostname");
    if (clientId.empty()) {
        clientId = newClientId();
        syncDB->setConfigValue("config", "hostname", clientId);
    }
    rootLog().information("Friendly Name: " + friendly);
    rootLog().information("Client ID: " + clientId);
}

void FSAppRunner::syncRealtimeJobs() {
    std::vector<boost::shared_ptr<FOOfflineJobData>> jobs;
    offlineDB->getAllFOJobRecord(jobs);
    std::vector<std::string> remotePaths;
    for (const boost::shared_ptr<FOOfflineJobData>& job : jobs) {
        if (job->schedule == "realtime")
            remotePaths.push_back(job->remotePath);
    }
    syncDB->updateExternalPaths(remotePaths);
}

std::string FSAppRunner::config(const std::string& name, const std::string& defaultValue) {
    return syncDB ? syncDB->getConfigValue("config", name, defaultValue) : defaultValue;
}

} // namespace Sync
} // namespace Nuvaro
