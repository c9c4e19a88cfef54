#pragma once

// The logins of the local services: each request that talks to the server
// (lock, unlock, share link, quick edit) and each upload of an edited
// quick-edit copy logs in on a connector of its own, made from the runner's
// stored account, and reports a refused login to the user the same way.
// Stateless; any thread.

#include "nuvarocbfs_Network.h"

#include <memory>
#include <string>

namespace Nuvaro {
namespace Sync {

class FSAppRunner;

namespace LocalLogin {

// A connector made from the runner's settings list, registering the stream
// factories and sending `userAgent`, after one login attempt
// (Authenticate): isAuthenticated() tells how it went.
std::unique_ptr<Nuvaro::NuvaroConnector> connect(FSAppRunner& runner, const std::string& userAgent);

// Reports a failed login of `connector` when the server refused it:
//   - a two-factor code required, bad credentials, a device code required or
//     invalid: `refusedText` at error level on the root logger, UI event 7;
//   - otherwise a device-authorisation session that timed out: "Device Auth
//     Code Session Timeout" at error level on the root logger, UI event 8.
// True when it reported one of these; false for any other failure (the
// server unreachable, ...), which the caller reports its own way.
bool reportRefusedLogin(Nuvaro::NuvaroConnector& connector, const std::string& refusedText);

} // namespace LocalLogin
} // namespace Sync
} // namespace Nuvaro
