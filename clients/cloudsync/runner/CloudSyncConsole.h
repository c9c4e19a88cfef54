#pragma once

// CloudSyncConsole: the start-up of the console program, step by step, after
// the banner. It reads the two configuration files beside the program, sets
// up TLS, prepares the data folder and takes its lock (one process per data
// folder, DataFolderLock), constructs the application runner, logs in on the
// first run and checks the server, refreshes the server status, stores the
// selective-sync folders, brings the configured jobs into the job database,
// starts the workers and then waits until a stop signal ends the program in
// order.
//
// Every start-up failure prints one line on the console and ends with exit
// code 1; a stop signal ends it with exit code 0 (at the next step, or at
// once while it waits). Console lines, in the order they can appear:
//   "Warning: syncconconfig.xml holds the account password and other users
//    can read it. Make it private: chmod 600 <path>"         (goes on)
//   "Error: Failed to read syncconconfig.xml "
//   "Error: Failed to read syncclientconfig.xml <reason>"    (never replaced)
//   "Error: Invalid proxy setting in syncclientconfig.xml: <reason>"
//   "Error: Failed to create data directory.. Exiting Application <path>"
//   "Error: Another Cloud Sync Client (process <pid>) is already running on
//    the data directory: <path>"        (" (process <pid>)" when it is known)
//   "Error: Failed to lock the data directory: <path>/syncclient.lock:
//    <reason>"
//   "Error: <the runner's reason>": the database cannot be opened ("Failed
//    opening DB: <path> <reason>") or the sync folder cannot be set up
//    ("Unable to setup sync folder: <path>"); the runner logs it too
//   "Warning: The data folder <path> belongs to account <stored account> on
//    <stored server>; the account <account> on <url> in syncconconfig.xml is
//    not used. Another account needs its own data folder and sync folder
//    (syncclientlocation and syncfolderlocation in syncclientconfig.xml)."
//                                                            (goes on)
//   "Error: Invalid server URL in syncconconfig.xml: <url> (<reason>)"
//   "Error: No password in syncconconfig.xml for account <account>"
//   "Failed to connect to Vaultpine Server. <the server's or network's error>"
//   "Error: Failed to get server status "
//   "Failed to connect to Vaultpine Server. Not a valid Cloud Server."
//   "Error: Invalid Username Specified, Login with your email address failed! "
//   "Failed to connect to Vaultpine Server. Verify that the sync app is
//    installed on the server"
//   "Sync Setup Complete..."
//   "New Password Stored..."        (a new password in syncconconfig.xml)
//   "Using Selective Sync: <folder>"                         (one per folder)
//   "ERROR: BAD offline_folder_count : <text>"
//   "ERROR: Missing Offline Folder Entry : offline_folder_<n>"
//   "ERROR: BAD Number of Params with Offline Folder Entry"
//   "ERROR: BAD Job Type with Offline Folder Entry : offline_folder_<n>"
//   "Deleting Offline Folder: ", "Updating Offline Folder: ",
//   "Adding New Offline Folder: " + local + " <--> " + remote
//   "Starting Sync..."
//   "Error: The server refused the login: <reason>. Sync waits until a login
//    succeeds; ..."  (while running, once until a login succeeds again;
//                     LoginRefusalNotice)
//   "Local deletions held back: <n> of <total> synced files (<p>%) ... set
//    the option skipdeleteapproval to 1 ..."  (while it runs, from the sync
//    worker: when the hold starts and when its count changes)
//   "Stopping Sync..."                                       (on a stop signal)
//
// Runs on the main thread; the stop signals arrive on the watcher's thread,
// which shuts the runner down (FSAppRunner::shutdownForExit) while this
// thread goes on to its next step and returns.

#include "DataFolderLock.h"
#include "FSAppRunner.h"
#include "StopSignalWatcher.h"
#include "VariantRow.h"

#include <memory>
#include <ostream>
#include <string>

namespace Nuvaro {
namespace Sync {

class CloudSyncConsole {
public:
    // resourcePath: the executable's folder, already the working directory.
    CloudSyncConsole(const std::string& resourcePath, std::ostream& console, StopSignalWatcher& stops);

    // Runs the start-up and, once started, waits for a stop signal. Returns
    // the exit code: 1 after a start-up failure, 0 after a stop.
    int run();

private:
    // The steps; each returns false after printing its failure line.
    bool readConnectionConfig();
    bool readClientConfig();
    bool prepareDataFolder();
    bool lockDataFolder(DataFolderLock& lock);
    // The account of the data folder against syncconconfig.xml (see the
    // .cpp): the first run's login, a new password's login, or one line when
    // another account or server is configured.
    bool checkAccount(FSAppRunner& runner);
    // How a login with the configured account and password ended.
    enum class ConfiguredLogin { Stored, Failed, AnotherAccount };
    // Logs in with the configured account and password on the settings
    // list, checks the server and stores the account (setSettings).
    // storedProfile: "" on the first run; otherwise the account the login
    // must turn out to be (AnotherAccount, nothing stored, when it is not).
    // Failed: its line was printed.
    ConfiguredLogin logInWithConfiguration(FSAppRunner& runner, Nuvaro::RecordList& settings,
                                           const std::string& storedProfile);
    // The line saying that the configured account or server is not used.
    void printAccountNotUsed(const std::string& storedProfile, const std::string& storedUrl);
    void applySelectiveSync(FSAppRunner& runner);
    bool applyJobEntries(FSAppRunner& runner);
    // The part of run() that needs the runner.
    int runWithRunner(FSAppRunner& runner);

    bool fail(const std::string& line);
    int stopped();
    // A value of syncconconfig.xml, "" when absent.
    std::string connectionValue(const std::string& name) const;

    const std::string resourcePath;
    std::ostream& console;
    StopSignalWatcher& stops;

    Nuvaro::Data::VariantRow connectionConfig;
    std::string dataFolder;
    std::string syncFolder;
    std::string logLevel = "trace";
    std::string tlsLevel = "TLSV1_CLIENT_USE";
};

} // namespace Sync
} // namespace Nuvaro
