#include "RequestHandlerFactory.h"

#include "Core404RequestHandler.h"
#include "CoreFileBrowser.h"
#include "CoreFileChanged.h"
#include "CoreGetShareLink.h"
#include "CoreLock.h"
#include "CoreRefusalHandler.h"
#include "CoreOverlayStatusRequestHandler.h"
#include "CoreStatusRequestHandler.h"
#include "CoreSyncNow.h"
#include "CoreUnlock.h"
#include "CoreViewWebFile.h"
#include "CoreWebEdit.h"
#include "FSAppRunner.h"
#include "FSWebServerWorker.h"
#include "LocalRequest.h"
#include "RequestOrigin.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/URI.h>

#include <string>

namespace Nuvaro {
namespace Sync {

namespace {

typedef Poco::Net::HTTPRequestHandler* (*HandlerMaker)();

template <typename Handler>
Poco::Net::HTTPRequestHandler* make() {
    return new Handler;
}

struct Route {
    const char* prefix;
    HandlerMaker maker;
};

// The quick-edit route, which the server's own pages may call too.
const char* const kQuickEditRoute = "/webedit";

bool beginsWith(const std::string& uri, const char* prefix) {
    return uri.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// In the order they are tried.
const Route kRoutes[] = {
    {"/status", &make<CoreStatusRequestHandler>},
    {"/share", &make<Core404RequestHandler>},
    {"/getoverlaystatus", &make<CoreOverlayStatusRequestHandler>},
    {"/getsharelink", &make<CoreGetShareLink>},
    {"/viewwebfile", &make<CoreViewWebFile>},
    {kQuickEditRoute, &make<CoreWebEdit>},
    {"/syncnow", &make<CoreSyncNow>},
    {"/lock", &make<CoreLock>},
    {"/unlock", &make<CoreUnlock>},
    {"/filebrowser", &make<CoreFileBrowser>},
    {"/filechanged", &make<CoreFileChanged>},
};

void logRefusal(const std::string& uri, const std::string& reason) {
    Poco::Logger::get("Sync").warning("Refused local request " + uri + ": " + reason);
}

// The forbidden reply for a refused request, and the refusal's log line.
Poco::Net::HTTPRequestHandler* refuse(const std::string& uri, const std::string& reason) {
    logRefusal(uri, reason);
    return new CoreRefusalHandler(&LocalRequest::sendForbidden);
}

// What the request's origin is checked against: the endpoint's own origins,
// and on the quick-edit route the configured server's.
RequestOrigin::Allowed allowedFor(const Poco::Net::HTTPServerRequest& request) {
    RequestOrigin::Allowed allowed;
    allowed.port = request.serverAddress().port();
    allowed.quickEdit = beginsWith(request.getURI(), kQuickEditRoute);
    FSAppRunner* owner = gAppRunner.load();
    try {
        if (allowed.quickEdit && owner)
            allowed.serverOrigin = RequestOrigin::originOf(owner->getServerURL(), false);
    } catch (...) {
        // No server URL to be had: only the endpoint's own origins count.
    }
    return allowed;
}

} // namespace

RequestHandlerFactory::~RequestHandlerFactory() = default;

Poco::Net::HTTPRequestHandler* RequestHandlerFactory::createRequestHandler(
    const Poco::Net::HTTPServerRequest& request) {
    const std::string& uri = request.getURI();
    std::string reason;
    if (RequestOrigin::hasDuplicateHost(request)) {
        logRefusal(uri, "Host header given more than once");
        return new CoreRefusalHandler(&LocalRequest::sendBadRequest);
    }
    if (!RequestOrigin::accepted(request, allowedFor(request), reason))
        return refuse(uri, reason);
    try {
        Poco::URI parsed(uri);
        parsed.getPath();
    } catch (const Poco::Exception&) {
        return new Core404RequestHandler;
    }
    if (uri == "/")
        return new Core404RequestHandler;
    for (const Route& route : kRoutes)
        if (beginsWith(uri, route.prefix))
            return route.maker();
    Poco::Logger::get("Sync").error("URL Handler not found for " + uri);
    return new Core404RequestHandler;
}

} // namespace Sync
} // namespace Nuvaro
