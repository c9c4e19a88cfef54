#include "LoginRefusalNotice.h"

#include "ConsoleNotice.h"

namespace Nuvaro {
namespace Sync {

void LoginRefusalNotice::loggedIn() {
    told = false;
}

void LoginRefusalNotice::loginFailed(Nuvaro::NuvaroConnector& connector, const LoginFailure& failure) {
    if (failure.kind == LoginFailure::Kind::Other)
        return;
    if (told.exchange(true))
        return;
    consoleNotice(lineFor(connector, failure));
}

std::string LoginRefusalNotice::lineFor(Nuvaro::NuvaroConnector& connector, const LoginFailure& failure) {
    std::string reason;
    std::string advice;
    switch (failure.refusal) {
    case LoginFailure::Refusal::BadLogin:
        reason = connector.getLastError();
        if (reason.empty())
            reason = "the user name or password was refused";
        advice = "; if the password changed, write the new one into syncconconfig.xml and restart";
        break;
    case LoginFailure::Refusal::TwoFactorCode:
        reason = "a two-factor code is required";
        break;
    case LoginFailure::Refusal::DeviceCode:
        reason = "the device code is required or not valid";
        break;
    case LoginFailure::Refusal::None:
        reason = failure.kind == LoginFailure::Kind::SessionTimedOut ? "the device session timed out"
                                                                     : connector.getLastError();
        break;
    }
    return "Error: The server refused the login: " + reason + ". Sync waits until a login succeeds" + advice + ".";
}

} // namespace Sync
} // namespace Nuvaro
