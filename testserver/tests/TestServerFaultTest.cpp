// Fault injection: every kind of fault happens as configured, only on its
// path, only as often as asked, and every wait is bounded.

#include "TestServerFixture.h"

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/Stopwatch.h>

#include <thread>

namespace TestServerTest {
namespace {

using FaultTest = TestServerFixture;

const std::string kStatus = "/core/getsystemstatus?nousage=0";

// Sends a raw GET over a plain socket and returns every byte until close.
std::string rawExchange(Poco::UInt16 port, const std::string& target, const std::string& cookie)
{
    Poco::Net::StreamSocket socket(Poco::Net::SocketAddress("127.0.0.1", port));
    socket.setReceiveTimeout(Poco::Timespan(5, 0));
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nCookie: " + cookie + "\r\n\r\n";
    socket.sendBytes(request.data(), static_cast<int>(request.size()));
    std::string received;
    char buffer[4096];
    int n;
    while ((n = socket.receiveBytes(buffer, sizeof(buffer))) > 0) received.append(buffer, n);
    return received;
}

TEST_F(FaultTest, ReplyReplacingFaultsAnswerInsteadOfTheEndpoint)
{
    const std::string twoRecords =
        "<r><command><result>1</result><message/></command><command><result>1</result><message/></command></r>";
    struct Case {
        TestFault fault;
        int status;
        std::string body;
        bool location;
    } cases[] = {
        {TestFault::withStatus("/app/explorer/createfolder", 503), 503, "", false},
        {TestFault::withBody("/app/explorer/createfolder", "this is not xml"), 200, "this is not xml", false},
        {TestFault::withBody("/app/explorer/createfolder", twoRecords), 200, twoRecords, false},
        {TestFault::withBody("/app/explorer/createfolder", "<html>oops</html>", 500), 500, "<html>oops</html>", false},
        {TestFault::redirectNoLocation("/app/explorer/createfolder"), 302, "", false},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.body + " " + std::to_string(tc.status));
        server->clearFaults();
        server->addFault(tc.fault);
        Response r = client->postForm("/app/explorer/createfolder", "path=%2Fuser1&name=f");
        EXPECT_EQ(r.status, tc.status);
        EXPECT_EQ(r.body, tc.body);
        EXPECT_EQ(r.header("Location").empty(), !tc.location);
        EXPECT_FALSE(server->item("user1", "/user1/f").has_value()) << "the endpoint must not run";
    }
    // The request itself is still recorded whole.
    auto recorded = server->requests("/app/explorer/createfolder");
    ASSERT_FALSE(recorded.empty());
    EXPECT_EQ(recorded.back().body, "path=%2Fuser1&name=f");
}

TEST_F(FaultTest, SkipAndTimesCountMatchingRequestsOnly)
{
    TestFault fault = TestFault::withStatus("/core/getsystemstatus", 500);
    fault.skip = 1;
    fault.times = 2;
    server->addFault(fault);
    std::vector<int> statuses;
    for (int i = 0; i < 5; ++i) {
        client->get("/core/getpluginlaunchlist"); // another path: never counted
        statuses.push_back(client->get(kStatus).status);
    }
    EXPECT_EQ(statuses, (std::vector<int>{200, 500, 500, 200, 200}));

    // A prefix rule ("*") matches every path below it.
    server->addFault(TestFault::withStatus("/core/*", 418));
    EXPECT_EQ(client->get("/core/getpluginlaunchlist").status, 418);
    EXPECT_EQ(client->postForm("/app/explorer/fileexists", "file=%2Fuser1").status, 200);
}

TEST_F(FaultTest, DelayHoldsTheReplyForItsTimeOnly)
{
    server->addFault(TestFault::withDelay("/core/getsystemstatus", 300));
    Poco::Stopwatch watch;
    watch.start();
    Response delayed = client->get(kStatus);
    EXPECT_GE(watch.elapsed(), 280000);
    EXPECT_EQ(records(delayed.body, "status").size(), 1u);

    // A client with a shorter timeout gives up; the server is not stuck.
    server->addFault(TestFault::withDelay("/core/getpluginlaunchlist", 2000));
    client->timeoutMs = 200;
    EXPECT_TRUE(client->get("/core/getpluginlaunchlist").failed);
    client->timeoutMs = 5000;
    EXPECT_EQ(client->get("/core/getauthenticationinfo").status, 200);
}

TEST_F(FaultTest, ActionRunsBeforeTheEndpointAnswersAsOftenAsAsked)
{
    int runs = 0;
    TestFault acting = TestFault::withAction("/core/getsystemstatus", [&] {
        ++runs;
        server->putFile("user1", "/user1/acted.txt", "acted " + std::to_string(runs));
    });
    acting.times = 2;
    server->addFault(acting);
    for (int i = 0; i < 3; ++i) {
        Response reply = client->get(kStatus);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(records(reply.body, "status").size(), 1u);
    }
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(server->fileContent("user1", "/user1/acted.txt"), std::string("acted 2"));
    client->get("/core/getpluginlaunchlist");
    EXPECT_EQ(runs, 2);
}

TEST_F(FaultTest, RequestsInFlightCountDelayedRepliesServedAtOnce)
{
    server->addFault(TestFault::withDelay("/core/getsystemstatus", 500));
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; ++i) {
        callers.emplace_back([this] {
            Client own(server->baseUrl());
            own.setCookie(client->cookie());
            own.get(kStatus);
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(server->peakRequestsInFlight("/core/getsystemstatus"), 3);
    EXPECT_EQ(server->requestsInFlight("/core/getsystemstatus"), 0);
    client->get("/core/getpluginlaunchlist");
    EXPECT_EQ(server->peakRequestsInFlight("/core/getpluginlaunchlist"), 1);

    // clearRequests() starts the peak again.
    server->clearRequests();
    EXPECT_EQ(server->peakRequestsInFlight("/core/getsystemstatus"), 0);
}

TEST_F(FaultTest, StopWakesADelayedReply)
{
    server->addFault(TestFault::withDelay("/core/getsystemstatus", 60000));
    std::thread waiter([&] { client->get(kStatus); });
    ASSERT_TRUE(server->waitForRequests("/core/getsystemstatus", 1, 5000));
    Poco::Stopwatch watch;
    watch.start();
    server->stop();
    EXPECT_LT(watch.elapsed(), 5000000);
    waiter.join();
}

TEST_F(FaultTest, DropAfterBytesCutsTheRawReply)
{
    std::string full = rawExchange(server->port(), kStatus, client->cookie());
    std::size_t headEnd = full.find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos);

    for (Poco::Int64 cut : {Poco::Int64(0), Poco::Int64(10), static_cast<Poco::Int64>(headEnd + 4 + 20)}) {
        SCOPED_TRACE(cut);
        server->clearFaults();
        server->addFault(TestFault::dropAfter("/core/getsystemstatus", cut));
        std::string got = rawExchange(server->port(), kStatus, client->cookie());
        EXPECT_EQ(got.size(), static_cast<std::size_t>(cut));
        EXPECT_EQ(got.substr(0, 9), full.substr(0, std::min<std::size_t>(9, cut)));
        EXPECT_TRUE(client->get(kStatus).failed || client->get(kStatus).status == 200);
    }
    // A Poco client sees the cut as an exchange error.
    server->clearFaults();
    server->addFault(TestFault::dropAfter("/core/getsystemstatus", 5));
    EXPECT_TRUE(client->get(kStatus).failed);
}

TEST_F(FaultTest, TruncatedBodyAnnouncesTheFullLength)
{
    std::string full = client->get(kStatus).body;
    server->addFault(TestFault::truncatedBody("/core/getsystemstatus", 25));
    std::string raw = rawExchange(server->port(), kStatus, client->cookie());
    EXPECT_NE(raw.find("Content-Length: " + std::to_string(full.size())), std::string::npos);
    EXPECT_EQ(raw.substr(raw.find("\r\n\r\n") + 4), full.substr(0, 25));
}

TEST_F(FaultTest, AnnouncedLengthReplacesTheRealOne)
{
    std::string full = client->get(kStatus).body;
    server->addFault(TestFault::withAnnouncedLength("/core/getsystemstatus", 104857601));
    std::string raw = rawExchange(server->port(), kStatus, client->cookie());
    EXPECT_NE(raw.find("Content-Length: 104857601"), std::string::npos);
    EXPECT_EQ(raw.substr(raw.find("\r\n\r\n") + 4), full);
}

TEST_F(FaultTest, RepliesWithoutContentLength)
{
    std::string full = client->get(kStatus).body;
    server->addFault(TestFault::noContentLength("/core/getsystemstatus"));
    std::string raw = rawExchange(server->port(), kStatus, client->cookie());
    EXPECT_EQ(raw.find("Content-Length"), std::string::npos);
    EXPECT_NE(raw.find("Connection: Close"), std::string::npos);
    EXPECT_EQ(raw.substr(raw.find("\r\n\r\n") + 4), full);

    server->clearFaults();
    server->addFault(TestFault::chunked("/core/getsystemstatus"));
    Response r = client->get(kStatus);
    EXPECT_EQ(r.header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(r.body, full);
}

TEST_F(FaultTest, ChunkedRepliesThatBreakOff)
{
    std::string full = client->get(kStatus).body;
    struct Case {
        TestFault fault;
        std::string body; // exactly what follows the head before the close
    } cases[] = {
        {TestFault::chunkedCut("/core/getsystemstatus", 5), "5\r\n" + full.substr(0, 5) + "\r\n"},
        {TestFault::chunkedShortChunk("/core/getsystemstatus", 0x400, 5), "400\r\n" + full.substr(0, 5)},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.body);
        server->clearFaults();
        server->addFault(tc.fault);
        std::string raw = rawExchange(server->port(), kStatus, client->cookie());
        std::size_t headEnd = raw.find("\r\n\r\n");
        ASSERT_NE(headEnd, std::string::npos);
        EXPECT_NE(raw.find("Transfer-Encoding: chunked"), std::string::npos);
        EXPECT_EQ(raw.find("Content-Length"), std::string::npos);
        EXPECT_EQ(raw.substr(headEnd + 4), tc.body);
    }
}

} // namespace
} // namespace TestServerTest
