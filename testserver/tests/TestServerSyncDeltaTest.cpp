// The sync-folder list, status sets and deltas, sent as the sync client
// sends them (HTTP/1.0, form bodies; the status texts of this server, of
// letters, digits, ":" and ",", go out as they are).

#include "TestServerFixture.h"

#include <Poco/InflatingStream.h>
#include <Poco/RegularExpression.h>
#include <Poco/StreamCopier.h>

#include <sstream>

namespace TestServerTest {
namespace {

struct Delta {
    Record meta;
    std::vector<Record> records;
    Response response;

    // "<isdeleted> <fullpath>" of every record, in reply order.
    std::vector<std::string> summary() const
    {
        std::vector<std::string> out;
        for (const Record& r : records) out.push_back(r.at("isdeleted") + " " + r.at("fullpath"));
        return out;
    }
};

std::string pathsBody(const std::vector<std::string>& paths)
{
    std::string body = "count=" + std::to_string(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) body += "&path" + std::to_string(i + 1) + "=" + enc(paths[i]);
    return body;
}

class SyncTest : public TestServerFixture {
protected:
    void SetUp() override
    {
        TestServerFixture::SetUp();
        server->makeFolder("user1", "/SHARED/teamacct/plans");
        server->makeFolder("user1", "/EXTERNAL/share1");
        server->putFile("user1", "/user1/docs/a.txt", "alpha");
    }

public:
    Response folderList(const std::vector<std::string>& external)
    {
        return client->send("POST", "/app/sync/getsyncfolderlist?v=1&friendly=My%20Laptop", pathsBody(external), {},
                            "HTTP/1.0", "application/x-www-form-urlencoded");
    }

    Response statusSets(const std::vector<std::string>& paths)
    {
        return client->send("POST", "/app/sync/getsyncfolderstatusset", "v=1&" + pathsBody(paths), {}, "HTTP/1.0",
                            "application/x-www-form-urlencoded");
    }

    Delta delta(const std::string& folder, const std::string& status,
                const std::map<std::string, std::string>& headers = {})
    {
        Delta d;
        d.response = client->send("POST", "/app/sync/getsyncdelta?friendly=My%20Laptop&name=dev1&path=" + enc(folder),
                                  "status=" + status, headers, "HTTP/1.0", "application/x-www-form-urlencoded");
        std::string body = d.response.body;
        if (d.response.header("Content-Encoding") == "gzip") {
            std::istringstream packed(body);
            Poco::InflatingInputStream inflater(packed, Poco::InflatingStreamBuf::STREAM_GZIP);
            body.clear();
            Poco::StreamCopier::copyToString(inflater, body);
        }
        auto meta = records(body, "meta");
        if (!meta.empty()) d.meta = meta[0];
        d.records = records(body, "record");
        return d;
    }
};

// "name teamfolder teamfolderaccount skipdetect" of every syncfolder record.
std::vector<std::string> folderSummary(const Response& r)
{
    std::vector<std::string> out;
    for (Record& f : records(r.body, "syncfolder"))
        out.push_back(f["name"] + " " + f["teamfolder"] + " " + f["teamfolderaccount"] + " " + f["skipdetect"]);
    return out;
}

TEST_F(SyncTest, FolderListAndStatusSetsNameTheFoldersTheAccountSees)
{
    EXPECT_EQ(folderSummary(folderList({})), std::vector<std::string>{"/user1 0  0"}) << "default: own files only";

    server->setSyncFolders("user1", {{"/user1", false, "", false},
                                     {"/SHARED/teamacct", true, "teamacct", true},
                                     {"/SHARED/gone", false, "", false}});
    struct Case {
        std::string name;
        Response (SyncTest::*request)(const std::vector<std::string>&);
        std::vector<std::string> paths;
        std::vector<std::string> expected;
    } cases[] = {
        {"own files and a team folder of another account; a missing folder is left out", &SyncTest::folderList, {},
         {"/user1 0  0", "/SHARED/teamacct 1 teamacct 1"}},
        {"external paths follow, each once, missing ones left out", &SyncTest::folderList,
         {"/EXTERNAL/share1/", "/EXTERNAL/nothere", "/user1"},
         {"/user1 0  0", "/SHARED/teamacct 1 teamacct 1", "/EXTERNAL/share1 0  0"}},
        {"status sets: exactly the paths asked for, team flags from the folder holding them", &SyncTest::statusSets,
         {"/user1/docs", "/SHARED/teamacct/plans", "/EXTERNAL/share1", "/other/x"},
         {"/user1/docs 0  0", "/SHARED/teamacct/plans 1 teamacct 0", "/EXTERNAL/share1 0  0"}},
    };
    Poco::RegularExpression statusText("^[A-Za-z0-9:,]+$");
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        Response r = (this->*tc.request)(tc.paths);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(records(r.body, "meta").at(0)["allowsync"], "1");
        EXPECT_EQ(folderSummary(r), tc.expected);
        for (Record& f : records(r.body, "syncfolder")) {
            EXPECT_EQ(f["statusset"], server->statusSet("user1", f["name"]));
            EXPECT_TRUE(statusText.match(f["statusset"])) << f["statusset"];
        }
    }

    EXPECT_EQ(records(client->get("/core/getsystemstatus").body, "status").at(0)["teamfolderaccount"], "teamacct")
        << "the status names the team folders' owner unless the test set another";
    server->setStatusValue("teamfolderaccount", "configured");
    EXPECT_EQ(records(client->get("/core/getsystemstatus").body, "status").at(0)["teamfolderaccount"], "configured");

    server->setAllowSync("user1", false);
    for (auto request : {&SyncTest::folderList, &SyncTest::statusSets})
        EXPECT_EQ(records((this->*request)({"/user1"}).body, "meta").at(0)["allowsync"], "0");
}

TEST_F(SyncTest, StatusSetChangesWhenAndOnlyWhenItsFolderChanges)
{
    std::string own = server->statusSet("user1", "/user1");
    std::string team = server->statusSet("user1", "/SHARED/teamacct");
    std::string docs = server->statusSet("user1", "/user1/docs");

    server->putFile("user1", "/user1/other/b.txt", "b");
    EXPECT_NE(server->statusSet("user1", "/user1"), own);
    EXPECT_EQ(server->statusSet("user1", "/user1/docs"), docs);
    EXPECT_EQ(server->statusSet("user1", "/SHARED/teamacct"), team);

    own = server->statusSet("user1", "/user1");
    server->removeItem("user1", "/user1/docs/a.txt");
    EXPECT_NE(server->statusSet("user1", "/user1/docs"), docs);
    EXPECT_NE(server->statusSet("user1", "/user1"), own);
    EXPECT_EQ(server->statusSet("user1", "/SHARED/teamacct"), team);
}

TEST_F(SyncTest, DeltaCarriesEveryChangeSinceTheStatusSent)
{
    server->putFile("user1", "/user1/old.txt", "gone before the client came");
    server->removeItem("user1", "/user1/old.txt");
    server->setApiPeer("phone7", "Other Device");

    struct Case {
        std::string name;
        bool fromEmpty;
        std::function<void()> change;
        std::vector<std::string> expected;
    } cases[] = {
        {"empty status: every live item, no tombstone of what the client never had", true, [] {},
         {"0 /user1", "0 /user1/docs", "0 /user1/docs/a.txt"}},
        {"current status: nothing", false, [] {}, {}},
        {"another device adds a file", false, [&] { server->putFile("user1", "/user1/docs/b.txt", "bravo"); },
         {"0 /user1/docs/b.txt"}},
        {"a same-size change", false, [&] { server->putFile("user1", "/user1/docs/b.txt", "BRAVO"); },
         {"0 /user1/docs/b.txt"}},
        {"a delete", false, [&] { server->removeItem("user1", "/user1/docs/b.txt"); }, {"1 /user1/docs/b.txt"}},
        {"a folder moved", false, [&] { server->moveItem("user1", "/user1/docs", "/user1/papers"); },
         {"1 /user1/docs", "0 /user1/papers", "1 /user1/docs/a.txt", "0 /user1/papers/a.txt"}},
        {"a file created and deleted since the status", false,
         [&] {
             server->putFile("user1", "/user1/brief.txt", "x");
             server->removeItem("user1", "/user1/brief.txt");
         },
         {}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        std::string before = tc.fromEmpty ? "" : server->statusSet("user1", "/user1");
        tc.change();
        Delta d = delta("/user1", before);
        ASSERT_EQ(d.response.status, 200);
        EXPECT_EQ(d.meta["status"], "SERVEROK");
        EXPECT_EQ(d.meta["localstatus"], before);
        EXPECT_EQ(d.meta["remotestatus"], server->statusSet("user1", "/user1"));
        EXPECT_EQ(d.meta["remotefullstatusset"], d.meta["remotestatus"]);
        EXPECT_EQ(d.meta["numrecords"], std::to_string(tc.expected.size()));
        EXPECT_EQ(d.meta["syncprotocolversion"], "2");
        EXPECT_EQ(d.summary(), tc.expected);
    }
    EXPECT_TRUE(delta("/user1", server->statusSet("user1", "/user1")).records.empty());
}

TEST_F(SyncTest, RecordsCarryEveryFieldTheClientReads)
{
    Poco::Timestamp modified = Poco::Timestamp::fromEpochTime(1700000000);
    server->setApiPeer("phone7", "Other Device");
    server->putFile("user1", "/user1/docs/b.txt", "bravo", modified);
    Delta first = delta("/user1", "");
    ASSERT_EQ(first.records.size(), 4u);
    Record folder = first.records[1];
    Record file = first.records[3];

    const Record expected{{"type", "1"},           {"name", "b.txt"},          {"parent", "/user1/docs"},
                          {"fullpath", "/user1/docs/b.txt"}, {"size", "5"}, {"modified", "2023-11-14 22:13:20"},
                          {"isdeleted", "0"},      {"flags", ""},              {"attribs", ""},
                          {"updatepeer", "phone7"}, {"createpeer", "phone7"},  {"friendly", "Other Device"}};
    for (const auto& field : expected) EXPECT_EQ(file[field.first], field.second) << field.first;
    EXPECT_EQ(file["updateversion"], file["createversion"]);
    EXPECT_EQ(file["id"].size(), 36u);
    EXPECT_EQ(folder["type"], "0");
    EXPECT_EQ(folder["size"], "0");
    EXPECT_EQ(first.records[0]["parent"], "/") << "the sync folder's own record sits at the top";
    EXPECT_EQ(first.meta["remotepeer"], "server");

    std::string mark = first.meta["remotestatus"];
    server->putFile("user1", "/user1/docs/b.txt", "BRAVO");
    Record rewritten = delta("/user1", mark).records.at(0);
    EXPECT_EQ(rewritten["id"], file["id"]) << "an overwrite keeps the record's identity";
    EXPECT_GT(std::stoll(rewritten["updateversion"]), std::stoll(file["updateversion"]));
    EXPECT_EQ(rewritten["createversion"], file["createversion"]);

    mark = server->statusSet("user1", "/user1");
    server->moveItem("user1", "/user1/docs/b.txt", "/user1/b.txt");
    Delta moved = delta("/user1", mark);
    ASSERT_EQ(moved.records.size(), 2u);
    EXPECT_EQ(moved.records[0]["id"], file["id"]) << "the tombstone keeps the old identity";
    EXPECT_NE(moved.records[1]["id"], file["id"]) << "the new place is a new record";

    server->setFlags("user1", "/user1/b.txt", "SKIP");
    Delta skipped = delta("/user1", moved.meta["remotestatus"]);
    ASSERT_EQ(skipped.records.size(), 1u);
    EXPECT_EQ(skipped.records[0]["flags"], "SKIP");

    server->setSyncOptions(SyncOptions{0, "2", true, 180000});
    server->putFile("user1", "/user1/big.bin", std::string(1234567, 'x'));
    Delta separated = delta("/user1", skipped.meta["remotestatus"]);
    ASSERT_EQ(separated.records.size(), 1u);
    EXPECT_EQ(separated.records[0]["size"], "1,234,567");
}

TEST_F(SyncTest, PagedDeltaTakesRoundsUntilTheStatusesAgree)
{
    for (int i = 0; i < 7; ++i) server->putFile("user1", "/user1/f" + std::to_string(i) + ".txt", "x");
    server->setSyncOptions(SyncOptions{3, "2", false, 180000});

    std::string status;
    std::vector<std::string> seen;
    int rounds = 0;
    for (; rounds < 20; ++rounds) { // bound: 10 items in pages of 3 need 4 rounds
        Delta d = delta("/user1", status);
        EXPECT_LE(d.records.size(), 3u);
        EXPECT_EQ(d.meta["numrecords"], std::to_string(d.records.size()));
        for (const std::string& s : d.summary()) seen.push_back(s);
        status = d.meta["remotestatus"];
        if (status == d.meta["remotefullstatusset"]) break;
    }
    EXPECT_EQ(rounds + 1, 4);
    EXPECT_EQ(seen.size(), 10u);
    EXPECT_EQ(status, server->statusSet("user1", "/user1"));
}

TEST_F(SyncTest, DeltaIsGzippedOnlyWhenAsked)
{
    Delta plain = delta("/user1", "");
    Delta packed = delta("/user1", "", {{"Accept-Encoding", "gzip"}});
    EXPECT_EQ(plain.response.header("Content-Encoding"), "");
    EXPECT_EQ(packed.response.header("Content-Encoding"), "gzip");
    EXPECT_NE(packed.response.body, plain.response.body);
    EXPECT_EQ(packed.summary(), plain.summary());
}

TEST_F(SyncTest, TheClientsOwnUploadAndFolderComeBackInTheNextDelta)
{
    std::string before = server->statusSet("user1", "/user1");
    ASSERT_EQ(records(client->postForm("/app/explorer/createfolder", "path=%2Fuser1&name=New").body, "command")
                  .at(0)["result"],
              "1");
    ASSERT_EQ(client->upload("/upload?appname=sync&path=%2Fuser1%2FNew&expandzip=0&overwrite=1", "up.txt", "data")
                  .body,
              "OK");

    Delta d = delta("/user1", before);
    EXPECT_EQ(d.summary(), (std::vector<std::string>{"0 /user1/New", "0 /user1/New/up.txt"}));
    for (Record& r : d.records) {
        EXPECT_EQ(r["updatepeer"], "client-1");
        EXPECT_EQ(r["friendly"], "Test");
    }
    EXPECT_EQ(d.records.at(1)["size"], "4");
}

TEST_F(SyncTest, DeltaForAPathOutsideTheAccountIsRefusedInTheMeta)
{
    Delta d = delta("/otheraccount/x", "");
    EXPECT_EQ(d.meta["status"], "INVALIDPATH");
    EXPECT_TRUE(d.records.empty());
}

} // namespace
} // namespace TestServerTest
