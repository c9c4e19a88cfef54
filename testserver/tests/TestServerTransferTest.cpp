// Uploads (one request and in pieces), downloads with ranges and through the
// redirect listener, and several clients at once.

#include "TestServerFixture.h"

#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/TemporaryFile.h>
#include <Poco/URI.h>

#include <fstream>

#include <atomic>
#include <thread>

namespace TestServerTest {
namespace {

using TransferTest = TestServerFixture;

std::string bytes(std::size_t n, unsigned seed = 7)
{
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 131 + seed * 17 + (i >> 9)) & 0xff);
    return out;
}

std::string uploadTarget(const std::string& folder, const std::string& extra = "")
{
    return "/upload?appname=sync&path=" + enc(folder) + "&expandzip=0" + extra +
           "&date=2017-05-16%2012%3A34%3A56&overwrite=1";
}

TEST_F(TransferTest, UploadInOneRequestStoresTheFileAndBumpsItsVersion)
{
    std::string data = bytes(100000);
    Response r = client->upload(uploadTarget("/user1/Folder A"), "data.bin", data);
    EXPECT_EQ(r.body, "Failed: Target folder does not exist");

    server->makeFolder("user1", "/user1/Folder A");
    r = client->upload(uploadTarget("/user1/Folder A"), "data.bin", data);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "OK");
    auto first = server->item("user1", "/user1/Folder A/data.bin");
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size, 100000);
    EXPECT_EQ(first->modified.epochTime(), 1494938096);
    EXPECT_EQ(server->fileContent("user1", "/user1/Folder A/data.bin"), std::optional<std::string>(data));

    // The recorded request keeps the exact multipart length.
    auto sent = server->requests("/upload").back();
    EXPECT_EQ(sent.header("Content-Length"), std::to_string(200 + 8 + data.size()));
    EXPECT_EQ(sent.bodySize, static_cast<Poco::Int64>(200 + 8 + data.size()));
    EXPECT_EQ(sent.queryField("date"), "2017-05-16 12:34:56");

    // Overwrite keeps the identity and bumps the version; without overwrite=1 it is refused.
    std::string changed = bytes(5000, 9);
    EXPECT_EQ(client->upload(uploadTarget("/user1/Folder A"), "data.bin", changed).body, "OK");
    auto second = *server->item("user1", "/user1/Folder A/data.bin");
    EXPECT_EQ(second.id, first->id);
    EXPECT_GT(second.updateVersion, first->updateVersion);
    EXPECT_EQ(second.updatePeer, "client-1");
    EXPECT_EQ(server->fileContent("user1", "/user1/Folder A/data.bin"), std::optional<std::string>(changed));
    EXPECT_EQ(client->upload("/upload?appname=sync&path=%2Fuser1%2FFolder%20A&expandzip=0", "data.bin", "x").body,
              "Failed: A file or folder with the same name already exists");
}

TEST_F(TransferTest, UploadInPiecesStoresTheFileOnceComplete)
{
    const std::size_t piece = 1 << 20;
    std::string data = bytes(3 * piece - 123);
    Poco::Int64 before = server->currentVersion();
    for (std::size_t offset = 0; offset < data.size(); offset += piece) {
        bool last = offset + piece >= data.size();
        std::string extra = "&offset=" + std::to_string(offset) + "&complete=" + (last ? "1" : "0");
        Response r = client->upload(uploadTarget("/user1", extra), "big.bin", data.substr(offset, piece));
        ASSERT_EQ(r.body, "OK") << offset;
        if (!last) {
            EXPECT_FALSE(server->item("user1", "/user1/big.bin").has_value());
        }
    }
    auto item = server->item("user1", "/user1/big.bin");
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->size, static_cast<Poco::Int64>(data.size()));
    EXPECT_EQ(item->updateVersion, before + 1); // one bump for the whole upload
    EXPECT_EQ(server->fileContent("user1", "/user1/big.bin"), std::optional<std::string>(data));
    EXPECT_EQ(server->requests("/upload").size(), 3u);

    // A piece at the wrong offset is refused and stores nothing.
    client->upload(uploadTarget("/user1", "&offset=0&complete=0"), "gap.bin", "abc");
    Response gap = client->upload(uploadTarget("/user1", "&offset=10&complete=1"), "gap.bin", "def");
    EXPECT_EQ(gap.body, "Failed: Invalid offset 10, expected 3");
    EXPECT_FALSE(server->item("user1", "/user1/gap.bin").has_value());
}

// A client that drops the connection before the body's end (its file
// changed while it was sent): neither a whole upload nor a piece is kept.
TEST_F(TransferTest, UploadBodyCutShortStoresNothing)
{
    server->makeFolder("user1", "/user1/cut");
    const std::string boundary = "---------------------------248221545120005";
    const std::string data = bytes(200000);
    for (const std::string extra : {"", "&offset=0&complete=1"}) {
        SCOPED_TRACE(extra);
        server->clearRequests();
        const std::string body = "--" + boundary +
                                 "\r\nContent-Disposition: form-data; name=\"filedata\"; filename=\"cut.bin\"\r\n"
                                 "Content-Type: application/octet-stream\r\n\r\n" +
                                 data + "\r\n--" + boundary + "--\r\n";
        const std::string head = "POST " + uploadTarget("/user1/cut", extra) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                 "Cookie: " + client->cookie() + "\r\n" +
                                 "Content-Type: multipart/form-data; boundary=" + boundary + "\r\n" +
                                 "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        {
            Poco::Net::StreamSocket socket(Poco::Net::SocketAddress("127.0.0.1", server->port()));
            const std::string sent = head + body.substr(0, body.size() / 2);
            socket.sendBytes(sent.data(), static_cast<int>(sent.size()));
            socket.shutdownSend();
            ASSERT_TRUE(server->waitForRequests("/upload", 1, 10000));
        }
        EXPECT_FALSE(server->fileContent("user1", "/user1/cut/cut.bin").has_value());
    }
}

TEST_F(TransferTest, RefusedUploadAnswersTheFaultTextAndStoresNothing)
{
    server->addFault(TestFault::withBody("/upload", "Failed: Storage quota exceeded", 200));
    Response r = client->upload(uploadTarget("/user1"), "q.bin", bytes(1000));
    EXPECT_EQ(r.body, "Failed: Storage quota exceeded");
    EXPECT_FALSE(server->item("user1", "/user1/q.bin").has_value());
    EXPECT_EQ(server->requests("/upload").back().bodySize, 200 + 5 + 1000);
}

TEST_F(TransferTest, RangeDownloadsAnswer206WithTheRightBytes)
{
    std::string data = bytes(70000);
    Poco::TemporaryFile local;
    {
        std::ofstream out(local.path(), std::ios::binary);
        out << data;
    }
    ASSERT_TRUE(server->putFileFrom("user1", "/user1/d/file.bin", local.path()));
    const std::string target = "/core/downloadfile?filepath=%2Fuser1%2Fd&filename=file.bin&app=sync";

    struct Case {
        std::string range;
        int status;
        std::string body, contentRange;
    } cases[] = {
        {"", 200, data, ""},
        {"bytes=0-99", 206, data.substr(0, 100), "bytes 0-99/70000"},
        {"bytes=65536-", 206, data.substr(65536), "bytes 65536-69999/70000"},
        {"bytes=-500", 206, data.substr(69500), "bytes 69500-69999/70000"},
        {"bytes=69990-80000", 206, data.substr(69990), "bytes 69990-69999/70000"},
        {"bytes=70000-", 416, "Requested range not satisfiable", "bytes */70000"},
        {"items=1-2", 200, data, ""},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.range);
        std::map<std::string, std::string> headers;
        if (!tc.range.empty()) headers["Range"] = tc.range;
        Response r = client->get(target, headers);
        EXPECT_EQ(r.status, tc.status);
        EXPECT_TRUE(r.body == tc.body) << r.body.size();
        EXPECT_EQ(r.header("Content-Range"), tc.contentRange);
    }
    EXPECT_EQ(client->get("/core/downloadfile?filepath=%2Fuser1%2Fd&filename=none").status, 404);
}

TEST_F(TransferTest, RedirectLeadsToTheSecondListener)
{
    std::string data = bytes(20000);
    server->putFile("user1", "/user1/r.bin", data);
    Response first = client->get("/core/downloadfile?filepath=%2Fuser1&filename=r.bin&app=sync&redirect=1");
    ASSERT_EQ(first.status, 302);
    Poco::URI location(first.header("Location"));
    EXPECT_EQ(location.getHost(), "127.0.0.1");
    ASSERT_NE(server->redirectPort(), 0);
    EXPECT_EQ(location.getPort(), server->redirectPort());
    EXPECT_NE(location.getPort(), server->port());

    // The client follows with an absolute-form target, its cookie and a range.
    Client second("http://127.0.0.1:" + std::to_string(location.getPort()));
    second.setCookie(client->cookie());
    Response bytesReply = second.get(location.toString(), {{"Range", "bytes=100-"}});
    EXPECT_EQ(bytesReply.status, 206);
    EXPECT_TRUE(bytesReply.body == data.substr(100));
    auto recorded = server->requests(location.getPath());
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].listener, 1);
    EXPECT_EQ(recorded[0].target, location.toString());

    // The redirect listener serves nothing else; the main one serves no tokens.
    EXPECT_EQ(second.get("/core/getsystemstatus").status, 404);
    EXPECT_EQ(client->get(location.getPath()).status, 404);
    EXPECT_EQ(second.get("/download/unknown-token").status, 404);
}

TEST_F(TransferTest, ServesSeveralClientsAtOnce)
{
    const int clients = 8;
    for (int i = 0; i < clients; ++i) server->putFile("user1", "/user1/p/f" + std::to_string(i), bytes(200000, i));
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back([&, i] {
            Client c(server->baseUrl());
            if (!c.login("user1", "pass1")) return;
            std::string name = "f" + std::to_string(i);
            Response down = c.get("/core/downloadfile?filepath=%2Fuser1%2Fp&filename=" + name);
            Response up = c.upload(uploadTarget("/user1/p"), "u" + std::to_string(i), down.body);
            if (down.body == bytes(200000, i) && up.body == "OK") ++good;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), clients);
    EXPECT_EQ(server->sessionCount("user1"), clients + 1);
    for (int i = 0; i < clients; ++i)
        EXPECT_EQ(server->fileContent("user1", "/user1/p/u" + std::to_string(i)),
                  std::optional<std::string>(bytes(200000, i)));
}

} // namespace
} // namespace TestServerTest
