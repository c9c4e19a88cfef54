#include "LoginFailure.h"

namespace Nuvaro {
namespace Sync {

namespace {

LoginFailure refused(LoginFailure::Refusal refusal) {
    LoginFailure failure;
    failure.kind = LoginFailure::Kind::Refused;
    failure.refusal = refusal;
    return failure;
}

} // namespace

LoginFailure classifyLoginFailure(const Nuvaro::NuvaroConnector& connector) {
    if (connector.is2FARequired())
        return refused(LoginFailure::Refusal::TwoFactorCode);
    if (connector.isBadLogin())
        return refused(LoginFailure::Refusal::BadLogin);
    if (connector.isDevAuthCodeRequired() || connector.isDevAuthInvalidCode())
        return refused(LoginFailure::Refusal::DeviceCode);
    LoginFailure failure;
    if (connector.isDevAuthSessionTimeout())
        failure.kind = LoginFailure::Kind::SessionTimedOut;
    return failure;
}

} // namespace Sync
} // namespace Nuvaro
