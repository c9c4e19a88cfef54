#include "RefreshLockActivity.h"

#include "NuvaroException.h"
#include "nuvarocbfs_Defs.h"
#include "nuvarocbfs_XmlParser.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
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
    if (!connector || !connector->prepareHTTPRequest(m_request))
        return false;
    Poco::URI server(connector->getServerURI());
    if (server.getScheme() == "https")
        m_session.reset(new Poco::Net::HTTPSClientSession(server.getHost(), server.getPort()));
    else
        m_session.reset(new Poco::Net::HTTPClientSession(server.getHost(), server.getPort()));
    m_session->setTimeout(Poco::Timespan(TIMEOUT_SECONDS, 0));
    std::string name;
    Poco::URI::encode(m_name, Nuvaro::Defs::HTTP::URL_SPECIAL_CHARS, name);
    m_request.setMethod(Poco::Net::HTTPRequest::HTTP_GET);
    m_request.setURI("/app/sync/refreshlock?&name=" + name);
    return true;
}

void RefreshLockActivity::doRefreshLock() {
    Poco::Logger& log = Poco::Logger::get("Sync");
    try {
        RequestCanceller::Scope scope(m_canceller, m_session.get());
        if (!scope.attached())
            return;
        m_session->sendRequest(m_request);
        if (!scope.sent())
            return;
        Poco::Net::HTTPResponse response;
        std::istream& body = m_session->receiveResponse(response);
        ParseResult reply = NuvaroXmlParser::parse("lock", body);
        if (!reply.ok) {
            log.error(reply.error);
            return;
        }
        if (!reply.records.empty()) {
            const auto& lock = *reply.records.front();
            auto success = lock.find("success");
            if (success == lock.end() || success->second != "true") {
                auto reason = lock.find("reason");
                log.debug("Background REFRESHLOCK failed. Server says: " +
                          (reason == lock.end() ? std::string() : reason->second));
            }
        }
    } catch (const Poco::Exception& e) {
        log.error(std::string("doRefreshLock") + " Poco Exception caught : " + e.displayText() + " " + e.message());
        m_session->reset();
    } catch (const std::exception& e) {
        log.error(std::string("doRefreshLock") + " Exception caught : " + e.what());
        m_session->reset();
    } catch (...) {
        log.error(std::string("doRefreshLock") + " Unknown Exception caught : ");
        m_session->reset();
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
