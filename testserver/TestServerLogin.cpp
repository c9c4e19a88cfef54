// Login flows of the test server: guest login (password or device code),
// two-factor login, device-access request and the security-question answer.
// Every flow answers one "command" record; a successful one opens a session
// and sets its cookie.

#include "TestServerCore.h"
#include "TestServerRouter.h"
#include "TestServerWire.h"

#include <Poco/DigestEngine.h>
#include <Poco/Net/HTTPCookie.h>
#include <Poco/SHA1Engine.h>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

namespace {

const char* const kSessionCookie = "vpsession";

std::string sha1Hex(const std::string& text)
{
    Poco::SHA1Engine engine;
    engine.update(text);
    return Poco::DigestEngine::digestToHex(engine.digest());
}

} // namespace

Reply TestServerRouter::loginSucceeded(Exchange& ex, const TestAccount& account, const std::string& type)
{
    if (account.blocked) return command(type, false, "Account is disabled");
    std::string cookie = m_core.store().openSession(account.userId, ex.field("remote_client_id"),
                                                    ex.field("remote_client_disp_name"));
    Poco::Net::HTTPCookie httpCookie(kSessionCookie, cookie);
    httpCookie.setPath("/");
    httpCookie.setHttpOnly(true);
    Reply reply = command(type, true, "Login successful");
    reply.headers.emplace_back("Set-Cookie", httpCookie.toString());
    return reply;
}

// userid + password, or userid + dsc (device code). Answers "1" with a session,
// "2" with the security question, "3" with a two-factor token, "10" for an
// expired device code, "0" for anything refused.
Reply TestServerRouter::loginGuest(Exchange& ex)
{
    const std::string type = "loginguest";
    auto account = m_core.store().findAccount(ex.field("userid"));

    if (ex.has("dsc")) {
        if (!account || account->deviceCode.empty() || ex.field("dsc") != account->deviceCode)
            return command(type, false, "Invalid device authorization code");
        if (account->deviceCodeExpired) return xml(commandReply(type, "10", "Device authorization timed out"));
        return loginSucceeded(ex, *account, type);
    }

    if (!account || ex.field("password") != account->password)
        return command(type, false, "Invalid username or password");
    if (!account->securityQuestion.empty()) return xml(commandReply(type, "2", account->securityQuestion));
    if (!account->twoFactorCode.empty())
        return xml(commandReply(type, "3", m_core.store().issueTwoFactorToken(account->userId)));
    return loginSucceeded(ex, *account, type);
}

// userid + code + token (the token of a "3" answer, usable once).
Reply TestServerRouter::twoFactorLogin(Exchange& ex)
{
    const std::string type = "2falogin";
    auto account = m_core.store().findAccount(ex.field("userid"));
    if (!account || account->twoFactorCode.empty() || ex.field("code") != account->twoFactorCode)
        return command(type, false, "Invalid security code");
    if (!m_core.store().takeTwoFactorToken(account->userId, ex.field("token")))
        return command(type, false, "Invalid or expired login session");
    return loginSucceeded(ex, *account, type);
}

Reply TestServerRouter::requestDeviceAccess(Exchange& ex)
{
    const std::string type = "requestdeviceaccess";
    auto account = m_core.store().findAccount(ex.field("userid"));
    if (!account) return command(type, false, "Unknown user");
    if (account->adminApprovalRequired)
        return xml(commandReply(type, "2", "Device access request sent to the administrator"));
    return xml(commandReply(type, "1", "Approve this device from your account"));
}

// secretqn + secretans + password (SHA-1 hex of the account password). The
// request carries no user name: the account is the one whose question,
// answer and password all match.
Reply TestServerRouter::authenticateProfile(Exchange& ex)
{
    const std::string type = "authenticateprofile";
    std::string question = ex.field("secretqn");
    std::string answer = ex.field("secretans");
    std::string hash = ex.field("password");
    for (const TestAccount& account : m_core.store().accounts()) {
        if (account.securityQuestion.empty() || account.securityQuestion != question) continue;
        if (account.securityAnswer == answer && equalsNoCase(sha1Hex(account.password), hash))
            return loginSucceeded(ex, account, type);
    }
    return command(type, false, "Invalid answer to the security question");
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
