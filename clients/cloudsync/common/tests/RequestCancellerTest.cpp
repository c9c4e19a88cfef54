// A connector whose cancel hook is a RequestCanceller (as the sync worker's
// and a job's are) against a test server that holds its reply for a minute
// or sends it at a crawl: cancel() ends every kind of request and transfer
// within seconds, as a stop, not a failure (no error line, the transfer's
// text "Canceled by user"), and a download leaves no file behind.

#include "RequestCanceller.h"

#include "LogCapture.h"
#include "TempFolder.h"
#include "VaultpineTestServer.h"
#include "WaitUntil.h"

#include "nuvarocbfs_Network.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using Nuvaro::NuvaroConnector;
using Nuvaro::Sync::RequestCanceller;
using Nuvaro::Sync::TestServer::TestAccount;
using Nuvaro::Sync::TestServer::TestFault;
using Nuvaro::Sync::TestServer::VaultpineTestServer;

// The names in folder, sorted.
std::vector<std::string> names(const std::string& folder) {
    std::vector<std::string> found;
    Poco::File(folder).list(found);
    std::sort(found.begin(), found.end());
    return found;
}

// The server holds a reply this long: far longer than any stop may take.
const int kHoldMs = 60000;
// How long a cancelled call may take to return.
const auto kStopBound = std::chrono::seconds(5);

class RequestCancellerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.start();
        TestAccount account;
        account.userId = "user1";
        account.password = "pass1";
        server.addAccount(account);
        server.putFile("user1", "/user1/docs/a.txt", std::string(300000, 'a'));
        Poco::File(tmp / "up").createDirectories();
        tmp.write("up/small.txt", "small");
        tmp.write("up/big.bin", std::string(3 * 1048576, 'b'));
        tmp.write("a.txt", "the user's own copy");
    }

    std::unique_ptr<NuvaroConnector> loggedIn(RequestCanceller& canceller) {
        Nuvaro::RecordList settings{Nuvaro::Record(new std::map<std::string, std::string>{
            {"url", server.baseUrl()}, {"profile", "user1"}, {"password", "pass1"}})};
        std::unique_ptr<NuvaroConnector> connector(new NuvaroConnector(settings, false, "Cloud Sync"));
        connector->setCancelHook(&canceller);
        EXPECT_TRUE(connector->Authenticate(true));
        return connector;
    }

    VaultpineTestServer server;
    CloudSyncTest::TempFolder tmp;
};

// One request or transfer that a stop must end, in the state the server's
// fault keeps it in. call returns the call's result and fills error (a
// request's own reason where it has no error text).
struct StopCase {
    const char* what;
    const char* path;
    std::function<TestFault(const std::string& path)> fault;
    std::function<bool(NuvaroConnector&, const std::string& tmp, std::string& error)> call;
    // The error text a stopped call gives ("" for requests, which keep none).
    const char* error;
};

TEST_F(RequestCancellerTest, CancelEndsEveryRequestAndTransferTheServerHolds) {
    auto held = [](const std::string& path) { return TestFault::withDelay(path, kHoldMs); };
    auto crawling = [](const std::string& path) { return TestFault::throttled(path, 8192); };
    const StopCase cases[] = {
        {"download, waiting for the reply head", "/core/downloadfile", held,
         [](NuvaroConnector& c, const std::string& dir, std::string& error) {
             return c.downloadFile("/user1/docs", "a.txt", dir + "/a.txt", error, "sync", -1, -1);
         },
         "Canceled by user"},
        {"download, reading a slow body", "/download/*", crawling,
         [](NuvaroConnector& c, const std::string& dir, std::string& error) {
             return c.downloadFile("/user1/docs", "a.txt", dir + "/a.txt", error, "sync", -1, -1);
         },
         "Canceled by user"},
        {"upload, waiting for the reply head", "/upload", held,
         [](NuvaroConnector& c, const std::string& dir, std::string& error) {
             return c.uploadFile("/user1/docs", dir + "/up/small.txt", error, "sync", -1);
         },
         "Canceled by user"},
        {"upload, sending a body the server reads slowly", "/upload", crawling,
         [](NuvaroConnector& c, const std::string& dir, std::string& error) {
             return c.uploadFile("/user1/docs", dir + "/up/big.bin", error, "sync", -1);
         },
         "Canceled by user"},
        {"piece of an upload, waiting for the reply head", "/upload", held,
         [](NuvaroConnector& c, const std::string& dir, std::string& error) {
             std::atomic<bool> never{false};
             return c.chunkedUploadFile("/user1/docs", dir + "/up/big.bin", error, never, "sync", 1048576, "");
         },
         "Canceled by user"},
        {"listing, waiting for the reply head", "/core/getfilelist", held,
         [](NuvaroConnector& c, const std::string&, std::string& error) {
             Nuvaro::RecordList entries, meta;
             return c.getFileList("/user1/docs", entries, meta, error, 0, false);
         },
         nullptr},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.what);
        server.clearFaults();
        server.clearRequests();
        RequestCanceller canceller;
        std::unique_ptr<NuvaroConnector> connector = loggedIn(canceller);
        server.addFault(c.fault(c.path));
        CloudSyncTest::LogCapture log;

        std::string error;
        const std::string dir = tmp.path();
        std::future<bool> result = std::async(std::launch::async, [&] { return c.call(*connector, dir, error); });
        // Served now: its head arrived (a download's body comes from the
        // redirect's listener once the server's own request was answered).
        if (std::string(c.path) == "/download/*")
            ASSERT_TRUE(server.waitForRequests("/core/downloadfile", 1, 10000));
        else
            ASSERT_TRUE(CloudSyncTest::waitUntil([&] { return server.requestsInFlight(c.path) > 0; }, 10000));
        // Let the call settle into its wait (or its slow body).
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto cancelled = std::chrono::steady_clock::now();
        canceller.cancel();
        ASSERT_EQ(result.wait_for(kStopBound), std::future_status::ready);
        EXPECT_LT(std::chrono::steady_clock::now() - cancelled, kStopBound);

        EXPECT_FALSE(result.get());
        if (c.error) {
            EXPECT_EQ(error, c.error);
        }
        for (const auto& entry : log.channel().entries()) {
            EXPECT_GT(entry.priority, Poco::Message::PRIO_ERROR) << "logged as a failure: " << entry.text;
        }
        EXPECT_EQ(CloudSyncTest::TempFolder::read(tmp / "a.txt"), "the user's own copy");
        EXPECT_EQ(names(tmp.path()), (std::vector<std::string>{"a.txt", "up"})) << "no temporary file left";
        // Refused from now on, before anything is sent.
        server.clearRequests();
        std::string again;
        EXPECT_FALSE(connector->downloadFile("/user1/docs", "a.txt", tmp / "a.txt", again, "sync", -1, -1));
        EXPECT_EQ(again, "Canceled by user");
        EXPECT_TRUE(server.requests("/core/downloadfile").empty());
    }
}

// A connector whose owner never stops works as before: the hook only
// registers and releases its sessions.
TEST_F(RequestCancellerTest, AHookThatIsNotCancelledChangesNothing) {
    RequestCanceller canceller;
    std::unique_ptr<NuvaroConnector> connector = loggedIn(canceller);
    std::string error;
    ASSERT_TRUE(connector->uploadFile("/user1/docs", tmp / "up/small.txt", error, "sync", -1)) << error;
    std::atomic<bool> never{false};
    ASSERT_TRUE(connector->chunkedUploadFile("/user1/docs", tmp / "up/big.bin", error, never, "sync", 1048576, ""))
        << error;
    ASSERT_TRUE(connector->downloadFile("/user1/docs", "big.bin", tmp / "down.bin", error, "sync", -1, -1)) << error;
    EXPECT_EQ(Poco::File(tmp / "down.bin").getSize(), 3u * 1048576u);
    Nuvaro::RecordList entries, meta;
    EXPECT_TRUE(connector->getFileList("/user1/docs", entries, meta, error, 0, false)) << error;
    EXPECT_FALSE(canceller.cancelled());
}

} // namespace
