#pragma once

// The local services against real things: an application runner over a data
// folder and a sync folder whose name needs escaping in XML ("Sync <&> 'q'"),
// the test server holding the runner's account, the loopback endpoint on a
// free port of 127.0.0.1, and HTTP requests sent to it with Poco's client (or
// as raw bytes). What the handlers would open on the desktop and the UI
// events they raise are recorded.

#include "DesktopOpener.h"
#include "EventRecorder.h"
#include "FSWebServerWorker.h"
#include "RunnerFixture.h"

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>

#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace LocalTest {

using CloudSyncTest::EventRecorder;
using CloudSyncTest::waitUntil;
using RunnerTest::TestRunner;

// Records what would have been opened on the desktop while it lives.
class OpenedTargets {
public:
    OpenedTargets() {
        Nuvaro::Sync::setDesktopLauncherForTesting([this](const std::string& target) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_targets.push_back(target);
            return true;
        });
    }
    ~OpenedTargets() { Nuvaro::Sync::setDesktopLauncherForTesting(nullptr); }
    std::vector<std::string> targets() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_targets;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_targets;
};

// One reply of the endpoint.
struct Reply {
    int status = 0;
    std::string contentType;
    std::string body;
    bool keepAlive = true;
};

typedef std::vector<std::pair<std::string, std::string>> Headers;

// A query value: every byte but letters, digits and "-_.~" percent-encoded.
inline std::string encoded(const std::string& value) {
    std::string out;
    Poco::URI::encode(value, "!#$&'()*+,/:;=?@[]<> \"%", out);
    return out;
}

class LocalServiceTest : public RunnerTest::RunnerTest {
protected:
    void TearDown() override {
        if (m_endpoint)
            m_endpoint->shutdown();
        m_endpoint.reset();
        RunnerTest::RunnerTest::TearDown();
    }

    std::string syncFolder() const { return m_tmp / "Sync <&> 'q'"; }
    std::string editRoot() const { return dataRoot() + "/webedit"; }
    // A local path in the sync folder ("My Files/docs/a.txt").
    std::string local(const std::string& relative) const { return syncFolder() + "/" + relative; }

    // A quiet runner over the data folder and syncFolder(), no worker started.
    TestRunner& makeLocalRunner(const Nuvaro::Sync::FSAppRunner::Intervals& intervals = noPolling()) {
        m_runner.reset();
        Poco::File(dataRoot()).createDirectories();
        m_runner.reset(new TestRunner(m_tmp.path(), dataRoot(), syncFolder(), "trace", true));
        m_runner->setIntervalsForTesting(intervals);
        return *m_runner;
    }

    // Stores the test server's account as a stored configuration holds it,
    // without starting workers (a legacy clear password is read as it is).
    void storeAccountOnly(TestRunner& runner, const std::string& password = kPassword) {
        boost::shared_ptr<Nuvaro::Sync::FSSyncDB> db = runner.getSyncDatabase();
        db->setConfigValue("config", "url", server.baseUrl());
        db->setConfigValue("config", "profile", kUser);
        db->setConfigValue("config", "password", password);
    }

    // The runner with the account, and the endpoint listening on a free port
    // (giving connections `headDeadlineMs` for their request heads).
    TestRunner& startService(long headDeadlineMs = Nuvaro::Sync::FSWebServerWorker::HEAD_DEADLINE_MS) {
        TestRunner& runner = makeLocalRunner();
        storeAccountOnly(runner);
        startEndpoint(runner, headDeadlineMs);
        return runner;
    }

    void startEndpoint(TestRunner& runner,
                       long headDeadlineMs = Nuvaro::Sync::FSWebServerWorker::HEAD_DEADLINE_MS) {
        m_endpoint.reset(new Nuvaro::Sync::FSWebServerWorker("", editRoot(), &runner));
        m_endpoint->setListenPortForTesting(0);
        m_endpoint->setHeadDeadlineForTesting(headDeadlineMs);
        m_endpoint->startup();
        ASSERT_NE(m_endpoint->port(), 0) << m_log.dump();
    }

    Poco::UInt16 port() const { return m_endpoint->port(); }

    // One request with Poco's client (which sends Host "127.0.0.1:<port>"
    // unless `headers` sets one).
    Reply send(const std::string& target, const Headers& headers = {}, const std::string& method = "GET") {
        Poco::Net::HTTPClientSession session("127.0.0.1", port());
        session.setTimeout(Poco::Timespan(20, 0));
        Poco::Net::HTTPRequest request(method, target, Poco::Net::HTTPMessage::HTTP_1_1);
        for (const auto& header : headers)
            request.set(header.first, header.second);
        if (method == "POST")
            request.setContentLength(0);
        session.sendRequest(request);
        Poco::Net::HTTPResponse response;
        std::istream& in = session.receiveResponse(response);
        Reply reply;
        reply.status = response.getStatus();
        reply.contentType = response.getContentType();
        Poco::StreamCopier::copyToString(in, reply.body);
        reply.keepAlive = response.getKeepAlive();
        return reply;
    }

    // Sends `bytes` on one connection and returns everything received until
    // the endpoint closes it.
    std::string sendRaw(const std::string& bytes) {
        Poco::Net::StreamSocket socket(Poco::Net::SocketAddress("127.0.0.1", port()));
        socket.setReceiveTimeout(Poco::Timespan(20, 0));
        socket.sendBytes(bytes.data(), static_cast<int>(bytes.size()));
        std::string received;
        char buffer[4096];
        int n;
        while ((n = socket.receiveBytes(buffer, sizeof buffer)) > 0)
            received.append(buffer, static_cast<std::size_t>(n));
        return received;
    }

    // Puts a server file and the same bytes at its place in the sync folder.
    void putFileBothSides(const std::string& relativeToMyFiles, const std::string& content) {
        server.putFile(kUser, std::string("/") + kUser + "/" + relativeToMyFiles, content);
        std::string path = local("My Files/" + relativeToMyFiles);
        Poco::File(Poco::Path(path).parent()).createDirectories();
        std::ofstream(path, std::ios::binary) << content;
    }

    std::unique_ptr<Nuvaro::Sync::FSWebServerWorker> m_endpoint;
};

} // namespace LocalTest
