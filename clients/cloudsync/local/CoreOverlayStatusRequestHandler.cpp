#include "CoreOverlayStatusRequestHandler.h"

#include "FSAppRunner.h"
#include "FSWebServerWorker.h"
#include "LocalRequest.h"
#include "XmlText.h"

namespace Nuvaro {
namespace Sync {

namespace {

// The work stage: false for the forbidden reply; otherwise true with the
// state in `status`.
bool overlayStatus(Poco::Net::HTTPServerRequest& request, std::string& status) {
    FSAppRunner& runner = LocalRequest::runner();
    std::string path;
    if (!LocalRequest::resolveLocalPath(runner, LocalRequest::queryValue(request, "path"), true, true, path))
        return false;
    Poco::SharedPtr<Poco::ExpirationDecorator<std::string>> cached = gStatusCache.get(path);
    if (cached) {
        status = cached->value();
        return true;
    }
    status = runner.getOverlayForPath(path);
    gStatusCache.add(path, Poco::ExpirationDecorator<std::string>(status, gStatusCacheExpiryMs.load()));
    return true;
}

} // namespace

CoreOverlayStatusRequestHandler::~CoreOverlayStatusRequestHandler() = default;

void CoreOverlayStatusRequestHandler::handleRequest(Poco::Net::HTTPServerRequest& request,
                                                    Poco::Net::HTTPServerResponse& response) {
    std::string status;
    bool answered = false;
    try {
        answered = overlayStatus(request, status);
    } catch (...) {
        answered = false;
    }
    if (answered)
        LocalRequest::sendXml(response, "<overlays><overlay><status>" + xmlEscapeText(status) +
                                            "</status></overlay></overlays>");
    else
        LocalRequest::sendForbidden(response);
}

} // namespace Sync
} // namespace Nuvaro
