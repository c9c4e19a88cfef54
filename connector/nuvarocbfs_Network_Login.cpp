// NuvaroConnector: Authenticate and the login flows (guest login with password
// or device code, two-factor code, device access, security question).

#include "nuvarocbfs_Network.h"

#include <Poco/DigestEngine.h>
#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/NumberParser.h>
#include <Poco/SHA1Engine.h>
#include <Poco/Stopwatch.h>

#include <sstream>

namespace Nuvaro {

namespace {

Poco::Logger& rootLog() { return Poco::Logger::get("root"); }

const int LOGIN_TIMEOUT_SECONDS = 20;

// Every login flow is a POST of a "command" reply with a 20-second timeout and
// no gate. Its transport errors are logged with the display text alone.
RequestSpec loginSpec(const std::string& operation, const std::string& path) {
    RequestSpec spec(operation, Poco::Net::HTTPRequest::HTTP_POST, path);
    spec.timeoutSeconds = LOGIN_TIMEOUT_SECONDS;
    spec.recordName = COMMAND_RECORD;
    spec.exceptionLine("");
    return spec;
}

// Ends one security-question round when the scope ends.
class RoundGuard {
public:
    explicit RoundGuard(int& rounds) : m_rounds(rounds) { ++m_rounds; }
    ~RoundGuard() { --m_rounds; }
    RoundGuard(const RoundGuard&) = delete;
    RoundGuard& operator=(const RoundGuard&) = delete;

private:
    int& m_rounds;
};

} // namespace

std::string NuvaroConnector::getSHA1Hash(const std::string& text) {
    Poco::SHA1Engine engine;
    engine.update(text);
    return Poco::DigestEngine::digestToHex(engine.digest());
}

std::string NuvaroConnector::clientDescription() const {
    return setting(RMC_CLIENT_DISP_NAME) + " (" + Poco::Environment::nodeName() + ")";
}

void NuvaroConnector::addClientFields(RequestSpec& spec) const {
    spec.field("remote_client_id", setting(RMC_CLIENT_ID))
        .field("remote_client_api_level", "4")
        .field("remote_client_disp_name", clientDescription())
        .field("remote_client_app_version", setting(RMC_CLIENT_APP_VERSION))
        .field("remote_client_os_type", setting(RMC_CLIENT_OS_TYPE))
        .field("remote_client_os_version", setting(RMC_CLIENT_OS_VERSION));
}

void NuvaroConnector::acceptLogin(const Reply& reply, const std::string& traceText) {
    rootLog().trace(traceText);
    m_authenticated = true;
    reply.response.getCookies(m_cookies);
}

// "loginmode" absent reads as 0 (password login). Text that is not a decimal
// integer is refused rather than guessed at.
bool NuvaroConnector::readLoginMode(int& mode) {
    mode = 0;
    // Absent or empty (an account that never used a device code): the password.
    const std::string text = setting(LOGINMODE_KEY);
    if (text.empty()) return true;
    if (Poco::NumberParser::tryParse(text, mode)) return true;
    rootLog().error("Invalid login mode \"" + text + "\"");
    return false;
}

const Record* NuvaroConnector::singleLoginRecord(const Reply& reply, const std::string& unexpectedText) {
    if (reply.records.size() == 1) return &reply.records.front();
    rootLog().error(unexpectedText);
    if (reply.handler) reply.handler->printParsedData();
    return nullptr;
}

bool NuvaroConnector::Authenticate(bool) {
    rootLog().trace("Authenticate");
    if (m_config.empty()) {
        rootLog().error("No configuration data loaded. Authentication cannot be performed");
        return false;
    }
    return doGuestLogin();
}

bool NuvaroConnector::doGuestLogin() {
    Poco::Stopwatch watch;
    watch.start();
    getLastError();

    int mode = 0;
    if (!readLoginMode(mode)) return false;
    RequestSpec spec = loginSpec("doGuestLogin", NUVARO_LOGINGUEST_COMMAND);
    spec.traceRequest = false;
    spec.traceStatus = false;
    spec.keepExceptionAsLastError = true;
    spec.field("userid", setting(PROFILE_KEY));
    if (mode == 0) {
        if (setting(PASSWORD_KEY).empty()) {
            rootLog().error("Cannot find plain text key for Guest Login");
            return false;
        }
        spec.field("password", setting(PASSWORD_KEY), true);
    } else {
        if (!hasSetting(DEV_AUTH_CODE_KEY)) {
            rootLog().error("Cannot find plain text key for Guest Login");
            return false;
        }
        if (setting(DEV_AUTH_CODE_KEY).empty()) {
            rootLog().error("No dev auth code available");
            return false;
        }
        spec.field("dsc", setting(DEV_AUTH_CODE_KEY), true);
    }
    addClientFields(spec);

    clearLoginFlags();

    Reply reply;
    if (!runRequest(spec, reply)) return false;
    watch.stop();
    rootLog().information("doGuestLogin : Elapsed time = " + elapsedSeconds(watch) + " secs");

    const Record* record =
        singleLoginRecord(reply, "Unexpected XML response for loginguest. More than the expected records received!");
    if (!record) return false;
    const std::string result = recordValue(*record, RESULT_KEY);
    const std::string message = recordValue(*record, MESSAGE_KEY);
    if (result == SUCCESS_VALUE) {
        acceptLogin(reply, "Account Login Success");
        return true;
    }
    if (result == TWO_FA_LOGIN_REQ_VALUE) {
        rootLog().information("TWO FA Required");
        m_2FARequired = true;
        m_2FAToken = message;
    } else if (result == DEV_AUTH_SESSION_TIMEOUT_VALUE) {
        rootLog().information("Authentication code timed out (Requires user to refresh login in browser)");
        m_devAuthSessionTimeout = true;
    } else if (result == DEV_AUTH_INVALID_VALUE && mode == 1) {
        rootLog().information("Authorization code is invalid. Required re authorization flow");
        m_devAuthCodeRequired = true;
        m_devAuthInvalidCode = true;
    } else {
        rootLog().error("Guest Login failed.  result=" + result + " message: " + message);
        m_lastError = message;
        m_badLogin = true;
    }
    return false;
}

bool NuvaroConnector::do2FAVerification(const std::string& code) {
    RequestSpec spec = loginSpec("do2FAVerification", NUVARO_2FALOGIN_COMMAND);
    spec.clearLastError = true;
    spec.field("userid", setting(PROFILE_KEY)).field("code", code, true).field("token", m_2FAToken, true);
    addClientFields(spec);
    rootLog().debug(" RMC Display Name = " + clientDescription());

    Reply reply;
    if (!runRequest(spec, reply)) return false;
    const Record* record =
        singleLoginRecord(reply, "Unexpected XML response for 2falogin. More than the expected records received!");
    if (!record) return false;
    const std::string result = recordValue(*record, RESULT_KEY);
    if (result == SUCCESS_VALUE) {
        acceptLogin(reply, "2FA Login successful!");
        return true;
    }
    const std::string message = recordValue(*record, MESSAGE_KEY);
    rootLog().error("2FA login failed.  result=" + result + " message: " + message);
    m_lastError = message;
    m_authenticated = false;
    m_badLogin = true;
    return false;
}

bool NuvaroConnector::requestDeviceAccess() {
    RequestSpec spec = loginSpec("requestDeviceAccess", NUVARO_REQUEST_DEVICE_ACCESS_COMMAND);
    spec.clearLastError = true;
    spec.traceStatus = false;
    spec.field("userid", setting(PROFILE_KEY));
    addClientFields(spec);

    Reply reply;
    if (!runRequest(spec, reply)) return false;
    const Record* record = singleLoginRecord(
        reply, "Unexpected XML response for requestdeviceaccess. More than the expected records received!");
    if (!record) return false;
    const std::string result = recordValue(*record, RESULT_KEY);
    const std::string message = recordValue(*record, MESSAGE_KEY);
    m_lastError = message;
    m_authenticated = false;
    m_devAuthSessionTimeout = false;
    m_devAuthInvalidCode = false;
    if (result == DEVAUTH_ADMIN_APPROVAL_REQ_VALUE || result == DEVAUTH_USER_APPROVAL_REQ_VALUE) {
        const bool admin = result == DEVAUTH_ADMIN_APPROVAL_REQ_VALUE;
        rootLog().debug(admin ? "Authorization submitted. Admin Approval Required first"
                              : "Authorization submitted. Require User Auth code");
        m_badLogin = false;
        m_2FARequired = false;
        m_devAuthCodeRequired = true;
        m_adminApprovalRequired = admin;
        return true;
    }
    rootLog().error("Authorization  failed.  result=" + result + " message: " + message);
    m_badLogin = true;
    return false;
}

bool NuvaroConnector::parseLoginResponse(Poco::Net::HTTPClientSession* session) {
    getLastError();
    m_badLogin = false;
    try {
        RequestSpec spec("parseLoginResponse", Poco::Net::HTTPRequest::HTTP_POST, NUVARO_AUTHENTICATEPROFILE_COMMAND);
        spec.recordName = COMMAND_RECORD;
        Reply reply;
        receiveReply(*session, spec, reply);
        const Record* record = singleLoginRecord(
            reply, "parseLoginResponse : Unexpected XML response. More than the expected records received!");
        if (!record) {
            m_authenticated = false;
            m_badLogin = true;
            return m_authenticated;
        }
        const std::string result = recordValue(*record, RESULT_KEY);
        const std::string message = recordValue(*record, MESSAGE_KEY);
        if (result == SUCCESS_VALUE) {
            acceptLogin(reply, "Login successful!");
        } else if (result == REMOTE_LOGIN_REQ_VALUE && m_securityQuestionRounds < kMaxSecurityQuestionRounds) {
            doRemoteLogin(message);
        } else if (result == REMOTE_LOGIN_REQ_VALUE) {
            // A server that keeps asking would otherwise keep this thread in
            // an endless chain of answers.
            rootLog().error("parseLoginResponse : Security question asked " +
                            std::to_string(m_securityQuestionRounds) + " times in a row. Login failed.");
            m_lastError = "Security question asked too many times";
            m_authenticated = false;
            m_badLogin = true;
        } else if (result == TWO_FA_LOGIN_REQ_VALUE) {
            rootLog().information("parseLoginResponse : 2FA response required");
            m_2FAToken = message;
            m_authenticated = false;
            m_2FARequired = true;
        } else {
            rootLog().error("parseLoginResponse: Login failed.  result=" + result + " message: " + message);
            m_lastError = message;
            m_authenticated = false;
            m_badLogin = true;
        }
    } catch (const Poco::Exception& e) {
        rootLog().error("parseLoginResponse : Caught Exception " + e.displayText());
        return false;
    }
    return m_authenticated;
}

bool NuvaroConnector::doRemoteLogin(const std::string& question) {
    RoundGuard round(m_securityQuestionRounds);
    m_badLogin = false;
    rootLog().trace("doRemoteLogin");
    rootLog().information("doRemoteLogin: Server requires remote answer for question " + question);

    RequestSpec spec = loginSpec("doRemoteLogin", NUVARO_AUTHENTICATEPROFILE_COMMAND);
    spec.exceptionLine("doRemoteLogin : Caught Exception ");
    spec.traceRequest = false;
    const std::string password =
        hasSetting(SHA1_PASSWORD_KEY) ? setting(SHA1_PASSWORD_KEY) : getSHA1Hash(setting(PASSWORD_KEY));
    spec.field("secretqn", question).field("secretans", setting(REMOTEANS_KEY), true).field("password", password, true);
    rootLog().trace(getServerURI() + spec.path);
    rootLog().trace(encodeFields(spec.fields, true));

    bool loggedIn = false;
    Reply reply;
    runExchange(spec, reply, [&](Poco::Net::HTTPClientSession& session) {
        sendRequest(session, spec);
        loggedIn = parseLoginResponse(&session);
    });
    return loggedIn;
}

} // namespace Nuvaro
