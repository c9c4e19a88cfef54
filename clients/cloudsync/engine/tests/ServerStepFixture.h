#pragma once

// A worker logged in without its thread, for the first two steps of the
// server half of a pass (the sync-folder list or status sets, and the
// delta), with the fields those steps fill open to the tests.

#include "WorkerFixture.h"

#include "EventRecorder.h"

#include <Poco/Net/HTTPRequest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace EngineTest {

using CloudSyncTest::EventRecorder;

class StepWorker : public TestWorker {
public:
    using TestWorker::TestWorker;
    using FSWorker::replyLimits;
};

class ServerStepTest : public WorkerTest {
protected:
    // A worker logged in with My Files enabled or disabled on the server.
    StepWorker& logInStep(bool myFilesDisabled = false) {
        m_worker.reset(new StepWorker(syncRoot(), dataRoot(), m_db, myFilesDisabled));
        m_worker->setIntervalsForTesting(fastIntervals());
        Nuvaro::RecordList list = settingsList();
        EXPECT_TRUE(
            m_worker->configureAndLogInForTesting(list, false, "Network Folders", "Team Folders", "teamacct"));
        return worker();
    }
    StepWorker& worker() { return static_cast<StepWorker&>(*m_worker); }

    // The activity entries of type 5 (errors) stored so far.
    std::vector<boost::shared_ptr<Nuvaro::Sync::FSActivity>> errorEntries() {
        std::vector<boost::shared_ptr<Nuvaro::Sync::FSActivity>> errors;
        EXPECT_TRUE(m_db->activityCollectionGet(errors, 5));
        return errors;
    }

    // Every request the worker sends is an HTTP/1.0 form POST with the
    // login's headers and cookie.
    static void expectFormPost(const Nuvaro::Sync::TestServer::RecordedRequest& sent) {
        EXPECT_EQ(sent.method, "POST");
        EXPECT_EQ(sent.version, "HTTP/1.0");
        EXPECT_EQ(sent.header("Content-Type"), "application/x-www-form-urlencoded");
        EXPECT_EQ(sent.header("Content-Length"), std::to_string(sent.body.size()));
        EXPECT_FALSE(sent.hasHeader("Transfer-Encoding"));
        EXPECT_FALSE(sent.header("Cookie").empty());
        EXPECT_FALSE(sent.header("User-Agent").empty());
        EXPECT_FALSE(sent.header("Device-Info").empty());
        EXPECT_EQ(sent.header("Device-Info").find("%0A"), std::string::npos);
        // The head's order: the connector's headers, the form's, the offer of
        // gzip, then what the HTTP session adds.
        std::vector<std::string> names;
        for (const auto& header : sent.headers)
            names.push_back(header.first);
        std::vector<std::string> expected{"User-Agent", "Device-Info", "Cookie", "Content-Type", "Content-Length"};
        if (sent.hasHeader("Accept-Encoding"))
            expected.push_back("Accept-Encoding");
        expected.insert(expected.end(), {"Connection", "Host"});
        EXPECT_EQ(names, expected);
    }

    static bool hasEvent(const std::vector<EventRecorder::Event>& events, int type, const std::string& text) {
        return std::find(events.begin(), events.end(), EventRecorder::Event{type, text, 0}) != events.end();
    }
};

} // namespace EngineTest
