#pragma once

// One network-folder or backup job: one row of the OFFLINEFOLDERS table of the
// job database (offline.db). The job manager takes copies, the job database
// writes from a pointer and reads into shared pointers.

#include <string>

namespace Nuvaro {
namespace Sync {

// A plain, copyable value: no lock. A record belongs to the one thread that
// handles it at a time; copies are member-wise.
//
// `localLinkPath` is the job's key: at most one job per local folder, in the
// database and in the job manager.
//
// `schedule` says when the job runs: "manual" (only when the user asks for
// all manual jobs), "realtime" (never run as a job: the main sync handles
// such a network folder), or an interval measured from `lastRun`: "30m",
// "1h", "2h", "4h", "8h", "24h"; any other text is an interval of 1000 hours.
class FOOfflineJobData {
public:
    // Values of `syncType`.
    static constexpr int TYPE_UNSET = -1;           // a record built empty: neither kind of job
    static constexpr int TYPE_NETWORK_FOLDER = 0;   // mirrored both ways
    static constexpr int TYPE_BACKUP = 1;           // uploaded only

    // Empty strings, syncType TYPE_UNSET, every flag false. A caller sets at
    // least the key, the remote path, the type and the schedule before it
    // stores or runs the record.
    FOOfflineJobData();
    FOOfflineJobData(const std::string& remotePath, const std::string& localLinkPath, int syncType, bool recurse,
                     const std::string& schedule, const std::string& lastRun, bool remoteDelete, bool sendEmail);
    virtual ~FOOfflineJobData();

    FOOfflineJobData(const FOOfflineJobData&) = default;
    FOOfflineJobData& operator=(const FOOfflineJobData&) = default;

    std::string remotePath;     // REMOTEPATH: server path of the job's remote folder
    std::string localLinkPath;  // LOCALLINKPATH: the job's local folder; the key
    int syncType;               // SYNCTYPE: TYPE_NETWORK_FOLDER or TYPE_BACKUP
    bool recurse;               // RECURSE: subfolders are included
    std::string schedule;       // SCHEDULE: see the class comment
    // LASTRUN: UTC time at which the last run completed, sortable text
    // ("2020-01-31 08:05:09"); empty when the job has never run.
    std::string lastRun;
    bool remoteDelete;          // REMOTEDELETE: local deletions of a network folder are made on the server
    bool sendEmail;             // SENDEMAIL: the backup record asks the server to send a mail
};

} // namespace Sync
} // namespace Nuvaro
