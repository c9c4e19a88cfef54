#include "LocalRequest.h"

#include "CloudPath.h"
#include "FSAppRunner.h"
#include "FSSyncDB.h"
#include "FSWebServerWorker.h"
#include "NuvaroException.h"
#include "RequestText.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/URI.h>

#include <climits>
#include <ostream>
#include <vector>

namespace Nuvaro {
namespace Sync {
namespace LocalRequest {

namespace {

// "//" read as "/", trailing "/" dropped (the root stays "/").
std::string normalisedPath(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/')
            continue;
        out += c;
    }
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

} // namespace

void readQuery(const Poco::Net::HTTPServerRequest& request, Poco::Net::HTMLForm& form) {
    Poco::URI uri(request.getURI());
    Poco::Net::HTTPRequest query(Poco::Net::HTTPRequest::HTTP_GET, "/form?" + uri.getRawQuery());
    form.load(query);
}

std::string queryValue(const Poco::Net::HTTPServerRequest& request, const std::string& key) {
    Poco::Net::HTMLForm form;
    readQuery(request, form);
    return form[key];
}

void sendText(Poco::Net::HTTPServerResponse& response, Poco::Net::HTTPResponse::HTTPStatus status,
              const std::string& contentType, const std::string& body) {
    response.setStatus(status);
    response.setContentType(contentType);
    response.setContentLength(static_cast<std::streamsize>(body.size()));
    response.send() << body;
}

namespace {

void reply(Poco::Net::HTTPServerResponse& response, Poco::Net::HTTPResponse::HTTPStatus status,
           const std::string& contentType, const std::string& body) {
    try {
        sendText(response, status, contentType, body);
    } catch (...) {
        logException("handleRequest");
    }
}

} // namespace

void sendNotFound(Poco::Net::HTTPServerResponse& response) {
    reply(response, Poco::Net::HTTPResponse::HTTP_NOT_FOUND, "text/html", "404 Sorry, Page Not Found!");
}

void sendForbidden(Poco::Net::HTTPServerResponse& response) {
    reply(response, Poco::Net::HTTPResponse::HTTP_FORBIDDEN, "text/html", "404 Sorry, Forbidden");
}

void sendBadRequest(Poco::Net::HTTPServerResponse& response) {
    reply(response, Poco::Net::HTTPResponse::HTTP_BAD_REQUEST, "text/html", "400 Sorry, Bad Request");
}

void sendXml(Poco::Net::HTTPServerResponse& response, const std::string& xml) {
    reply(response, Poco::Net::HTTPResponse::HTTP_OK, "text/xml", xml);
}

std::string commandReply(const std::string& type) {
    return "<commands><command><type>" + type + "</type><result>1</result><message></message></command></commands>";
}

void logException(const std::string& function) {
    Poco::Logger& log = Poco::Logger::root();
    try {
        throw;
    } catch (const Poco::Exception& e) {
        log.error("Caught Poco::Exception : " + e.displayText() + ": " + e.className() + " : " + e.message());
    } catch (const Nuvaro::Exception& e) {
        log.error(std::string("Caught Nuvaro::Exception : ") + e.what() + ": " + e.className() + " : " +
                  e.message());
    } catch (...) {
        log.error(function + "Unknown Exception caught : ");
    }
}

FSAppRunner& runner() {
    FSAppRunner* owner = gAppRunner.load();
    if (!owner)
        throw Nuvaro::Exception("The loopback endpoint has no application runner");
    return *owner;
}

bool withinPathLimit(const std::string& path) {
    return path.size() < PATH_MAX;
}

bool resolveInside(const std::string& path, const std::string& folder, bool folderItself, std::string& resolved) {
    if (!withinPathLimit(path))
        return false;
    std::string root = normalisedPath(folder);
    std::string candidate = normalisedPath(path);
    if (root.empty() || root[0] != '/' || candidate.empty() || candidate[0] != '/')
        return false;
    if (candidate == root) {
        if (!folderItself)
            return false;
        resolved = candidate;
        return true;
    }
    std::string prefix = root == "/" ? root : root + "/";
    if (candidate.compare(0, prefix.size(), prefix) != 0)
        return false;
    if (!CloudPath::isSoundRelativePath(candidate.substr(prefix.size())))
        return false;
    resolved = candidate;
    return true;
}

bool resolveLocalPath(FSAppRunner& owner, const std::string& path, bool syncFolderItself, bool quickEditRoot,
                      std::string& resolved) {
    if (resolveInside(path, owner.getSyncFolder(), syncFolderItself, resolved))
        return true;
    return quickEditRoot && !gWebEditPath.empty() && resolveInside(path, gWebEditPath, false, resolved);
}

std::string serverPathFor(FSAppRunner& owner, const std::string& resolvedLocalPath) {
    std::string root = normalisedPath(owner.getSyncFolder());
    if (resolvedLocalPath.size() <= root.size() + 1 || resolvedLocalPath.compare(0, root.size() + 1, root + "/") != 0)
        throw Nuvaro::Exception("Not a path in the sync folder: " + resolvedLocalPath);
    std::string relative = resolvedLocalPath.substr(root.size() + 1);
    Nuvaro::RecordList settings = owner.getSettings();
    std::string profile = settings.empty() ? std::string() : RequestText::recordValue(settings[0], "profile");
    return CloudPath::translateToRemotePath(profile, FSSyncDB::convertToStdPath(relative),
                                           owner.getNetworkFolderName(), owner.getTeamFolderName(),
                                           owner.getTeamFolderAccount(), false);
}

} // namespace LocalRequest
} // namespace Sync
} // namespace Nuvaro
