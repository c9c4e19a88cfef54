// The sync worker's own requests (recheck, skip upload, checksum, sync lock
// and its refresh), the backup record, the runner's images, the refusal
// without a session, blocked accounts, and faults on the sync API.

#include "TestServerFixture.h"

#include <Poco/Thread.h>

namespace TestServerTest {
namespace {

using SyncRequestTest = TestServerFixture;

// "key=value" of the named fields of the first record called `name`.
std::string fieldsOf(const Response& r, const std::string& name, const std::vector<std::string>& keys)
{
    auto found = records(r.body, name);
    if (found.empty()) return "no " + name + " record";
    std::string out;
    for (const std::string& key : keys) out += (out.empty() ? "" : " ") + key + "=" + found[0][key];
    return out;
}

TEST_F(SyncRequestTest, SyncWorkerRequestsAnswerAsTheClientReadsThem)
{
    server->putFile("user1", "/user1/docs/a b&c.txt", "hello");
    const std::string lockQuery = "/app/sync/lock?friendly=My%20Laptop&name=";
    const std::string unlockQuery = "/app/sync/unlock?friendly=My%20Laptop&name=";
    const std::vector<std::string> command{"result", "message"};
    const std::vector<std::string> lock{"success", "reason", "uploadpath", "syncversion"};
    const std::vector<std::string> answer{"success", "reason"};
    const std::vector<std::string> rights{"read", "write"};
    server->makeFolder("user1", "/EXTERNAL/share1");
    server->setAccess("user1", "/EXTERNAL/share1", true, false);
    struct Case {
        std::string method, target, body, record;
        std::vector<std::string> keys;
        std::string expected;
    } cases[] = {
        {"POST", "/app/sync/recheckrecord", "path=%2Fuser1%2Fdocs%2Fa%20b%26c.txt", "command", command,
         "result=1 message="},
        {"POST", "/app/sync/recheckrecord", "path=%2Fuser1%2Fnope", "command", command,
         "result=0 message=File or folder not found"},
        {"POST", "/core/getaccessdetailsforpath", "fullpath=%2FEXTERNAL%2Fshare1%2Ff.txt", "permission", rights,
         "read=1 write=0"},
        {"POST", "/core/getaccessdetailsforpath", "fullpath=%2FEXTERNAL%2Fother%2Ff.txt", "permission", rights,
         "read=1 write=1"},
        {"GET", "/app/sync/skipupload?friendly=L&name=dev1&fullpath=%2Fuser1%2Fbig.iso&size=99", "", "command",
         command, "result=1 message="},
        {"GET", "/app/sync/getchecksum?friendly=L&download=0&fullpath=%2Fuser1%2Fdocs%2Fa%20b%26c.txt&name=dev1"
                "&start=0&length=5",
         "", "command", command, "result=1 message=3610a686062c0215"},
        {"GET", "/app/sync/getchecksum?friendly=L&download=1&fullpath=%2Fuser1%2Fdocs%2Fa%20b%26c.txt&name=dev1"
                "&start=1&length=3",
         "", "command", command, "result=1 message=3c11d9010276013e"},
        {"GET", "/app/sync/getchecksum?friendly=L&download=0&fullpath=%2Fuser1%2Fdocs&name=dev1&start=0&length=0",
         "", "command", command, "result=0 message=File not found"},
        {"GET", lockQuery + "dev1", "", "lock", lock, "success=true reason= uploadpath=/user1 syncversion=2"},
        {"GET", lockQuery + "dev1", "", "lock", lock, "success=true reason= uploadpath=/user1 syncversion=2"},
        {"GET", lockQuery + "dev2", "", "lock", lock,
         "success=false reason=Sync is locked by another device: dev1 uploadpath= syncversion=2"},
        {"GET", "/app/sync/refreshlock?&name=dev1", "", "lock", answer, "success=true reason="},
        {"GET", "/app/sync/refreshlock?&name=dev2", "", "lock", answer,
         "success=false reason=No sync lock held by dev2"},
        {"GET", unlockQuery + "dev2", "", "unlock", answer, "success=false reason=No sync lock held by dev2"},
        {"GET", unlockQuery + "dev1", "", "unlock", answer, "success=true reason="},
        {"GET", lockQuery + "dev2", "", "lock", lock, "success=true reason= uploadpath=/user1 syncversion=2"},
        {"POST", "/app/backup/addbackuprecord",
         "remote_client_id=rc1&device_name=My%20Laptop&backup_set_name=Pictures&backup_set_local_folder=%2Fhome%2Fu"
         "%2FPictures&backup_set_filestats=12&send_email=1",
         "command", command, "result=1 message=Backup record added"},
    };
    Poco::Int64 before = server->item("user1", "/user1/docs/a b&c.txt")->updateVersion;
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.method + " " + tc.target + " " + tc.body);
        Response r = tc.method == "GET" ? client->get(tc.target) : client->postForm(tc.target, tc.body);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(fieldsOf(r, tc.record, tc.keys), tc.expected);
    }
    EXPECT_GT(server->item("user1", "/user1/docs/a b&c.txt")->updateVersion, before) << "a recheck resends the item";
    EXPECT_EQ(server->syncLockHolder("user1"), std::optional<std::string>("dev2"));
    auto backups = server->backupRecords();
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backups[0].userId, "user1");
    EXPECT_EQ(backups[0].clientId, "rc1");
    EXPECT_EQ(backups[0].deviceName, "My Laptop");
    EXPECT_EQ(backups[0].setName, "Pictures");
    EXPECT_EQ(backups[0].localFolder, "/home/u/Pictures");
    EXPECT_EQ(backups[0].fileStats, "12");
    EXPECT_EQ(backups[0].sendEmail, "1");
}

TEST_F(SyncRequestTest, SyncLockTimesOutAndFollowsTheProtocolSwitch)
{
    server->setSyncOptions(SyncOptions{0, "3", false, 50});
    server->setSyncLockHolder("user1", "otherdevice");
    EXPECT_EQ(records(client->get("/app/sync/lock?friendly=L&name=dev1").body, "lock").at(0)["success"], "false");
    Poco::Thread::sleep(120);
    EXPECT_FALSE(server->syncLockHolder("user1").has_value()) << "not refreshed within the time-out";
    Record taken = records(client->get("/app/sync/lock?friendly=L&name=dev1").body, "lock").at(0);
    EXPECT_EQ(taken["success"], "true");
    EXPECT_EQ(taken["syncversion"], "3");
}

TEST_F(SyncRequestTest, RunnerImagesArePictures)
{
    const std::string pngMagic("\x89PNG\r\n\x1a\n", 8);
    Response profile = client->get("/core/getprofileimage");
    EXPECT_EQ(profile.status, 200);
    EXPECT_EQ(profile.header("Content-Type"), "image/png");
    EXPECT_EQ(profile.body.substr(0, 8), pngMagic);

    server->setProfileImage("user1", pngMagic + "mine");
    EXPECT_EQ(client->get("/core/getprofileimage").body, pngMagic + "mine");

    Client anonymous(server->baseUrl());
    Response login = anonymous.get("/core/getcustomimage?type=login");
    EXPECT_EQ(login.status, 200) << "the login page's picture is public";
    EXPECT_EQ(login.body.substr(0, 8), pngMagic);
    EXPECT_EQ(anonymous.get("/core/getcustomimage?type=other").status, 404);
}

TEST_F(SyncRequestTest, NewEndpointsRefuseWithoutASession)
{
    const std::string refusal = records(Client(server->baseUrl()).get("/core/getfilelist").body, "command")
                                    .at(0)["message"];
    ASSERT_EQ(refusal, "Authentication Failed");
    struct Case {
        std::string method, target;
        int status;
    } cases[] = {
        {"POST", "/app/sync/getsyncfolderlist?v=1&friendly=L", 200},
        {"POST", "/app/sync/getsyncfolderstatusset", 200},
        {"POST", "/app/sync/getsyncdelta?friendly=L&name=d&path=%2Fuser1", 200},
        {"POST", "/app/sync/recheckrecord", 200},
        {"GET", "/app/sync/skipupload?fullpath=%2Fuser1%2Fa&size=1", 200},
        {"GET", "/app/sync/getchecksum?fullpath=%2Fuser1%2Fa&start=0&length=1", 200},
        {"GET", "/app/sync/lock?friendly=L&name=d", 200},
        {"GET", "/app/sync/unlock?friendly=L&name=d", 200},
        {"GET", "/app/sync/refreshlock?&name=d", 200},
        {"POST", "/app/backup/addbackuprecord", 200},
        {"GET", "/core/getprofileimage", 401},
    };
    Client stranger(server->baseUrl());
    stranger.setCookie("vpsession=not-a-session");
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.target);
        Response r = tc.method == "GET" ? stranger.get(tc.target) : stranger.postForm(tc.target, "count=0&status=");
        EXPECT_EQ(r.status, tc.status);
        EXPECT_EQ(fieldsOf(r, "command", {"type", "result", "message"}),
                  "type=authentication result=0 message=Authentication Failed");
    }
    EXPECT_FALSE(server->syncLockHolder("user1").has_value());
    EXPECT_TRUE(server->backupRecords().empty());
}

TEST_F(SyncRequestTest, BlockedAccountCannotLogInAndLosesItsSessions)
{
    server->setAccountBlocked("user1", true);
    EXPECT_EQ(server->sessionCount("user1"), 0);
    EXPECT_EQ(fieldsOf(client->get("/app/sync/lock?friendly=L&name=dev1"), "command", {"message"}),
              "message=Authentication Failed");
    Client again(server->baseUrl());
    EXPECT_FALSE(again.login("user1", "pass1"));

    server->setAccountBlocked("user1", false);
    EXPECT_TRUE(again.login("user1", "pass1"));
}

TEST_F(SyncRequestTest, PathFaultsApplyToTheSyncApi)
{
    const std::string delta = "/app/sync/getsyncdelta";
    const std::string target = delta + "?friendly=L&name=d&path=%2Fuser1";
    Response whole = client->postForm(target, "status=");
    ASSERT_EQ(whole.status, 200);

    struct Case {
        TestFault fault;
        int status;
        bool complete;
    } cases[] = {
        {TestFault::withStatus(delta, 503), 503, false},
        {TestFault::withBody(delta, "<syncdelta><meta><status>BUSY</status></meta></syncdelta>"), 200, false},
        {TestFault::truncatedBody(delta, 20), 200, false},
        {TestFault::withDelay(delta, 100), 200, true},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.status);
        server->clearFaults();
        server->addFault(tc.fault);
        Response r = client->postForm(target, "status=");
        if (tc.fault.truncateBodyAt >= 0) {
            EXPECT_TRUE(r.failed || r.body.size() < whole.body.size());
            continue;
        }
        EXPECT_EQ(r.status, tc.status);
        EXPECT_EQ(r.body == whole.body, tc.complete);
    }
}

} // namespace
} // namespace TestServerTest
