// NuvaroConnector: fetching and acknowledging the remote-management commands
// queued on the server for this client installation ("RMC_CLIENT_ID").

#include "nuvarocbfs_Network.h"

#include <Poco/Logger.h>

namespace Nuvaro {

namespace {

const int RMC_TIMEOUT_SECONDS = 120;

RequestSpec rmcSpec(const std::string& operation, const std::string& path, const std::string& recordName) {
    return postSpec(operation, path, RMC_TIMEOUT_SECONDS, recordName,
                    operation + " : Not authenticated. Cannot get rmc status");
}

// The "rid" of every record in order, joined by "#": rids 12, 13 and 20 give
// "12#13#20"; a record without "rid" leaves an empty element ("12##20").
std::string joinedRids(const RecordList& commands) {
    std::string rids;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        if (i > 0) rids += "#";
        if (commands[i]) {
            auto it = commands[i]->find(RMC_COMMAND_RID_KEY);
            if (it != commands[i]->end()) rids += it->second;
        }
    }
    return rids;
}

} // namespace

bool NuvaroConnector::getAndAckRmcCommands(RecordList& commands) {
    if (!getRmcCommands(commands)) return false;
    return ackRmcCommands(commands);
}

// A reply that refuses the fetch (an error status, or a "command" record where
// "rmc_command" records were expected) is a failure, never "no commands": the
// poller must not take a refused session for an empty queue.
bool NuvaroConnector::getRmcCommands(RecordList& commands) {
    RequestSpec spec = rmcSpec("getRmcCommands", NUVARO_GET_RMC_COMMANDS, RMC_COMMAND_RECORD);
    spec.field("remote_client_id", setting(RMC_CLIENT_ID));
    spec.statusRule = StatusRule::Success2xx;
    spec.detectRefusal = true;
    spec.traceRequest = false;
    spec.traceStatus = false;
    Reply reply;
    if (!runRequest(spec, reply)) {
        keepFailureReason(reply);
        return false;
    }
    commands = reply.records;
    return true;
}

// An empty list is acknowledged at once, without a request.
bool NuvaroConnector::ackRmcCommands(const RecordList& commands) {
    if (commands.empty()) return true;
    RequestSpec spec = rmcSpec("ackRmcCommands", NUVARO_ACK_RMC_COMMANDS, COMMAND_RECORD);
    spec.field("command_rids", joinedRids(commands)).field("remote_client_id", setting(RMC_CLIENT_ID));
    spec.traceRequestWith = traceTargetThenBody(NUVARO_ACK_RMC_COMMANDS);
    Reply reply;
    runRequest(spec, reply);
    if (commandResult(reply, CommandRule{"", "ackRmcCommands: Rmc Command ack failed. "})) return true;
    keepFailureReason(reply);
    return false;
}

} // namespace Nuvaro
