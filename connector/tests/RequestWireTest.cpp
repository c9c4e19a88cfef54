// What the command, remote-management, lock/share and listing requests put on
// the wire, as the test server recorded it, and that none of them sends
// anything before a login.

#include "CommandTestFixture.h"

#include <functional>

namespace CommandTests {
namespace {

using Nuvaro::NuvaroConnector;
using Nuvaro::RecordList;

Nuvaro::Record ridRecord(const std::string& rid) {
    return Nuvaro::Record(new std::map<std::string, std::string>{{"rid", rid}});
}

struct WireCase {
    std::string name;
    std::function<void(NuvaroConnector&)> call;
    std::string target;
    std::string version;
    std::string body;
};

const std::string ENCODED_CLIENT_ID = "pc%201%26id%3D2%2Bx";

std::vector<WireCase> wireCases() {
    static RecordList entries, meta, shares, commands;
    static std::string error, xml;
    return {
        {"file exists", [](NuvaroConnector& c) { c.remoteFileExists("/user1/a b.txt"); },
         "/app/explorer/fileexists", "HTTP/1.1", "file=%2Fuser1%2Fa%20b.txt"},
        {"create folder: name first, parent second, body parent first",
         [](NuvaroConnector& c) { c.createRemoteFolder("New folder", "/user1/docs"); }, "/app/explorer/createfolder",
         "HTTP/1.1", "path=%2Fuser1%2Fdocs&name=New%20folder"},
        {"delete: reserved characters encoded",
         [](NuvaroConnector& c) { c.deleteRemoteFile("/user1", "a&b=c+d;(1).txt"); }, "/app/explorer/deletefile",
         "HTTP/1.1", "path=%2Fuser1&name=a%26b%3Dc%2Bd%3B%281%29.txt"},
        {"rename goes out as HTTP/1.0; - _ . ~ stay",
         [](NuvaroConnector& c) { c.renameRemoteFile("/user1/docs", "a.txt", "b-_.~.txt"); },
         "/app/explorer/renamefile", "HTTP/1.0", "path=%2Fuser1%2Fdocs&name=a.txt&newname=b-_.~.txt"},
        {"copy", [](NuvaroConnector& c) { c.copyRemoteFile("/user1/docs", "a.txt", "/user1"); },
         "/app/explorer/copyfile", "HTTP/1.1", "path=%2Fuser1%2Fdocs&name=a.txt&copyto=%2Fuser1"},
        {"rename or move without overwrite: two fields",
         [](NuvaroConnector& c) { c.renameOrMoveRemoteFile("/user1/docs/a.txt", "/user1/b.txt", false); },
         "/app/explorer/renameormove", "HTTP/1.1", "fromname=%2Fuser1%2Fdocs%2Fa.txt&toname=%2Fuser1%2Fb.txt"},
        {"rename or move with overwrite",
         [](NuvaroConnector& c) { c.renameOrMoveRemoteFile("/user1/docs/a.txt", "/user1/b.txt", true); },
         "/app/explorer/renameormove", "HTTP/1.1",
         "fromname=%2Fuser1%2Fdocs%2Fa.txt&toname=%2Fuser1%2Fb.txt&overwrite=1"},
        {"rmc fetch: client id encoded", [](NuvaroConnector& c) { c.getRmcCommands(commands); },
         "/core/getrmccommands", "HTTP/1.1", "remote_client_id=" + ENCODED_CLIENT_ID},
        {"rmc ack: rids joined with # (encoded), then the client id",
         [](NuvaroConnector& c) { c.ackRmcCommands({ridRecord("12"), ridRecord("13"), ridRecord("20")}); },
         "/core/ackrmccommands", "HTTP/1.1", "command_rids=12%2313%2320&remote_client_id=" + ENCODED_CLIENT_ID},
        {"rmc ack: a record without rid leaves an empty element",
         [](NuvaroConnector& c) { c.ackRmcCommands({ridRecord("12"), Nuvaro::Record(new std::map<std::string, std::string>()), ridRecord("20")}); },
         "/core/ackrmccommands", "HTTP/1.1", "command_rids=12%23%2320&remote_client_id=" + ENCODED_CLIENT_ID},
        {"lock, read lock 0", [](NuvaroConnector& c) { c.lockFile("/user1/a b.txt", 0); }, "/core/lock", "HTTP/1.1",
         "path=%2Fuser1%2Fa%20b.txt&readlock=0"},
        {"lock, negative read lock keeps its sign", [](NuvaroConnector& c) { c.lockFile("/user1/x", -1); },
         "/core/lock", "HTTP/1.1", "path=%2Fuser1%2Fx&readlock=-1"},
        {"unlock: one field", [](NuvaroConnector& c) { c.unlockFile("/user1/a b.txt"); }, "/core/unlock",
         "HTTP/1.1", "path=%2Fuser1%2Fa%20b.txt"},
        {"quick share: & inside the location", [](NuvaroConnector& c) { c.quickShare("/user1/a&b", shares); },
         "/app/bramblelink/quickshare", "HTTP/1.1", "sharelocation=%2Fuser1%2Fa%26b"},
        {"listing without hidden entries and fc",
         [](NuvaroConnector& c) { c.getFileList("/user1/my docs", entries, meta, error, 0, false); },
         "/core/getfilelist", "HTTP/1.1", "path=%2Fuser1%2Fmy%20docs&showhidden=0"},
        {"listing with hidden entries and fc",
         [](NuvaroConnector& c) { c.getFileList("/user1/docs", entries, meta, error, 1, true); },
         "/core/getfilelist", "HTTP/1.1", "path=%2Fuser1%2Fdocs&showhidden=1&fc=1"},
        {"raw listing", [](NuvaroConnector& c) { c.getFileListStr("/user1", xml, error, 0, true); },
         "/core/getfilelist", "HTTP/1.1", "path=%2Fuser1&showhidden=0&fc=1"},
    };
}

TEST_F(CommandTest, RequestsGoOutAsFormPostsWithTheirTargetVersionAndBody) {
    for (const WireCase& wire : wireCases()) {
        SCOPED_TRACE(wire.name);
        server.clearRequests();
        wire.call(*client);
        const TS::RecordedRequest request = onlyRequest(wire.target);
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.target, wire.target);
        EXPECT_EQ(request.version, wire.version);
        EXPECT_EQ(request.body, wire.body);
        EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
        EXPECT_EQ(request.header("Content-Length"), std::to_string(wire.body.size()));
        EXPECT_EQ(request.header("User-Agent"), "Cloud Connector");
        EXPECT_THAT(request.header("Cookie"), ::testing::Not(::testing::IsEmpty()));
        // Only the listing offers a compressed reply.
        EXPECT_EQ(request.header("Accept-Encoding"), wire.target == "/core/getfilelist" ? "gzip" : "");
    }
}

TEST_F(CommandTest, DecodedFieldsArriveIntact) {
    client->deleteRemoteFile("/user1", "a&b=c+d.txt");
    const TS::RecordedRequest request = onlyRequest("/app/explorer/deletefile");
    EXPECT_EQ(request.formField("path"), "/user1");
    EXPECT_EQ(request.formField("name"), "a&b=c+d.txt");

    client->ackRmcCommands({ridRecord("12"), ridRecord("13")});
    const TS::RecordedRequest ack = onlyRequest("/core/ackrmccommands");
    EXPECT_EQ(ack.formField("command_rids"), "12#13");
    EXPECT_EQ(ack.formField("remote_client_id"), CLIENT_ID);
}

// The trace lines that say what was sent: one line of address, path and body
// for most requests, two lines for copy, rename and the acknowledgement, none
// for the remote-management fetch.
TEST_F(CommandTest, RequestsAreTracedAsTheyGoOut) {
    const std::string base = server.baseUrl();
    struct Case {
        std::string name;
        std::function<void(NuvaroConnector&)> call;
        std::vector<std::string> lines;
    };
    RecordList entries, meta, commands;
    std::string error;
    const std::vector<Case> cases = {
        {"create folder", [](NuvaroConnector& c) { c.createRemoteFolder("n", "/user1"); },
         {base + "/app/explorer/createfolder path=%2Fuser1&name=n"}},
        {"copy", [](NuvaroConnector& c) { c.copyRemoteFile("/user1", "n", "/t"); },
         {base + "/app/explorer/copyfile", "path=%2Fuser1&name=n&copyto=%2Ft"}},
        {"rename", [](NuvaroConnector& c) { c.renameRemoteFile("/user1", "n", "m"); },
         {base + "/app/explorer/renamefile", "path=%2Fuser1&name=n&newname=m"}},
        {"rmc ack", [](NuvaroConnector& c) { c.ackRmcCommands({ridRecord("5")}); },
         {base + "/core/ackrmccommands", "command_rids=5&remote_client_id=" + ENCODED_CLIENT_ID}},
        {"lock", [](NuvaroConnector& c) { c.lockFile("/user1/docs/a.txt", 1); },
         {base + "/core/lock path=%2Fuser1%2Fdocs%2Fa.txt&readlock=1"}},
        {"listing", [&](NuvaroConnector& c) { c.getFileList("/user1", entries, meta, error, 0, false); },
         {base + "/core/getfilelist path=%2Fuser1&showhidden=0"}},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        CloudSyncTest::LogCapture log;
        item.call(*client);
        for (const std::string& line : item.lines) {
            bool traced = false;
            for (const auto& entry : log.channel().entries()) {
                traced = traced || (entry.text == line && entry.priority == Poco::Message::PRIO_TRACE);
            }
            EXPECT_TRUE(traced) << line << "\n" << log.dump();
        }
    }
    CloudSyncTest::LogCapture log;
    client->getRmcCommands(commands);
    EXPECT_FALSE(log.contains("getrmccommands")) << log.dump();
}

// Not logged in: no traffic, false, and a reason where callers need one.
TEST_F(CommandTest, NothingIsSentBeforeLogin) {
    struct Case {
        std::string name;
        std::function<bool(NuvaroConnector&, std::string& error)> call;
        std::string lastError; // see expectText
        std::string errorLine;
    };
    const std::vector<Case> cases = {
        {"file exists", [](NuvaroConnector& c, std::string&) { return c.remoteFileExists("/user1/docs"); }, "*",
         "remoteFileExists : Not authenticated. Cannot check remote path"},
        {"create folder", [](NuvaroConnector& c, std::string&) { return c.createRemoteFolder("x", "/user1"); }, "",
         "Not authenticated. Cannot create remote folder"},
        {"delete", [](NuvaroConnector& c, std::string&) { return c.deleteRemoteFile("/user1", "x"); }, "",
         "Not authenticated. Cannot get delete remote file"},
        {"rename", [](NuvaroConnector& c, std::string&) { return c.renameRemoteFile("/user1", "x", "y"); }, "",
         "Not authenticated. Cannot rename or move file"},
        {"copy", [](NuvaroConnector& c, std::string&) { return c.copyRemoteFile("/user1", "x", "/user1/y"); }, "",
         "Not authenticated. Cannot copy file"},
        {"rename or move", [](NuvaroConnector& c, std::string&) { return c.renameOrMoveRemoteFile("/a", "/b", true); },
         "", "Not authenticated. Cannot rename or move file"},
        {"rmc fetch and ack",
         [](NuvaroConnector& c, std::string&) {
             RecordList commands;
             return c.getAndAckRmcCommands(commands);
         },
         "*", "getRmcCommands : Not authenticated. Cannot get rmc status"},
        {"rmc ack", [](NuvaroConnector& c, std::string&) { return c.ackRmcCommands({ridRecord("1")}); }, "*",
         "ackRmcCommands : Not authenticated. Cannot get rmc status"},
        {"lock", [](NuvaroConnector& c, std::string&) { return c.lockFile("/user1/docs/a.txt", 0); }, "",
         "Not authenticated. Cannot lock file"},
        {"unlock", [](NuvaroConnector& c, std::string&) { return c.unlockFile("/user1/docs/a.txt"); }, "",
         "Not authenticated. Cannot unlock file"},
        {"quick share",
         [](NuvaroConnector& c, std::string&) {
             RecordList shares;
             return c.quickShare("/user1/docs/a.txt", shares);
         },
         "", "Not authenticated. Cannot Share"},
        {"listing",
         [](NuvaroConnector& c, std::string& error) {
             RecordList entries, meta;
             return c.getFileList("/user1", entries, meta, error, 0, false);
         },
         "", "Not authenticated. Cannot get File list"},
        {"raw listing",
         [](NuvaroConnector& c, std::string& error) {
             std::string xml;
             return c.getFileListStr("/user1", xml, error, 0, false);
         },
         "", "Not authenticated. Cannot get File list"},
    };
    auto loggedOut = makeConnector();
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        CloudSyncTest::LogCapture log;
        std::string error;
        EXPECT_FALSE(item.call(*loggedOut, error));
        expectText(loggedOut->getLastError(), item.lastError);
        EXPECT_TRUE(log.contains(item.errorLine)) << log.dump();
        if (item.name.find("listing") != std::string::npos) {
            EXPECT_EQ(error, "Failed: No Authentication to get filelist");
        }
    }
    EXPECT_TRUE(server.requests().empty());
}

} // namespace
} // namespace CommandTests
