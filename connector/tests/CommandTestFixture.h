#pragma once

// Fixture of the command, remote-management, lock/share and listing tests: the
// connector fixture's server and account, plus the folder "/user1/docs"
// holding "a.txt", and a connector logged in to it as "Cloud Connector" with
// an awkward client id (the login request is cleared from the server's log).

#include "ConnectorFixture.h"

#include <Poco/Timespan.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace CommandTests {

namespace TS = Nuvaro::Sync::TestServer;
using ConnectorTesting::commandBody;

// The client id holds characters that must be encoded on the wire.
const std::string CLIENT_ID = "pc 1&id=2+x";
const std::string USER = ConnectorTesting::ConnectorFixture::kUser;

// Reply bodies for injected faults.
inline std::string twoCommandsBody() {
    return "<commands><command><result>1</result><message></message></command>"
           "<command><result>1</result><message></message></command></commands>";
}
// count elements named `name`, each with the given children, inside a root.
inline std::string recordsBody(const std::string& name, int count, const std::string& children) {
    std::string body = "<?xml version=\"1.0\"?><reply>";
    for (int i = 0; i < count; ++i) body += "<" + name + ">" + children + "</" + name + ">";
    return body + "</reply>";
}
const std::string NOT_XML_BODY = "<html><body>Service unavailable";

// Expected text: "" (empty), "*" (any non-empty text), "prefix*" (that prefix
// and more), or the exact text.
inline void expectText(const std::string& actual, const std::string& expected) {
    if (!expected.empty() && expected.back() == '*') {
        const std::string prefix = expected.substr(0, expected.size() - 1);
        EXPECT_THAT(actual, ::testing::StartsWith(prefix));
        EXPECT_GT(actual.size(), prefix.size()) << "expected more than \"" << prefix << "\"";
    } else {
        EXPECT_EQ(actual, expected);
    }
}

class CommandTest : public ConnectorTesting::ConnectorFixture {
protected:
    void SetUp() override {
        ConnectorFixture::SetUp();
        server.makeFolder(USER, "/user1/docs");
        server.putFile(USER, "/user1/docs/a.txt", "alpha");
        client = makeConnector();
        ASSERT_TRUE(client->Authenticate(false)) << client->getLastError();
        server.clearRequests();
    }

    // Not logged in yet. Every request's wait is capped at a few seconds.
    std::unique_ptr<Nuvaro::NuvaroConnector> makeConnector() {
        auto made = connector({{"RMC_CLIENT_ID", CLIENT_ID}}, "Cloud Connector");
        made->setTimeoutLimit(Poco::Timespan(5, 0));
        return made;
    }

    // The one request the server recorded for path.
    TS::RecordedRequest onlyRequest(const std::string& path) {
        std::vector<TS::RecordedRequest> recorded = server.requests(path);
        EXPECT_EQ(recorded.size(), 1u) << path;
        return recorded.empty() ? TS::RecordedRequest() : recorded.back();
    }

    // Answers the next request of path with the fault (once).
    void inject(TS::TestFault fault) {
        fault.times = 1;
        server.addFault(fault);
    }

    static bool loggedAtError(CloudSyncTest::LogCapture& log) {
        for (const auto& entry : log.channel().entries()) {
            if (entry.priority <= Poco::Message::PRIO_ERROR) return true;
        }
        return false;
    }

    std::unique_ptr<Nuvaro::NuvaroConnector> client;
};

// The reply variants every kind of request is tried with.
enum class Variant { Success, Refusal, ZeroRecords, TwoRecords, NotXml, ErrorStatus, Dropped };

inline std::string variantName(Variant v) {
    switch (v) {
    case Variant::Success: return "success";
    case Variant::Refusal: return "refusal with a message";
    case Variant::ZeroRecords: return "zero records";
    case Variant::TwoRecords: return "two records";
    case Variant::NotXml: return "non-XML body";
    case Variant::ErrorStatus: return "error status 500 with the success body";
    case Variant::Dropped: return "dropped connection";
    }
    return "?";
}

// The bodies of one kind of request.
struct ReplyBodies {
    std::string success;
    std::string refusal;
    std::string twoRecords;
};

inline TS::TestFault faultFor(Variant v, const std::string& path, const ReplyBodies& bodies) {
    switch (v) {
    case Variant::Success: return TS::TestFault::withBody(path, bodies.success);
    case Variant::Refusal: return TS::TestFault::withBody(path, bodies.refusal);
    case Variant::ZeroRecords: return TS::TestFault::withBody(path, "<?xml version=\"1.0\"?><reply></reply>");
    case Variant::TwoRecords: return TS::TestFault::withBody(path, bodies.twoRecords);
    case Variant::NotXml: {
        TS::TestFault fault = TS::TestFault::withBody(path, NOT_XML_BODY);
        fault.contentType = "text/html";
        return fault;
    }
    case Variant::ErrorStatus: return TS::TestFault::withBody(path, bodies.success, 500);
    case Variant::Dropped: return TS::TestFault::dropAfter(path, 0);
    }
    return TS::TestFault();
}

// The result and last error expected after one reply variant.
struct OutcomeRow {
    Variant variant;
    bool ok;
    std::string lastError; // see expectText
};

// A "command" request that keeps a reason for every failure (the existence
// test, the remote-management acknowledgement); the XML decides, whatever the
// status.
inline std::vector<OutcomeRow> commandRowsWithReasons() {
    return {
        {Variant::Success, true, ""},
        {Variant::Refusal, false, "Permission denied"},
        {Variant::ZeroRecords, false, "Unexpected XML response. No records received!"},
        {Variant::TwoRecords, false, "Unexpected XML response. More than the expected records received!"},
        {Variant::NotXml, false, "*"},
        {Variant::ErrorStatus, true, ""},
        {Variant::Dropped, false, "*"},
    };
}

// Bodies of a records request: one and two records of the given children,
// and a refusing "command" record.
inline ReplyBodies recordBodies(const std::string& name, const std::string& children) {
    return {recordsBody(name, 1, children), commandBody("0", "Permission denied"), recordsBody(name, 2, children)};
}

// The result, the number of records in the output list afterwards (which
// starts with one sentinel record, kept on failure) and the error text.
struct RecordsRow {
    Variant variant;
    bool ok;
    std::size_t count;
    std::string error; // see expectText
};

const ReplyBodies COMMAND_BODIES{commandBody("1", ""), commandBody("0", "Permission denied"), twoCommandsBody()};

} // namespace CommandTests
