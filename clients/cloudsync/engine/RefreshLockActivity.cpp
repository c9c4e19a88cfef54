#include "RefreshLockActivity.h"

#include "NuvaroException.h"
#include "nuvarocbfs_Defs.h"
#include "nuvarocbfs_XmlParser.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/URI.h>

#include <exception>

namespace Nuvaro {
namespace Sync {

RefreshLockActivity::RefreshLockActivity(const std::string& name)
    : m_activity(this, &RefreshLockActivity::run), m_name(name) {}

RefreshLockActivity::~RefreshLockActivity() {
    try {
        stop();
        m_activity.wait();
    } catch (...) {
    }
}

void RefreshLockActivity::setInterval(long stepMs, int steps) {
    m_stepMs = stepMs;
    m_steps = steps;
}

bool RefreshLockActivity::prepareRequest(boost::shared_ptr<NuvaroConnector>& connector) {
    if (!connector || !connector->isAuthenticated())
        return false;
    m_connector = connector->copyForRequests();
    std::string name;
    Poco::URI::encode(m_name, Nuvaro::Defs::HTTP::URL_SPECIAL_CHARS, name);
    m_path = "/app/sync/refreshlock?&name=" + name;
    return true;
}

void RefreshLockActivity::doRefreshLock() {
    Poco::Logger& log = Poco::Logger::get("Sync");
    try {
        RequestSpec spec("doRefreshLock", Poco::Net::HTTPRequest::HTTP_GET, m_path);
        spec.timeoutSeconds = TIMEOUT_SECONDS;
        spec.httpVersion = Poco::Net::HTTPMessage::HTTP_1_0;
        spec.traceRequest = false;
        spec.traceStatus = false;
        spec.setupSession = [](Poco::Net::HTTPClientSession&) {}; // no proxy
        spec.cancelHook = &m_canceller;
        ParseResult parsed;
        spec.readBody = [&](Poco::Net::HTTPClientSession&, std::istream& body, const Poco::Net::HTTPResponse&) {
            parsed = NuvaroXmlParser::parse("lock", body);
        };
        Reply reply;
        m_connector->exchange(spec, reply);
        if (reply.outcome == Reply::Outcome::Canceled)
            return;
        if (!parsed.ok) {
            log.error(parsed.error);
            return;
        }
        if (!parsed.records.empty()) {
            const auto& lock = *parsed.records.front();
            auto success = lock.find("success");
            if (success == lock.end() || success->second != "true") {
                auto reason = lock.find("reason");
                log.debug("Background REFRESHLOCK failed. Server says: " +
                          (reason == lock.end() ? std::string() : reason->second));
            }
        }
    } catch (const Poco::Exception& e) {
        log.error(std::string("doRefreshLock") + " Poco Exception caught : " + e.displayText() + " " + e.message());
    } catch (const std::exception& e) {
        log.error(std::string("doRefreshLock") + " Exception caught : " + e.what());
    } catch (...) {
        log.error(std::string("doRefreshLock") + " Unknown Exception caught : ");
    }
}

bool RefreshLockActivity::pause() {
    for (int step = 0; step < m_steps; ++step) {
        if (m_activity.isStopped() || m_wake.tryWait(m_stepMs))
            return false;
        if (m_activity.isStopped())
            return false;
    }
    return !m_activity.isStopped();
}

void RefreshLockActivity::run() {
    Poco::Logger& log = Poco::Logger::get("RefreshLockActivity");
    log.trace("run");
    try {
        while (pause())
            doRefreshLock();
    } catch (const Poco::Exception& e) {
        log.error(std::string("run") + "Exception caught : " + e.displayText());
    } catch (const std::exception& e) {
        log.error(std::string("run") + "Exception caught : " + e.what());
    } catch (...) {
        log.error(std::string("run") + "Unknown Exception caught : ");
    }
    log.trace("Ending RefreshLockActivity ");
}

void RefreshLockActivity::stop() {
    m_activity.stop();
    m_wake.set();
    m_canceller.cancel();
}

} // namespace Sync
} // namespace Nuvaro
