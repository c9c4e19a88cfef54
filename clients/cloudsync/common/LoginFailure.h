#pragma once

// Why a connector's last login failed, read once from its login flags, for
// every place that logs in again (the sync worker, the runner's server status,
// the local services, the offline jobs). Each place keeps its own log lines
// and events; this only says which case it is in. Stateless; any thread that
// may use the connector.

#include "nuvarocbfs_Network.h"

namespace Nuvaro {
namespace Sync {

struct LoginFailure {
    // Refused: the server turned the login down (the user must act: new
    // credentials, a two-factor code, a new device code). SessionTimedOut:
    // the device-authorisation session ran out (the user renews the login in
    // a browser). Other: anything else (the server unreachable, a reply that
    // could not be read, no settings), which the caller reports its own way.
    enum class Kind { Refused, SessionTimedOut, Other };
    // What refused it, for a Refused login; None for the other kinds.
    enum class Refusal { None, TwoFactorCode, BadLogin, DeviceCode };

    Kind kind = Kind::Other;
    Refusal refusal = Refusal::None;
};

// Classifies the failed login of `connector` (call it after Authenticate or
// another login flow returned false). The flags are tested in the
// connector's order, so a reply that left several set gives the first:
// is2FARequired (TwoFactorCode), isBadLogin (BadLogin), isDevAuthCodeRequired
// or isDevAuthInvalidCode (DeviceCode), then isDevAuthSessionTimeout
// (SessionTimedOut); no flag set is Other. A refusal therefore wins over a
// timed-out session.
LoginFailure classifyLoginFailure(const Nuvaro::NuvaroConnector& connector);

} // namespace Sync
} // namespace Nuvaro
