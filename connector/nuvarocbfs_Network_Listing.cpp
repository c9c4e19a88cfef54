// NuvaroConnector: the listing of one server folder, as records
// (getFileList) or as the raw reply text (getFileListStr).

#include "nuvarocbfs_Network.h"

#include <Poco/Logger.h>
#include <Poco/Stopwatch.h>

namespace Nuvaro {

namespace {

Poco::Logger& rootLog() { return Poco::Logger::root(); }

const int LISTING_TIMEOUT_SECONDS = 300;
const std::string NO_AUTHENTICATION_ERROR = "Failed: No Authentication to get filelist";
const std::string LISTING_FAILED_ERROR = "Failed getFileList: ";

} // namespace

// Only a complete, successful answer counts: a non-2xx status, a refusing
// "command" record or a reply cut short fails with a reason instead of looking
// like an empty folder, because the jobs delete local files that an empty
// listing says are gone. The reason goes to error; the last error is not
// touched.
RequestSpec NuvaroConnector::fileListSpec(const std::string& operation, const std::string& path, int showHidden,
                                          bool fc) const {
    RequestSpec spec = postSpec(operation, NUVARO_GETFILELIST_COMMAND, LISTING_TIMEOUT_SECONDS, "",
                                "Not authenticated. Cannot get File list");
    spec.field("path", path).field("showhidden", std::to_string(showHidden));
    if (fc) spec.field("fc", "1");
    spec.acceptGzip = true;
    spec.statusRule = StatusRule::Success2xx;
    spec.traceStatus = false;
    spec.lastErrorUntouched = true;
    spec.exceptionLine(operation);
    return spec;
}

// The reason of a failed listing, in the caller's error text.
std::string NuvaroConnector::fileListError(const Reply& reply) {
    if (reply.outcome == Reply::Outcome::NotSent && !m_authenticated) return NO_AUTHENTICATION_ERROR;
    return LISTING_FAILED_ERROR + failureReason(reply);
}

bool NuvaroConnector::getFileList(const std::string& path, RecordList& entries, RecordList& metaRecords,
                                  std::string& error, int showHidden, bool fc) {
    Poco::Stopwatch watch;
    watch.start();
    RequestSpec spec = fileListSpec("getFileList", path, showHidden, fc);
    spec.recordName = ENTRY_RECORD;
    spec.detectRefusal = true;
    Reply reply;
    const bool ok = runRequest(spec, reply);
    if (!ok) {
        error = fileListError(reply);
        if (reply.outcome == Reply::Outcome::NotSent) return false;
    } else {
        entries = reply.records;
        metaRecords = reply.handler->getMetaData();
        rootLog().debug("getFileList : [" + path + "] : " + std::to_string(entries.size()) + " records received ");
    }
    watch.stop();
    rootLog().information("getFileList : [" + path + "] :  Elapsed time = " + elapsedSeconds(watch) + " secs");
    return ok;
}

bool NuvaroConnector::getFileListStr(const std::string& path, std::string& xml, std::string& error, int showHidden,
                                     bool fc) {
    Reply reply;
    if (!runRequest(fileListSpec("getFileListStr", path, showHidden, fc), reply)) {
        error = fileListError(reply);
        return false;
    }
    xml = reply.body;
    return true;
}

} // namespace Nuvaro
