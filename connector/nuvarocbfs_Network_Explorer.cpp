// NuvaroConnector: the remote file operations (existence test, create folder,
// delete, rename, copy, rename-or-move). Each is one form POST under
// "/app/explorer/" answered by one "command" record.

#include "nuvarocbfs_Network.h"

#include <Poco/Logger.h>

namespace Nuvaro {

namespace {

Poco::Logger& rootLog() { return Poco::Logger::root(); }

const int EXPLORER_TIMEOUT_SECONDS = 120;

// What every explorer command shares: a POST of a "command" reply with a
// 120-second timeout that starts by emptying the last error.
RequestSpec explorerSpec(const std::string& operation, const std::string& path, const std::string& notAuthenticated) {
    RequestSpec spec = postSpec(operation, path, EXPLORER_TIMEOUT_SECONDS, COMMAND_RECORD, notAuthenticated);
    spec.clearLastError = true;
    return spec;
}

} // namespace

// The server answers the question in "message" ("1": something is there).
// A record with result "1" and any other message is a definite "absent" and
// leaves the last error empty; everything else (not logged in, no reply,
// refusal, unexpected reply) is "could not ask" and leaves a reason, because
// callers create or rename remote folders when the item is absent.
bool NuvaroConnector::remoteFileExists(const std::string& path) {
    RequestSpec spec = explorerSpec("remoteFileExists", NUVARO_PATHEXISTS_COMMAND,
                                    "remoteFileExists : Not authenticated. Cannot check remote path");
    spec.field("file", path);
    Reply reply;
    runRequest(spec, reply);
    const Record* record = singleCommandRecord(reply, CommandRule{});
    if (!record) {
        keepFailureReason(reply);
        return false;
    }
    const std::string result = recordValue(*record, RESULT_KEY);
    const std::string message = recordValue(*record, MESSAGE_KEY);
    if (message == SUCCESS_VALUE) {
        rootLog().trace("Remote " + path + " Exists!");
        return true;
    }
    if (result == SUCCESS_VALUE) {
        rootLog().error("remoteFileExists: Remote Path Doesn't Exist. " + path + " result=" + result +
                        " message: " + message);
        return false;
    }
    rootLog().error("remoteFileExists: Existence check refused. " + path + " result=" + result +
                    " message: " + message);
    m_lastError = message.empty() ? "Existence check refused by server, result=" + result : message;
    return false;
}

bool NuvaroConnector::createRemoteFolder(const std::string& name, const std::string& parentPath) {
    RequestSpec spec = explorerSpec("createRemoteFolder", NUVARO_CREATEFOLDER_COMMAND,
                                    "Not authenticated. Cannot create remote folder");
    spec.field("path", parentPath).field("name", name);
    return runCommand(spec, CommandRule{"Folder " + name + " in Path " + parentPath + " create Successful!",
                                        "createRemoteFolder: Folder create failed. "});
}

bool NuvaroConnector::deleteRemoteFile(const std::string& parentPath, const std::string& name) {
    RequestSpec spec = explorerSpec("deleteRemoteFile", NUVARO_DELETE_COMMAND,
                                    "Not authenticated. Cannot get delete remote file");
    spec.field("path", parentPath).field("name", name);
    CommandRule rule{"Delete of file " + name + " in folder " + parentPath + " Successful!",
                     "deleteRemoteFile: Delete failed. "};
    rule.printUnexpected = true;
    return runCommand(spec, rule);
}

// Goes out as HTTP/1.0 with the HTTP library's default timeout, and traces the
// configured server address even while a LAN address is in use. A refusal is
// logged at trace level only, but its message is kept as the last error like
// that of every other command.
bool NuvaroConnector::renameRemoteFile(const std::string& parentPath, const std::string& name,
                                       const std::string& newName) {
    RequestSpec spec = explorerSpec("renameRemoteFile", NUVARO_RENAME_FILE_COMMAND,
                                    "Not authenticated. Cannot rename or move file");
    spec.timeoutSeconds = 0;
    spec.httpVersion = Poco::Net::HTTPMessage::HTTP_1_0;
    spec.field("path", parentPath).field("name", name).field("newname", newName);
    spec.traceRequestWith = [this](const std::string& body) {
        rootLog().trace(setting(URL_KEY) + NUVARO_RENAME_FILE_COMMAND);
        rootLog().trace(body);
    };
    spec.exceptionLine("");
    return runCommand(spec, CommandRule{"Rename Item Successful!", "Rename Item failed. ", Poco::Message::PRIO_TRACE});
}

bool NuvaroConnector::copyRemoteFile(const std::string& parentPath, const std::string& name,
                                     const std::string& copyTo) {
    RequestSpec spec =
        explorerSpec("copyRemoteFile", NUVARO_COPYFILE_COMMAND, "Not authenticated. Cannot copy file");
    spec.field("path", parentPath).field("name", name).field("copyto", copyTo);
    spec.traceRequestWith = traceTargetThenBody(NUVARO_COPYFILE_COMMAND);
    return runCommand(spec, CommandRule{"Copy  File " + name + " in folder " + parentPath + " to " + copyTo +
                                            " Successful!",
                                        "copyRemoteFile: Copy failed. ", Poco::Message::PRIO_TRACE});
}

// "overwrite" is sent only when asked for, and then always as "1".
bool NuvaroConnector::renameOrMoveRemoteFile(const std::string& fromName, const std::string& toName,
                                             bool overwrite) {
    RequestSpec spec = explorerSpec("renameOrMoveRemoteFile", NUVARO_RENAME_COMMAND,
                                    "Not authenticated. Cannot rename or move file");
    spec.field("fromname", fromName).field("toname", toName);
    if (overwrite) spec.field("overwrite", "1");
    CommandRule rule{"Rename or Move of File " + fromName + " to " + toName + " Successful!",
                     "renameOrMoveRemoteFile: Rename or Move failed. "};
    rule.printUnexpected = true;
    return runCommand(spec, rule);
}

} // namespace Nuvaro
