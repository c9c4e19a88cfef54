// NuvaroConnector: lock, unlock and quick share of a server path, for the
// desktop integration's handlers.

#include "nuvarocbfs_Network.h"

#include <Poco/Logger.h>

namespace Nuvaro {

namespace {

const int LOCK_SHARE_TIMEOUT_SECONDS = 90;

RequestSpec lockShareSpec(const std::string& operation, const std::string& path, const std::string& recordName,
                          const std::string& notAuthenticated) {
    RequestSpec spec = postSpec(operation, path, LOCK_SHARE_TIMEOUT_SECONDS, recordName, notAuthenticated);
    spec.traceStatus = false;
    return spec;
}

// Lock and unlock trace the whole reply, log an exchange failure as
// "lockFile [text]", and are silent about a refusal: the caller reads and
// reports getLastError().
RequestSpec lockSpec(const std::string& operation, const std::string& path, const std::string& notAuthenticated) {
    RequestSpec spec = lockShareSpec(operation, path, COMMAND_RECORD, notAuthenticated);
    spec.traceBodyPrefix = operation + " : DATA = ";
    spec.exceptionLine(operation + " [", "]");
    return spec;
}

// No failure text: a refusal is not logged; zero or several records neither.
CommandRule quietCommandRule(const std::string& successText) {
    CommandRule rule{successText};
    rule.logUnexpected = false;
    return rule;
}

} // namespace

bool NuvaroConnector::lockFile(const std::string& path, int readLock) {
    RequestSpec spec = lockSpec("lockFile", NUVARO_LOCK_FILE_COMMAND, "Not authenticated. Cannot lock file");
    spec.field("path", path).field("readlock", std::to_string(readLock));
    return runCommand(spec, quietCommandRule(path + " : lock successful!"));
}

bool NuvaroConnector::unlockFile(const std::string& path) {
    RequestSpec spec = lockSpec("unlockFile", NUVARO_UNLOCK_FILE_COMMAND, "Not authenticated. Cannot unlock file");
    spec.field("path", path);
    return runCommand(spec, quietCommandRule("Unlock successful!"));
}

// Any parsed reply is an answer: its "share" records (possibly none) replace
// shares.
bool NuvaroConnector::quickShare(const std::string& path, RecordList& shares) {
    RequestSpec spec = lockShareSpec("quickShare", NUVARO_QUICKSHARE, QUICKSHARE_RECORD, "Not authenticated. Cannot Share");
    spec.field("sharelocation", path);
    spec.exceptionLine("quickShare");
    Reply reply;
    runRequest(spec, reply);
    return recordsResult(reply, shares);
}

} // namespace Nuvaro
