// NuvaroConnector: the frame that downloads and uploads share (login gate,
// session, exception handling) and the rules for fetching from an address
// the server named (a redirect or an absolute URL).

#include "nuvarocbfs_Network.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/String.h>

#include <exception>

namespace Nuvaro {

bool NuvaroConnector::runTransfer(const std::string& name, const std::string& gateLog, const std::string& gateError,
                                  int timeoutSeconds, const std::string& failurePrefix, std::string& error,
                                  const std::function<bool(Poco::Net::HTTPClientSession&)>& transfer) {
    Poco::Logger& log = Poco::Logger::root();
    if (!m_authenticated) {
        log.error(name + gateLog);
        error = gateError;
        return false;
    }
    RequestSpec spec(name, Poco::Net::HTTPRequest::HTTP_GET, "");
    spec.timeoutSeconds = timeoutSeconds;
    Reply reply;
    bool ok = false;
    const bool ran = runExchange(spec, reply, [&](Poco::Net::HTTPClientSession& session) {
        try {
            ok = transfer(session);
        } catch (const Poco::Exception& e) {
            if (dynamic_cast<const RequestCanceledException*>(&e) || transferCanceled()) {
                // The owner stopped: its socket was shut down, or nothing
                // was sent. Not a failure of the server or of the file.
                log.debug(name + " : canceled: " + e.displayText());
                error = TRANSFER_CANCELED_ERROR;
                return;
            }
            log.error(name + " : [" + e.displayText() + "] with message [" + e.message() + "]");
            error = failurePrefix + e.displayText();
        } catch (const std::exception& e) {
            log.error(name + " Exception [" + e.what() + "] caught ");
            error = failurePrefix + e.what();
        } catch (...) {
            log.error(name + " Unknown Exception");
            error = failurePrefix + "Unknown Exception";
        }
    });
    if (!ran) {
        error = reply.outcome == Reply::Outcome::Canceled ? TRANSFER_CANCELED_ERROR : transferSetupError();
        return false;
    }
    return ok;
}

bool NuvaroConnector::transferCanceled() const {
    return m_exchangeHook && m_exchangeHook->cancelled();
}

std::string NuvaroConnector::transferSpeed(Poco::UInt64 bytes, const Poco::Stopwatch& watch) {
    const Poco::Timestamp::TimeDiff micros = watch.elapsed();
    return getPrintableSpeedValue(bytes, micros > 0 ? static_cast<Poco::UInt64>(micros) : 1);
}

std::string NuvaroConnector::transferSetupError() const {
    // The request procedure keeps the reason of a failed set-up (bad server
    // URL, bad proxy setting) as the last error.
    return "Failed: " + (m_lastError.empty() ? std::string("Unable to open a session to the server") : m_lastError);
}

bool NuvaroConnector::isServerHost(const std::string& host) const {
    const std::string configured = Poco::URI(setting(URL_KEY)).getHost();
    if (!configured.empty() && Poco::icompare(host, configured) == 0) return true;
    const std::string current = Poco::URI(getServerURI()).getHost();
    return !current.empty() && Poco::icompare(host, current) == 0;
}

bool NuvaroConnector::checkTransferTarget(const Poco::URI& target, bool& sendCookies, std::string& error,
                                          const std::string& name) {
    Poco::Logger& log = Poco::Logger::root();
    const std::string scheme = Poco::toLower(target.getScheme());
    if ((scheme != "http" && scheme != "https") || target.getHost().empty()) {
        log.error(name + " : Refusing download from [" + target.toString() + "]: not an HTTP URL");
        error = "Failed: Download location is not an HTTP URL";
        return false;
    }
    if (Poco::toLower(Poco::URI(getServerURI()).getScheme()) == "https" && scheme != "https") {
        log.error(name + " : Refusing download from [" + target.toString() + "]: the server is HTTPS, the location is not");
        error = "Failed: Refusing to download over plain HTTP from an HTTPS server";
        return false;
    }
    sendCookies = isServerHost(target.getHost());
    return true;
}

} // namespace Nuvaro
