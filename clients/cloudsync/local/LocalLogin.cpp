#include "LocalLogin.h"

#include "FSAppRunner.h"
#include "LoginFailure.h"
#include "UIEvent.h"

#include <Poco/Logger.h>

namespace Nuvaro {
namespace Sync {
namespace LocalLogin {

std::unique_ptr<Nuvaro::NuvaroConnector> connect(FSAppRunner& runner, const std::string& userAgent) {
    std::unique_ptr<Nuvaro::NuvaroConnector> connector(new Nuvaro::NuvaroConnector(runner.getSettings(), true, userAgent));
    connector->Authenticate(true);
    return connector;
}

bool reportRefusedLogin(Nuvaro::NuvaroConnector& connector, const std::string& refusedText) {
    const LoginFailure::Kind failure = classifyLoginFailure(connector).kind;
    if (failure == LoginFailure::Kind::Refused) {
        Poco::Logger::root().error(refusedText);
        uiPostEvent(static_cast<uiEventType>(7), "", 0);
        return true;
    }
    if (failure == LoginFailure::Kind::SessionTimedOut) {
        Poco::Logger::root().error("Device Auth Code Session Timeout");
        uiPostEvent(static_cast<uiEventType>(8), "", 0);
        return true;
    }
    return false;
}

} // namespace LocalLogin
} // namespace Sync
} // namespace Nuvaro
