// Explorer commands, the item model's versions and tombstones, remote
// management, locks, quick share and the listing.

#include "TestServerFixture.h"

#include <Poco/InflatingStream.h>
#include <Poco/StreamCopier.h>

#include <sstream>

namespace TestServerTest {
namespace {

using ExplorerTest = TestServerFixture;

std::string result(const Response& r)
{
    auto cmd = records(r.body, "command");
    return cmd.size() == 1 ? cmd[0]["result"] + ":" + cmd[0]["message"] : "records=" + std::to_string(cmd.size());
}

TEST_F(ExplorerTest, CommandsChangeTheTreeAndRefuseWhatTheyCannotDo)
{
    server->putFile("user1", "/user1/docs/a.txt", "aaa");
    server->putFile("user1", "/user1/docs/sub/b.txt", "bb");
    server->makeFolder("user1", "/user1/target");

    struct Case {
        std::string path, body, expected;
    } cases[] = {
        {"/app/explorer/fileexists", "file=%2Fuser1%2Fdocs%2Fa.txt", "1:1"},
        {"/app/explorer/fileexists", "file=%2Fuser1%2Fnope", "1:0"},
        {"/app/explorer/createfolder", "path=%2Fuser1&name=New%20folder", "1:"},
        {"/app/explorer/createfolder", "path=%2Fuser1&name=New%20folder",
         "0:A file or folder with the same name already exists"},
        {"/app/explorer/createfolder", "path=%2Fuser1%2Fmissing&name=x", "0:Target folder does not exist"},
        {"/app/explorer/renamefile", "path=%2Fuser1%2Fdocs&name=a.txt&newname=c.txt", "1:"},
        {"/app/explorer/renamefile", "path=%2Fuser1%2Fdocs&name=a.txt&newname=d.txt", "0:File or folder not found"},
        {"/app/explorer/copyfile", "path=%2Fuser1%2Fdocs&name=c.txt&copyto=%2Fuser1%2Ftarget", "1:"},
        {"/app/explorer/copyfile", "path=%2Fuser1%2Fdocs&name=c.txt&copyto=%2Fuser1%2Ftarget",
         "0:A file or folder with the same name already exists"},
        {"/app/explorer/copyfile", "path=%2Fuser1&name=docs&copyto=%2Fuser1%2Fdocs%2Fsub", "0:Cannot copy a folder into itself"},
        {"/app/explorer/renameormove", "fromname=%2Fuser1%2Fdocs%2Fsub&toname=%2Fuser1%2Fmoved", "1:"},
        {"/app/explorer/renameormove", "fromname=%2Fuser1%2Ftarget%2Fc.txt&toname=%2Fuser1%2Fdocs%2Fc.txt",
         "0:A file or folder with the same name already exists"},
        {"/app/explorer/renameormove",
         "fromname=%2Fuser1%2Ftarget%2Fc.txt&toname=%2Fuser1%2Fdocs%2Fc.txt&overwrite=1", "1:"},
        {"/app/explorer/deletefile", "path=%2Fuser1&name=moved", "1:"},
        {"/app/explorer/deletefile", "path=%2Fuser1&name=moved", "0:File or folder not found"},
        {"/app/explorer/deletefile", "path=%2F&name=user1", "0:Top folders cannot be deleted"},
        {"/app/explorer/createfolder", "path=%2Fuser1%2F..%2Fuser2&name=x", "0:Invalid path"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.path + "?" + tc.body);
        EXPECT_EQ(result(client->postForm(tc.path, tc.body)), tc.expected);
    }
    EXPECT_TRUE(server->item("user1", "/user1/New folder").has_value());
    EXPECT_EQ(server->fileContent("user1", "/user1/docs/c.txt"), std::optional<std::string>("aaa"));
    EXPECT_FALSE(server->item("user1", "/user1/target/c.txt").has_value());
    EXPECT_FALSE(server->item("user1", "/user1/moved/b.txt").has_value());

    server->setAccess("user1", "/user1/docs", true, false);
    EXPECT_EQ(result(client->postForm("/app/explorer/deletefile", "path=%2Fuser1%2Fdocs&name=c.txt")),
              "0:Permission denied");
}

TEST_F(ExplorerTest, EveryChangeBumpsVersionsAndMovesAndDeletesLeaveTombstones)
{
    server->putFile("user1", "/user1/f/a.txt", "a");
    auto before = *server->item("user1", "/user1/f/a.txt");
    Poco::Int64 mark = server->currentVersion();

    client->postForm("/app/explorer/renameormove", "fromname=%2Fuser1%2Ff&toname=%2Fuser1%2Fg");
    auto moved = *server->item("user1", "/user1/g/a.txt");
    EXPECT_EQ(moved.id, before.id);
    EXPECT_EQ(moved.parent, "/user1/g");
    EXPECT_GT(moved.updateVersion, mark);
    EXPECT_EQ(moved.createVersion, before.createVersion);
    EXPECT_EQ(moved.updatePeer, "client-1");

    client->postForm("/app/explorer/copyfile", "path=%2Fuser1%2Fg&name=a.txt&copyto=%2Fuser1%2Fb.txt");
    auto copy = *server->item("user1", "/user1/b.txt");
    EXPECT_NE(copy.id, before.id);
    EXPECT_EQ(copy.createVersion, copy.updateVersion);

    client->postForm("/app/explorer/deletefile", "path=%2Fuser1&name=g");
    auto changes = server->changesSince("user1", "/user1", mark);
    std::vector<std::string> tombstones;
    for (const auto& c : changes)
        if (c.deleted) tombstones.push_back(c.fullPath);
    // The move leaves the folder and its file behind as tombstones at the old
    // path; the delete buries both at the new one.
    EXPECT_EQ(tombstones, (std::vector<std::string>{"/user1/f", "/user1/f/a.txt", "/user1/g", "/user1/g/a.txt"}));
    for (std::size_t i = 1; i < changes.size(); ++i) EXPECT_LT(changes[i - 1].updateVersion, changes[i].updateVersion);
    EXPECT_TRUE(server->changesSince("user1", "/user1", server->currentVersion()).empty());
}

TEST_F(ExplorerTest, RemoteManagementCommandsAreFetchedUntilAcknowledged)
{
    std::string first = server->queueRmcCommand("client-1", "10000", "Hello");
    std::string second = server->queueRmcCommand("client-1", "10002");
    server->queueRmcCommand("other", "10001");

    auto fetched = records(client->postForm("/core/getrmccommands", "remote_client_id=client-1").body, "rmc_command");
    ASSERT_EQ(fetched.size(), 2u);
    EXPECT_EQ(fetched[0]["rid"], first);
    EXPECT_EQ(fetched[0]["remote_command_id"], "10000");
    EXPECT_EQ(fetched[0]["message"], "Hello");

    Response ack = client->postForm("/core/ackrmccommands",
                                     "command_rids=" + first + "#" + second + "&remote_client_id=client-1");
    EXPECT_EQ(result(ack), "1:2 commands acknowledged");
    EXPECT_TRUE(records(client->postForm("/core/getrmccommands", "remote_client_id=client-1").body, "rmc_command")
                    .empty());
    EXPECT_EQ(server->rmcCommands("other").size(), 1u);
    EXPECT_FALSE(server->rmcCommands("other")[0].acknowledged);
}

TEST_F(ExplorerTest, LocksBelongToTheirUserAndSharesAreStable)
{
    addUser("user2", "pw");
    server->putFile("user1", "/user1/a b.txt", "x");

    EXPECT_EQ(result(client->postForm("/core/lock", "path=%2Fuser1%2Fa%20b.txt&readlock=0")), "1:");
    ASSERT_TRUE(server->lockOf("user1", "/user1/a b.txt").has_value());
    EXPECT_FALSE(server->lockOf("user1", "/user1/a b.txt")->readLock);
    EXPECT_EQ(result(client->postForm("/core/lock", "path=%2Fuser1%2Fnone&readlock=0")), "0:File or folder not found");

    server->setLock({"/user1/a b.txt", "user2", false});
    EXPECT_EQ(result(client->postForm("/core/lock", "path=%2Fuser1%2Fa%20b.txt&readlock=1")),
              "0:File is locked by another user");
    EXPECT_EQ(result(client->postForm("/core/unlock", "path=%2Fuser1%2Fa%20b.txt")), "0:File is locked by another user");
    server->setLock({"/user1/a b.txt", "user1", true});
    EXPECT_EQ(result(client->postForm("/core/unlock", "path=%2Fuser1%2Fa%20b.txt")), "1:");
    EXPECT_EQ(result(client->postForm("/core/unlock", "path=%2Fuser1%2Fa%20b.txt")), "0:File is not locked");

    auto share = records(client->postForm("/app/bramblelink/quickshare", "sharelocation=%2Fuser1%2Fa%20b.txt").body,
                         "share");
    ASSERT_EQ(share.size(), 1u);
    EXPECT_EQ(share[0]["sharelocation"], "/user1/a b.txt");
    EXPECT_EQ(share[0]["shareurl"].compare(0, server->baseUrl().size(), server->baseUrl()), 0);
    auto again = records(client->postForm("/app/bramblelink/quickshare", "sharelocation=%2Fuser1%2Fa%20b.txt").body,
                         "share");
    EXPECT_EQ(again[0]["shareurl"], share[0]["shareurl"]);
    EXPECT_TRUE(records(client->postForm("/app/bramblelink/quickshare", "sharelocation=%2Fuser1%2Fnone").body, "share")
                    .empty());
}

std::string gunzip(const std::string& data)
{
    std::istringstream in(data);
    Poco::InflatingInputStream inflater(in, Poco::InflatingStreamBuf::STREAM_GZIP);
    std::string out;
    Poco::StreamCopier::copyToString(inflater, out);
    return out;
}

TEST_F(ExplorerTest, ListingIsGzipCompressedOnlyWhenAsked)
{
    Poco::Timestamp when = Poco::Timestamp::fromEpochTime(1494938096);
    server->putFile("user1", "/user1/docs/b.txt", "12345", when);
    server->makeFolder("user1", "/user1/docs/a-folder");

    Response plain = client->postForm("/core/getfilelist", "path=%2Fuser1%2Fdocs&showhidden=0");
    EXPECT_EQ(plain.header("Content-Encoding"), "");
    Response packed = client->postForm("/core/getfilelist", "path=%2Fuser1%2Fdocs&showhidden=0",
                                       {{"Accept-Encoding", "gzip"}});
    EXPECT_EQ(packed.header("Content-Encoding"), "gzip");
    ASSERT_EQ(packed.body.substr(0, 2), std::string("\x1f\x8b"));
    EXPECT_EQ(gunzip(packed.body), plain.body);

    auto entries = records(plain.body, "entry");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]["name"], "a-folder");
    EXPECT_EQ(entries[0]["type"], "dir");
    EXPECT_EQ(entries[1]["path"], "/user1/docs/b.txt");
    EXPECT_EQ(entries[1]["dirpath"], "/user1/docs/");
    EXPECT_EQ(entries[1]["fullsize"], "5");
    EXPECT_EQ(entries[1]["modifiedepoch"], "1494938096");
    EXPECT_EQ(entries[1]["modified"], "2017-05-16 12:34:56");
    auto meta = records(plain.body, "meta");
    ASSERT_EQ(meta.size(), 1u);
    EXPECT_EQ(meta[0]["total"], "2");

    auto top = records(client->postForm("/core/getfilelist", "path=%2F&showhidden=0").body, "entry");
    ASSERT_EQ(top.size(), 3u);
    EXPECT_EQ(top[0]["path"], "/EXTERNAL");
    EXPECT_EQ(result(client->postForm("/core/getfilelist", "path=%2Fuser1%2Fnone&showhidden=0")), "0:Folder not found");
}

} // namespace
} // namespace TestServerTest
