// NuvaroConnector: server information requests (status, authentication info,
// file info, access details, favourites, plugin list) and LAN detection.

#include "nuvarocbfs_Network.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Stopwatch.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>

#include <sstream>

namespace Nuvaro {

namespace {

Poco::Logger& rootLog() { return Poco::Logger::get("root"); }

const int INFO_TIMEOUT_SECONDS = 120;
const std::string LAN_INDEX_PATH = "/ui/core/index.html";

// A request that returns records: non-2xx answers and refusals are failures.
RequestSpec recordsSpec(const std::string& operation, const std::string& method, const std::string& path,
                        const std::string& recordName, int timeoutSeconds) {
    RequestSpec spec(operation, method, path);
    spec.recordName = recordName;
    spec.timeoutSeconds = timeoutSeconds;
    spec.statusRule = StatusRule::Success2xx;
    spec.detectRefusal = true;
    return spec;
}

} // namespace

bool NuvaroConnector::getServerStatus(RecordList& status, bool requireAuth) {
    Poco::Stopwatch watch;
    watch.start();
    RequestSpec spec = recordsSpec("getServerStatus", Poco::Net::HTTPRequest::HTTP_GET,
                                   NUVARO_GETSYSTEMSTATUS_COMMAND, STATUS_RECORD, 90);
    spec.statusRule = StatusRule::Only200;
    spec.traceRequest = false;
    spec.traceStatus = false;
    if (requireAuth) spec.notAuthenticatedText = "getServerStatus : Not authenticated. Cannot get server status";
    Reply reply;
    runRequest(spec, reply);
    if (reply.outcome != Reply::Outcome::NotSent && reply.outcome != Reply::Outcome::BadStatus) {
        watch.stop();
        rootLog().information("getServerStatus : Elapsed time = " + elapsedSeconds(watch) + " secs");
    }
    return recordsResult(reply, status);
}

bool NuvaroConnector::getAuthenticationInfo(bool& profileDiffers) {
    RequestSpec spec = recordsSpec("getAuthenticationInfo", Poco::Net::HTTPRequest::HTTP_GET,
                                   NUVARO_GETAUTHENTICATIONINFO_COMMAND, AUTHENTICATIONINFO_RECORD, 20);
    spec.exceptionLine("getAuthenticationInfo: Caught Exception ");
    spec.traceRequest = false;
    spec.traceStatus = false;
    Reply reply;
    if (!runRequest(spec, reply)) return false;
    if (reply.records.size() != 1) {
        rootLog().error("Unexpected XML response for getauthenticationinfo. Record count other than 1!");
        reply.handler->printParsedData();
        return false;
    }
    profileDiffers = recordValue(reply.records.front(), PROFILE_KEY) != setting(PROFILE_KEY);
    return true;
}

bool NuvaroConnector::getFileInfo(const std::string& path, Record& entry) {
    RequestSpec spec = recordsSpec("getFileInfo", Poco::Net::HTTPRequest::HTTP_GET, NUVARO_FILEINFO_COMMAND,
                                   ENTRY_RECORD, INFO_TIMEOUT_SECONDS);
    spec.notAuthenticatedText = "Not authenticated. Cannot get File info";
    spec.exceptionLine("getFileInfo");
    spec.traceRequest = false;
    spec.traceStatus = false;
    spec.field("file", path);
    Reply reply;
    if (!runRequest(spec, reply)) return false;
    if (reply.records.size() != 1) {
        rootLog().error(std::to_string(reply.records.size()) + " records received!");
        reply.handler->printParsedData();
        return false;
    }
    entry = reply.records.front();
    return true;
}

bool NuvaroConnector::getAccessDetailsForPath(const std::string& path, RecordList& permissions) {
    RequestSpec spec = recordsSpec("getAccessDetailsForPath", Poco::Net::HTTPRequest::HTTP_POST,
                                   NUVARO_GETACCESSDETAILSFORPATH_COMMAND, PERMISSION_RECORD, INFO_TIMEOUT_SECONDS);
    spec.notAuthenticatedText = "Not authenticated. Cannot get access details for path";
    spec.exceptionLine("getAccessDetailsForPath");
    spec.traceStatus = false;
    spec.field("fullpath", path);
    Reply reply;
    if (!runRequest(spec, reply)) return false;
    recordsResult(reply, permissions);
    reply.handler->printParsedData();
    return true;
}

// The three list requests that trace their record count.
namespace {

RequestSpec countedListSpec(const std::string& operation, const std::string& path, const std::string& recordName,
                            const std::string& notAuthenticatedText) {
    RequestSpec spec =
        recordsSpec(operation, Poco::Net::HTTPRequest::HTTP_GET, path, recordName, INFO_TIMEOUT_SECONDS);
    spec.notAuthenticatedText = notAuthenticatedText;
    return spec;
}

} // namespace

bool NuvaroConnector::getFavoritesInList(const std::string& id, RecordList& entries) {
    RequestSpec spec = countedListSpec("getFavoritesInList", NUVARO_GETFAVORITESINLIST_COMMAND, FAVORITEENTRY_RECORD,
                                       "Not authenticated. Cannot get favorites in list");
    spec.field("id", id).field("fc", "1");
    Reply reply;
    if (!runRequest(spec, reply)) return false;
    rootLog().trace(std::to_string(reply.records.size()) + " records received ");
    return recordsResult(reply, entries);
}

bool NuvaroConnector::getAllFavoriteLists(const std::string& type, RecordList& lists) {
    RequestSpec spec = countedListSpec("getAllFavoriteLists", NUVARO_GETALLFAVORITELISTS_COMMAND, FAVORITELIST_RECORD,
                                       "Not authenticated. Cannot get favorite lists");
    spec.field("type", type);
    Reply reply;
    if (!runRequest(spec, reply)) return false;
    rootLog().trace(std::to_string(reply.records.size()) + " records received ");
    return recordsResult(reply, lists);
}

bool NuvaroConnector::getInstalledPluginList(RecordList& plugins) {
    RequestSpec spec = countedListSpec("getInstalledPluginList", NUVARO_GETPLUGINLAUNCHLIST_COMMAND, PLUGIN_RECORD,
                                       "Not authenticated. Cannot get plugin list");
    Reply reply;
    if (!runRequest(spec, reply)) return false;
    rootLog().trace(std::to_string(reply.records.size()) + " records received ");
    return recordsResult(reply, plugins);
}

// Worked example: the server at https://files.example.com answers "/" with a
// 302 to https://192.168.1.20:443/ui/core/index.html; the address before that
// path, https://192.168.1.20:443, becomes the base of every later request.
// A Location that is relative, not http(s), or plain http for an https server
// changes nothing.
void NuvaroConnector::detectLan() {
    RequestSpec spec("detectLan", Poco::Net::HTTPRequest::HTTP_GET, "/");
    spec.timeoutSeconds = 20;
    Reply reply;
    runExchange(spec, reply, [&](Poco::Net::HTTPClientSession& session) {
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, "/", Poco::Net::HTTPMessage::HTTP_1_1);
        session.sendRequest(request);
        Poco::Net::HTTPResponse response;
        std::istream& body = session.receiveResponse(response);
        std::string discarded;
        Poco::StreamCopier::copyToString(body, discarded, 8192);
        if (response.getStatus() != Poco::Net::HTTPResponse::HTTP_FOUND || !response.has("Location")) return;

        std::string location = response.get("Location");
        rootLog().trace("detectLan : Got Redirect Location " + location);
        const auto cut = location.find(LAN_INDEX_PATH);
        if (cut != std::string::npos) location.erase(cut);
        if (location.empty()) return;

        std::string scheme;
        std::string host;
        try {
            const Poco::URI lanUri(location);
            scheme = lanUri.getScheme();
            host = lanUri.getHost();
        } catch (const Poco::SyntaxException&) {
        }
        const bool absolute = (scheme == "http" || scheme == "https") && !host.empty();
        const bool downgrade = scheme == "http" && Poco::URI(getServerURI()).getScheme() == "https";
        if (!absolute || downgrade) {
            rootLog().warning("detectLan : ignoring Redirect Location " + location +
                              (downgrade ? " (plain HTTP for an HTTPS server)" : " (not an absolute http(s) address)"));
            return;
        }
        m_lanDetected = true;
        m_lanURL = location;
        rootLog().trace("detectLan : using Redirect Location " + location);
    });
}

} // namespace Nuvaro
