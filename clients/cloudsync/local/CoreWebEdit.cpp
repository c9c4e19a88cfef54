#include "CoreWebEdit.h"

#include "FSAppRunner.h"
#include "FSWebServerWorker.h"
#include "LocalLogin.h"
#include "LocalRequest.h"
#include "NuvaroException.h"
#include "QuickEdit.h"
#include "QuickEditPages.h"

namespace Nuvaro {
namespace Sync {

namespace {

enum class Outcome { Loaded, NotLoaded, Forbidden };

Outcome quickEdit(Poco::Net::HTTPServerRequest& request) {
    std::string path = LocalRequest::queryValue(request, "path");
    if (path.empty())
        return Outcome::NotLoaded;
    std::string name, folder;
    if (!LocalRequest::withinPathLimit(path) || !splitQuickEditPath(path, name, folder))
        return Outcome::Forbidden;
    if (gWebEditPath.empty() || gWebEditPath[0] != '/')
        throw Nuvaro::Exception("No quick-edit folder");
    FSAppRunner& runner = LocalRequest::runner();
    std::unique_ptr<Nuvaro::NuvaroConnector> connector = LocalLogin::connect(runner, "Quick Edit");
    if (!connector->isAuthenticated()) {
        LocalLogin::reportRefusedLogin(*connector, "Authentication Failed or bad 2FA code or Bad Dev Auth Code");
        return Outcome::NotLoaded;
    }
    return launchQuickEdit(*connector, gWebEditPath, path) ? Outcome::Loaded : Outcome::NotLoaded;
}

} // namespace

CoreWebEdit::~CoreWebEdit() = default;

void CoreWebEdit::handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
    Outcome outcome = Outcome::Forbidden;
    try {
        outcome = quickEdit(request);
    } catch (...) {
        outcome = Outcome::Forbidden;
    }
    if (outcome == Outcome::Forbidden)
        LocalRequest::sendForbidden(response);
    else
        sendEditHTMLResponse(outcome == Outcome::Loaded, response);
}

} // namespace Sync
} // namespace Nuvaro
