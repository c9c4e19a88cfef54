#include "CoreGetShareLink.h"

#include "FSAppRunner.h"
#include "LocalLogin.h"
#include "LocalRequest.h"
#include "NuvaroUtil.h"
#include "RequestText.h"
#include "UIEvent.h"
#include "XmlText.h"

#include <Poco/Logger.h>

namespace Nuvaro {
namespace Sync {

namespace {

// The work stage: false for the forbidden reply; otherwise true with the
// share link in `url` (empty when none was made).
bool makeShareLink(Poco::Net::HTTPServerRequest& request, std::string& url) {
    FSAppRunner& runner = LocalRequest::runner();
    std::string resolved;
    if (!LocalRequest::resolveLocalPath(runner, LocalRequest::queryValue(request, "path"), false, false, resolved))
        return false;
    std::string serverPath = LocalRequest::serverPathFor(runner, resolved);
    if (serverPath.empty()) {
        uiPostEvent(static_cast<uiEventType>(4), "", 1);
        return true;
    }
    std::unique_ptr<Nuvaro::NuvaroConnector> connector = LocalLogin::connect(runner, "Cloud Connector");
    if (!connector->isAuthenticated()) {
        if (!LocalLogin::reportRefusedLogin(*connector, "Authentication Failed or bad 2FA code or Bad Dev Auth Code"))
            Poco::Logger::root().error("Login Failed");
        return false;
    }
    Nuvaro::RecordList shares;
    if (!connector->quickShare(serverPath, shares) || shares.empty())
        return true;
    url = RequestText::recordValue(shares[0], "shareurl");
    if (url.empty()) {
        uiPostEvent(static_cast<uiEventType>(4), "", 1);
        return true;
    }
    std::string name, folder;
    Nuvaro::Util::splitFolder(resolved, name, folder);
    uiPostEvent(static_cast<uiEventType>(5), url, 0);
    uiPostEvent(static_cast<uiEventType>(4), name, 1);
    return true;
}

} // namespace

CoreGetShareLink::~CoreGetShareLink() = default;

void CoreGetShareLink::handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
    std::string url;
    bool answered = false;
    try {
        answered = makeShareLink(request, url);
    } catch (...) {
        answered = false;
    }
    if (answered)
        LocalRequest::sendXml(response, "<sharelink><share><url>" + xmlEscapeText(url) + "</url></share></sharelink>");
    else
        LocalRequest::sendForbidden(response);
}

} // namespace Sync
} // namespace Nuvaro
