#pragma once

// LoginRefusalNotice: tells the user at the console that the server refuses
// the stored account's login while the program runs (the password was
// changed on the server, a two-factor or device code is wanted, the device
// session ran out): once, and again only after a login succeeded in between.
// Without it the user would see "Starting Sync..." and nothing more while
// the log fills with refusals.
//
// The workers that log in again with the stored account (the sync worker,
// the remote-management worker) share one object, which the runner owns, so
// that their retries together give one line, not one per retry or worker.
// Any thread may call it; its only state is one atomic flag.

#include "LoginFailure.h"
#include "nuvarocbfs_Network.h"

#include <atomic>
#include <string>

namespace Nuvaro {
namespace Sync {

class LoginRefusalNotice {
public:
    // A login of the stored account succeeded: the next refusal is told.
    void loggedIn();

    // A login of `connector` failed as `failure` (classifyLoginFailure)
    // says. A refusal or a timed-out device session is told as one console
    // line (consoleNotice, see lineFor) unless one was told since the last
    // success; other failures (the server unreachable) are left to the
    // caller's log. Telling reads the connector's last error, which empties
    // it.
    void loginFailed(Nuvaro::NuvaroConnector& connector, const LoginFailure& failure);

    // The console line of such a refusal, for example "Error: The server
    // refused the login: Invalid username or password. Sync waits until a
    // login succeeds; if the password changed, write the new one into
    // syncconconfig.xml and restart." The reason is the server's text for
    // refused credentials, a fixed text for the other cases.
    static std::string lineFor(Nuvaro::NuvaroConnector& connector, const LoginFailure& failure);

private:
    // A refusal was told since the last success.
    std::atomic<bool> told{false};
};

} // namespace Sync
} // namespace Nuvaro
