#include "CoreLock.h"

#include "FSAppRunner.h"
#include "LocalLogin.h"
#include "LocalRequest.h"
#include "UIEvent.h"

#include <Poco/Logger.h>

namespace Nuvaro {
namespace Sync {

namespace {

enum class Outcome { Reply, Forbidden, Failed };

// The work stage: the request's path to a server path, the login, the
// server's lock or unlock and its event.
Outcome lockOrUnlock(Poco::Net::HTTPServerRequest& request, bool unlock, const std::string& word) {
    FSAppRunner& runner = LocalRequest::runner();
    std::string resolved;
    if (!LocalRequest::resolveLocalPath(runner, LocalRequest::queryValue(request, "path"), false, false, resolved))
        return Outcome::Forbidden;
    std::string serverPath = LocalRequest::serverPathFor(runner, resolved);
    if (serverPath.empty()) {
        uiPostEvent(static_cast<uiEventType>(4), word + " Failed", 0);
        return Outcome::Reply;
    }
    std::unique_ptr<Nuvaro::NuvaroConnector> connector = LocalLogin::connect(runner, "Cloud Connector");
    if (!connector->isAuthenticated()) {
        if (!LocalLogin::reportRefusedLogin(*connector, "Authentication Failed or bad 2FA code or bad Device Auth Code"))
            Poco::Logger::root().error("Login Failed");
        return Outcome::Forbidden;
    }
    bool done = unlock ? connector->unlockFile(serverPath) : connector->lockFile(serverPath, 0);
    uiPostEvent(static_cast<uiEventType>(4), word + (done ? " Successful" : " Failed"), 0);
    return Outcome::Reply;
}

} // namespace

void handleLockRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response, bool unlock) {
    const std::string word = unlock ? "Unlock" : "Lock";
    Outcome outcome = Outcome::Failed;
    try {
        outcome = lockOrUnlock(request, unlock, word);
    } catch (...) {
        outcome = Outcome::Failed;
    }
    if (outcome == Outcome::Reply)
        LocalRequest::sendXml(response, LocalRequest::commandReply(unlock ? "unlock" : "lock"));
    else
        LocalRequest::sendForbidden(response);
    if (outcome == Outcome::Failed)
        uiPostEvent(static_cast<uiEventType>(4), word + " Failed", 0);
}

CoreLock::~CoreLock() = default;

void CoreLock::handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
    handleLockRequest(request, response, false);
}

} // namespace Sync
} // namespace Nuvaro
