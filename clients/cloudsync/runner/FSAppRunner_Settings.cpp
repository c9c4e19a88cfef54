// FSAppRunner: the settings list every worker and connector is built from,
// and storing a new account with its secret.

#include "FSAppRunner.h"

#include "NuvaroUtil.h"
#include "ProductGlobals.h"
#include "SettingsCipher.h"
#include "UIEvent.h"

#include <Poco/Environment.h>
#include <Poco/UUIDGenerator.h>

namespace Nuvaro {
namespace Sync {

namespace {

std::string newRandomId() {
    return Poco::UUIDGenerator::defaultGenerator().createRandom().toString();
}

// A value of the map, "" when absent (read with find: the map is shared).
std::string valueOf(const Nuvaro::Record& map, const std::string& key) {
    if (!map)
        return std::string();
    auto found = map->find(key);
    return found == map->end() ? std::string() : found->second;
}

std::string flag(bool value) {
    return value ? "1" : "0";
}

} // namespace

// Keys of the map, in the order they are filled, with their source:
//   url, profile, loginmode                          stored ("")
//   devauthcode    the deciphered secret when loginmode is "1" (else absent)
//   password       the deciphered secret otherwise; without ENC and SALT the
//                  stored clear password of older versions ("")
//   sha1password, remoteans, hostname, friendlyname, os   stored ("")
//   disablemyfiles ("0"), networkfoldername ("Network Folders"),
//   teamfoldername ("Team Folders"), teamfolderaccount (""),
//   uploadrestrictions ("php|php5"), disabledotdot ("1"), disablesync ("0")
//                                                    stored (default)
//   RMC_CLIENT_ID, RMC_CLIENT_DISP_NAME              stored, created when missing
//   RMC_CLIENT_APP_VERSION, RMC_CLIENT_OS_TYPE, RMC_CLIENT_OS_VERSION
//                                                    this program and system
//   httpproxyhost, httpproxyport     options, when both are set (else absent)
//   httpproxyuser, httpproxypassword options, when these two are set too
//   checkmodtime, checkcrc, checkcrcfordocs, ipcport  options
//   syncfrequency                    option, when set (else absent)
//   removeunshared, skipregex, maxthreads, skipnewfolders, skipinusecheck,
//   skipdeleteapproval, scanremotebeforebackup, totalsecswithoutscan,
//   deleteapprovalpct, excludepaths, ignorefilechangenotifications  options
Nuvaro::RecordList FSAppRunner::getSettings() {
    Nuvaro::Record map(new std::map<std::string, std::string>());
    Nuvaro::RecordList settings{map};
    if (!syncDB)
        return settings;
    std::map<std::string, std::string>& m = *map;

    m["url"] = config("url");
    m["profile"] = config("profile");
    m["loginmode"] = config("loginmode");
    const std::string enciphered = config("ENC");
    const std::string salt = config("SALT");
    if (!enciphered.empty() && !salt.empty()) {
        if (m["loginmode"] == "1")
            m["devauthcode"] = decryptAES(enciphered, salt);
        else
            m["password"] = decryptAES(enciphered, salt);
    } else {
        m["password"] = config("password");
    }
    m["sha1password"] = config("sha1password");
    m["remoteans"] = config("remoteans");
    m["hostname"] = config("hostname");
    m["friendlyname"] = config("friendlyname");
    m["os"] = config("os");
    m["disablemyfiles"] = config("disablemyfiles", "0");
    m["networkfoldername"] = config("networkfoldername", "Network Folders");
    m["teamfoldername"] = config("teamfoldername", "Team Folders");
    m["teamfolderaccount"] = config("teamfolderaccount");
    m["uploadrestrictions"] = config("uploadrestrictions", "php|php5");
    m["disabledotdot"] = config("disabledotdot", "1");
    m["disablesync"] = config("disablesync", "0");
    {
        std::lock_guard<std::mutex> lock(idMutex);
        if (!syncDB->doesConfigExist("config", "RMC_CLIENT_ID"))
            syncDB->setConfigValue("config", "RMC_CLIENT_ID", newRandomId());
        if (!syncDB->doesConfigExist("config", "RMC_CLIENT_DISP_NAME"))
            syncDB->setConfigValue("config", "RMC_CLIENT_DISP_NAME", "Cloud Sync");
    }
    m["RMC_CLIENT_ID"] = config("RMC_CLIENT_ID");
    m["RMC_CLIENT_DISP_NAME"] = config("RMC_CLIENT_DISP_NAME");
    m["RMC_CLIENT_APP_VERSION"] = CLIENT_VERSION;
    m["RMC_CLIENT_OS_TYPE"] = Poco::Environment::osName();
    m["RMC_CLIENT_OS_VERSION"] = Poco::Environment::osVersion();
    if (!options.proxyHost.empty() && !options.proxyPort.empty()) {
        m["httpproxyhost"] = options.proxyHost;
        m["httpproxyport"] = options.proxyPort;
        if (!options.proxyUser.empty() && !options.proxyPassword.empty()) {
            m["httpproxyuser"] = options.proxyUser;
            m["httpproxypassword"] = options.proxyPassword;
        }
    }
    m["checkmodtime"] = options.checkModTime;
    m["checkcrc"] = options.checkCRC;
    m["checkcrcfordocs"] = options.checkCRCDocs;
    m["ipcport"] = options.ipcPort;
    if (!options.syncFrequency.empty())
        m["syncfrequency"] = options.syncFrequency;
    m["removeunshared"] = flag(options.removeUnshared);
    m["skipregex"] = options.skipRegex;
    m["maxthreads"] = options.maxThreads;
    m["skipnewfolders"] = flag(options.skipNewFolders);
    m["skipinusecheck"] = flag(options.skipInUseCheck);
    m["skipdeleteapproval"] = flag(options.skipDeleteApproval);
    m["scanremotebeforebackup"] = flag(options.scanRemoteBeforeBackup);
    m["totalsecswithoutscan"] = options.totalSecsWithoutScan;
    m["deleteapprovalpct"] = options.deleteApprovalPct;
    m["excludepaths"] = options.excludePaths;
    m["ignorefilechangenotifications"] = flag(options.ignoreFileChangeNotifications);
    return settings;
}

void FSAppRunner::setSettings(Nuvaro::RecordList& settings) {
    std::unique_lock<std::mutex> lock = lockLifecycle(false);
    shutdownLocked(true);
    if (!syncDB)
        return;
    const Nuvaro::Record map = settings.empty() ? Nuvaro::Record() : settings[0];

    if (config("hostname").empty() || config("friendlyname").empty())
        updateIDs();
    const std::string storedProfile = config("profile");
    const std::string storedUrl = config("url");
    if (!storedProfile.empty() && (valueOf(map, "profile") != storedProfile || valueOf(map, "url") != storedUrl))
        forgetLocalSyncState();

    if (!valueOf(map, "friendlyname").empty())
        syncDB->setConfigValue("config", "friendlyname", valueOf(map, "friendlyname"));
    syncDB->setConfigValue("config", "url", valueOf(map, "url"));
    syncDB->setConfigValue("config", "profile", valueOf(map, "profile"));
    storeSecret(map);
    for (const char* key : {"remoteans", "os", "loginmode", "disablemyfiles", "networkfoldername", "teamfoldername",
                            "teamfolderaccount", "disablesync"})
        syncDB->setConfigValue("config", key, valueOf(map, key));

    startupLocked();
    uiPostEvent(static_cast<uiEventType>(16), "", 0);
}

// Another account or server: what this client knows of the old one's files
// must not be mixed with the new one's.
void FSAppRunner::forgetLocalSyncState() {
    std::vector<std::string> folders;
    syncDB->getSyncFolders(folders);
    for (const std::string& folder : folders)
        forgetSyncFolder(folder);
    syncDB->activityDeleteAll();
    syncDB->clearAllLimitPaths();
    syncDB->setConfigValue("APP", "LIMITSYNC", "0");
    offlineDB->deleteAllJobRecords();
}

// The secret is stored only enciphered, under a salt that is new at every
// save. A clear password that an older version stored is emptied once the
// enciphered one is in place.
void FSAppRunner::storeSecret(const Nuvaro::Record& map) {
    std::string secret;
    if (valueOf(map, "loginmode") == "1") {
        syncDB->setConfigValue("config", "sha1password", "");
        secret = valueOf(map, "devauthcode");
    } else if (!valueOf(map, "password").empty()) {
        secret = valueOf(map, "password");
        syncDB->setConfigValue("config", "sha1password", Nuvaro::Util::getSHA1Hash(secret));
    } else {
        syncDB->setConfigValue("config", "sha1password", valueOf(map, "sha1password"));
        syncDB->setConfigValue("config", "SALT", "");
        syncDB->setConfigValue("config", "ENC", "");
        return;
    }
    const std::string salt = newRandomId();
    const std::string enciphered = encryptAES(secret, salt);
    syncDB->setConfigValue("config", "SALT", salt);
    syncDB->setConfigValue("config", "ENC", enciphered);
    if (!enciphered.empty() && syncDB->doesConfigExist("config", "password"))
        syncDB->setConfigValue("config", "password", "");
}

} // namespace Sync
} // namespace Nuvaro
