// Step 2 of the server half of a pass against the test server: the delta of
// one sync folder, on the wire and with every kind of reply. The worker is
// logged in without its thread; the step runs on the test's thread.

#include "ServerStepFixture.h"

#include <Poco/DeflatingStream.h>
#include <Poco/UUIDGenerator.h>

#include <functional>
#include <set>
#include <sstream>

namespace EngineTest {
namespace {

using Nuvaro::Sync::FSSyncRecord;
using Nuvaro::Sync::FSSyncRecordPtr;
using Nuvaro::Sync::TestServer::Fields;
using Nuvaro::Sync::TestServer::RecordedRequest;
using Nuvaro::Sync::TestServer::SyncOptions;

const char* const DELTA_PATH = "/app/sync/getsyncdelta";

// ---- Replies written by hand ----

std::string element(const std::string& name, const Fields& fields) {
    std::string xml = "<" + name + ">";
    for (const auto& field : fields)
        xml += "<" + field.first + ">" + field.second + "</" + field.first + ">";
    return xml + "</" + name + ">";
}

// A file record of another device, as the server sends it.
Fields fileRecord(const std::string& parent, const std::string& name) {
    return {{"id", Poco::UUIDGenerator::defaultGenerator().createRandom().toString()},
            {"updateversion", "7"},
            {"updatepeer", "phone7"},
            {"createversion", "7"},
            {"createpeer", "phone7"},
            {"isdeleted", "0"},
            {"type", "1"},
            {"flags", ""},
            {"name", name},
            {"parent", parent},
            {"fullpath", parent + "/" + name},
            {"size", "3"},
            {"modified", "2024-01-02 03:04:05"},
            {"attribs", ""},
            {"friendly", "Phone"}};
}

Fields with(Fields fields, const std::string& key, const std::string& value) {
    for (auto& field : fields)
        if (field.first == key)
            field.second = value;
    return fields;
}

Fields without(Fields fields, const std::string& key) {
    Fields kept;
    for (auto& field : fields)
        if (field.first != key)
            kept.push_back(field);
    return kept;
}

Fields deltaMeta(const std::string& numRecords) {
    return {{"status", "SERVEROK"},         {"localstatus", "server:1"}, {"remotestatus", "server:9"},
            {"remotefullstatusset", "server:9"}, {"remotepeer", "server"},  {"numrecords", numRecords},
            {"syncprotocolversion", "2"}};
}

std::string deltaBody(const Fields& meta, const std::vector<Fields>& records) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><syncdelta>" + element("meta", meta);
    for (const Fields& record : records)
        xml += element("record", record);
    return xml + "</syncdelta>";
}

std::string threeFiles(const std::string& numRecords) {
    return deltaBody(deltaMeta(numRecords), {fileRecord("/user1", "a.txt"), fileRecord("/user1", "b.txt"),
                                             fileRecord("/user1", "c.txt")});
}

std::string gzipped(const std::string& text) {
    std::ostringstream packed;
    Poco::DeflatingOutputStream deflater(packed, Poco::DeflatingStreamBuf::STREAM_GZIP);
    deflater << text;
    deflater.close();
    return packed.str();
}

TestFault replyWith(const std::string& body, const Fields& headers = {}) {
    TestFault fault = TestFault::withBody(DELTA_PATH, body);
    fault.headers = headers;
    return fault;
}

class DeltaTest : public ServerStepTest {
protected:
    void SetUp() override {
        ServerStepTest::SetUp();
        m_settings["syncfrequency"] = "30";
    }
    std::string storedStatus(const std::string& folder) {
        std::string status = "(error)";
        EXPECT_TRUE(m_db->getStatusSet(folder, status));
        return status;
    }
    std::set<std::string> serverPaths() {
        std::set<std::string> paths;
        for (const auto& change : worker().pass.serverChanges)
            paths.insert(boost::static_pointer_cast<FSSyncRecord>(change)->getFullPath());
        return paths;
    }
};

// ---- On the wire ----

struct WireCase {
    const char* name;
    std::string folder;
    bool stored; // the folder has a status-set row
    std::string status;
    const char* query;
    const char* body;
};

class DeltaWire : public DeltaTest, public ::testing::WithParamInterface<WireCase> {};

// The stored status goes out as it is stored when it holds only letters,
// digits, ":" and ","; anything else is encoded, so the server reads back
// exactly the stored text (its localstatus echoes it).
TEST_P(DeltaWire, PostsTheStoredStatusOfTheFolder) {
    const WireCase& c = GetParam();
    server.putFile(kUser, "/user1/a b&c/x.txt", "x");
    if (c.stored) {
        ASSERT_TRUE(m_db->setStatusSet(c.folder, c.status));
    }
    logInStep();
    bool gotReply = false;
    EXPECT_TRUE(worker().doGetSyncDelta(c.folder, gotReply));
    auto sent = server.requests(DELTA_PATH);
    ASSERT_EQ(sent.size(), 1u);
    expectFormPost(sent[0]);
    EXPECT_EQ(sent[0].target, std::string(DELTA_PATH) + "?" + c.query);
    EXPECT_EQ(sent[0].body, c.body);
    EXPECT_EQ(sent[0].header("Accept-Encoding"), "gzip");
    EXPECT_EQ(sent[0].formField("status"), c.status);
    EXPECT_EQ(worker().pass.localStatus, c.status);
    EXPECT_TRUE(gotReply);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, DeltaWire,
    ::testing::Values(
        WireCase{"FirstSyncOfAFolderSendsAnEmptyStatus", "/user1", false, "",
                 "friendly=My%20PC&name=dev-1&path=%2Fuser1", "status="},
        WireCase{"StatusOfLettersDigitsColonsAndCommasAsStored", "/user1", true, "server:12,peer7:3",
                 "friendly=My%20PC&name=dev-1&path=%2Fuser1", "status=server:12,peer7:3"},
        WireCase{"StatusWithAmpersandEqualsPlusPercentAndSpaceEncoded", "/user1", true, "a&b=c+d%e f:1",
                 "friendly=My%20PC&name=dev-1&path=%2Fuser1", "status=a%26b%3Dc%2Bd%25e%20f:1"},
        WireCase{"FolderNameEncoded", "/user1/a b&c", true, "server:1",
                 "friendly=My%20PC&name=dev-1&path=%2Fuser1%2Fa%20b%26c", "status=server:1"}),
    [](const ::testing::TestParamInfo<WireCase>& info) { return std::string(info.param.name); });

// A folder never synced gets everything there is (its first sync).
TEST_F(DeltaTest, FolderWithoutStoredStatusGetsEverything) {
    server.putFile(kUser, "/user1/docs/a.txt", "a");
    server.putFile(kUser, "/user1/b.txt", "b");
    logInStep();
    bool gotReply = false;
    ASSERT_TRUE(worker().doGetSyncDelta("/user1", gotReply));
    EXPECT_EQ(serverPaths(), (std::set<std::string>{"/user1", "/user1/docs", "/user1/docs/a.txt", "/user1/b.txt"}));
    EXPECT_EQ(worker().pass.remoteStatus, server.statusSet(kUser, "/user1"));
    EXPECT_EQ(worker().pass.remoteFullStatusSet, server.statusSet(kUser, "/user1"));
    EXPECT_EQ(worker().pass.remotePeer, "server");
    EXPECT_EQ(storedStatus("/user1"), ""); // the apply step stores the status
}

// An accepted delta without records is "nothing to do", not a failure: true,
// with the new status ready for the apply step to store.
TEST_F(DeltaTest, EmptyDeltaIsAcceptedWithItsStatus) {
    server.putFile(kUser, "/user1/a.txt", "a");
    const std::string current = server.statusSet(kUser, "/user1");
    ASSERT_TRUE(m_db->setStatusSet("/user1", current));
    for (bool localChanges : {false, true}) {
        StepWorker& step = logInStep();
        if (localChanges)
            step.localChanges.push_back(FSSyncRecordPtr(new FSSyncRecord()));
        step.curInterval = 77;
        bool gotReply = false;
        EXPECT_TRUE(step.doGetSyncDelta("/user1", gotReply)) << localChanges;
        EXPECT_TRUE(step.pass.serverChanges.empty());
        EXPECT_TRUE(gotReply);
        EXPECT_TRUE(step.flags.serverOk);
        EXPECT_EQ(step.curInterval, 30);
        EXPECT_EQ(step.pass.localStatus, current);
        EXPECT_EQ(step.pass.remoteStatus, current);
        EXPECT_EQ(step.pass.remoteFullStatusSet, current);
    }
}

// ---- Replies ----

// What one kind of reply does to the step. Before it runs, the worker holds
// one earlier change, old status strings and curInterval 77; the folder's
// stored status is "server:1" (never changed by this step).
struct ReplyCase {
    const char* name;
    std::function<void(VaultpineTestServer&)> answer;
    bool result;
    bool loggedIn;
    // Part of a log line, and the error report's message ("" none).
    const char* line;
    const char* report;
    // Changes held afterwards; -1: the earlier change is still there (the
    // reply was never parsed).
    int changes;
    bool statusStored;
    int intervalAfter;
};

class DeltaReplies : public DeltaTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(DeltaReplies, AreHandledAsTheyDeserve) {
    const ReplyCase& c = GetParam();
    server.putFile(kUser, "/user1/a.txt", "a");
    server.putFile(kUser, "/user1/b.txt", "b");
    ASSERT_TRUE(m_db->setStatusSet("/user1", "server:1"));
    StepWorker& step = logInStep();
    FSSyncRecordPtr earlier(new FSSyncRecord());
    step.pass.serverChanges.push_back(earlier);
    step.pass.noAccessPaths.insert("/user1/locked");
    step.pass.localStatus = step.pass.remoteStatus = step.pass.remoteFullStatusSet = step.pass.remotePeer = "old";
    step.curInterval = 77;
    c.answer(server);
    CloudSyncTest::LogCapture log({"Sync"});
    EventRecorder events;
    bool gotReply = false;

    EXPECT_EQ(step.doGetSyncDelta("/user1", gotReply), c.result);
    EXPECT_EQ(gotReply, c.result);
    EXPECT_EQ(step.flags.serverOk, c.result);
    EXPECT_EQ(step.flags.loggedIn, c.loggedIn);
    EXPECT_TRUE(log.contains(c.line)) << log.dump();
    if (*c.report) {
        EXPECT_TRUE(hasEvent(events.events(), 4, c.report));
        ASSERT_EQ(errorEntries().size(), 1u);
        EXPECT_EQ(errorEntries()[0]->message, c.report);
    } else {
        EXPECT_TRUE(errorEntries().empty());
    }
    if (c.changes < 0) {
        ASSERT_EQ(step.pass.serverChanges.size(), 1u);
        EXPECT_EQ(step.pass.serverChanges[0], earlier);
        EXPECT_EQ(step.pass.noAccessPaths.size(), 1u);
    } else {
        EXPECT_EQ(step.pass.serverChanges.size(), static_cast<std::size_t>(c.changes));
        EXPECT_TRUE(step.pass.noAccessPaths.empty());
    }
    EXPECT_EQ(step.pass.remoteFullStatusSet != "old", c.statusStored);
    EXPECT_EQ(step.curInterval, c.intervalAfter);
    EXPECT_EQ(storedStatus("/user1"), "server:1");
}

const std::string PLAIN = threeFiles("3");

const ReplyCase replyCases[] = {
    // The two files added since "server:1", gzipped by the server.
    {"Accepted", [](VaultpineTestServer&) {}, true, true, "FS Need to Download : 2", "", 2, true, 30},
    {"AcceptedWithoutContentLength",
     [](VaultpineTestServer& s) { s.addFault(TestFault::noContentLength(DELTA_PATH)); }, true, true,
     "doGetSyncDelta Got Sync Delta  size: -1", "", 2, true, 30},
    {"AcceptedClosedByTheServer", [](VaultpineTestServer& s) { s.addFault(TestFault::chunked(DELTA_PATH)); },
     true, true, "FS Need to Download : 2", "", 2, true, 30},
    {"GzipInCapitalsIsNotInflated",
     [](VaultpineTestServer& s) { s.addFault(replyWith(PLAIN, {{"Content-Encoding", "GZIP"}})); }, true, true,
     "FS Need to Download : 3", "", 3, true, 30},
    {"EmptyDelta", [](VaultpineTestServer& s) { s.addFault(replyWith(deltaBody(deltaMeta("0"), {}))); }, true,
     true, "FS Need to Download : 0", "", 0, true, 30},
    {"StatusNotServerOk",
     [](VaultpineTestServer& s) {
         s.addFault(replyWith(deltaBody(with(deltaMeta("0"), "status", "INVALIDPATH"), {})));
     },
     false, true, "doGetSyncDelta Bad Server Status for getsyncdelta XML ", "", 0, false, 77},
    {"NoMeta", [](VaultpineTestServer& s) { s.addFault(replyWith("<syncdelta></syncdelta>")); }, false, true,
     "doGetSyncDelta Bad Server Status for getsyncdelta XML ", "", 0, false, 77},
    {"NumRecordsMissing",
     [](VaultpineTestServer& s) { s.addFault(replyWith(deltaBody(without(deltaMeta("0"), "numrecords"), {}))); },
     false, true, "ERROR: Error: Bad Server Response (XML NumRecords) when getting changes",
     "Error: Bad Server Response (XML NumRecords) when getting changes", 0, false, 77},
    {"NumRecordsNotANumber", [](VaultpineTestServer& s) { s.addFault(replyWith(threeFiles("three"))); }, false,
     true, "ERROR: Error: Bad Server Response (XML NumRecords) when getting changes",
     "Error: Bad Server Response (XML NumRecords) when getting changes", 0, false, 77},
    {"NumRecordsMismatch", [](VaultpineTestServer& s) { s.addFault(replyWith(threeFiles("4"))); }, false, true,
     "ERROR: Error: Bad Server Response (Download NumRecord Mismatch) when getting changes",
     "Error: Bad Server Response (Download NumRecord Mismatch) when getting changes", 0, false, 77},
    {"ProtocolVersion3",
     [](VaultpineTestServer& s) {
         SyncOptions options;
         options.protocolVersion = "3";
         s.setSyncOptions(options);
     },
     false, true, "ERROR: Error: Server Protocol version mismatch!",
     "Error: Server Protocol version mismatch! Please upgrade server and client to latest version", 0, true, 120},
    {"ProtocolVersionMissing",
     [](VaultpineTestServer& s) {
         s.addFault(replyWith(deltaBody(without(deltaMeta("0"), "syncprotocolversion"), {})));
     },
     false, true, "ERROR: Error: Server Protocol version mismatch!",
     "Error: Server Protocol version mismatch! Please upgrade server and client to latest version", 0, true, 120},
    {"BadHttpStatus", [](VaultpineTestServer& s) { s.addFault(TestFault::withStatus(DELTA_PATH, 500, "<x/>")); },
     false, false, "ERROR: Error: Bad HTTP Status when getting server changes",
     "Error: Bad HTTP Status when getting server changes", -1, false, 77},
    {"LengthOver500MiB",
     [](VaultpineTestServer& s) { s.addFault(TestFault::withAnnouncedLength(DELTA_PATH, 524288001)); }, false,
     false, "doGetSyncDelta Got Sync Delta  size: 524288001",
     "Error: Too big server Response when getting server changes, greater than 500 MB", -1, false, 77},
    {"GzipCutShort", [](VaultpineTestServer& s) { s.addFault(TestFault::truncatedBody(DELTA_PATH, 40)); }, false,
     false, "doGetSyncDelta Poco Exception caught : ", "", -1, false, 77},
    {"PlainCutShort",
     [](VaultpineTestServer& s) {
         TestFault cut = replyWith(PLAIN);
         cut.truncateBodyAt = static_cast<Poco::Int64>(PLAIN.size()) - 20;
         s.addFault(cut);
     },
     false, false, "doGetSyncDelta Poco Exception caught : ", "", -1, false, 77},
    {"ChunkedWithoutLastChunk",
     [](VaultpineTestServer& s) { s.addFault(TestFault::chunkedCut(DELTA_PATH, 40)); }, false, false,
     "doGetSyncDelta Poco Exception caught : ", "", -1, false, 77},
    // The whole document arrives; only the gzip stream's end (its checksum
    // and length) is missing, and the server sends no length.
    {"GzipWithoutItsEnd",
     [](VaultpineTestServer& s) {
         std::string packed = gzipped(PLAIN);
         TestFault cut = replyWith(packed.substr(0, packed.size() - 8), {{"Content-Encoding", "gzip"}});
         cut.omitContentLength = true;
         s.addFault(cut);
     },
     false, false, "doGetSyncDelta Poco Exception caught : ", "", -1, false, 77},
    {"NotGzipThoughSaidSo",
     [](VaultpineTestServer& s) { s.addFault(replyWith(PLAIN, {{"Content-Encoding", "gzip"}})); }, false, false,
     "doGetSyncDelta Poco Exception caught : ", "", -1, false, 77},
    {"MalformedXml", [](VaultpineTestServer& s) { s.addFault(replyWith(PLAIN.substr(0, PLAIN.size() - 5))); },
     false, false, "doGetSyncDelta Poco Exception caught : ", "", -1, false, 77},
    {"ConnectionDropped", [](VaultpineTestServer& s) { s.addFault(TestFault::dropAfter(DELTA_PATH, 0)); }, false,
     false, "doGetSyncDelta Poco Exception caught : ", "", -1, false, 77},
};

INSTANTIATE_TEST_SUITE_P(Replies, DeltaReplies, ::testing::ValuesIn(replyCases),
                         [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

// remotestatus and remotefullstatusset stand in for each other when one is
// missing.
TEST_F(DeltaTest, MissingStatusStringTakesTheOther) {
    struct Case {
        const char* remote;
        const char* full;
        const char* both;
    };
    const Case cases[] = {{"", "server:9", "server:9"}, {"server:4", "", "server:4"}, {"", "", ""}};
    for (const Case& c : cases) {
        StepWorker& step = logInStep();
        server.clearFaults();
        server.addFault(replyWith(deltaBody(
            with(with(deltaMeta("0"), "remotestatus", c.remote), "remotefullstatusset", c.full), {})));
        bool gotReply = false;
        ASSERT_TRUE(step.doGetSyncDelta("/user1", gotReply));
        EXPECT_EQ(step.pass.remoteStatus, c.both);
        EXPECT_EQ(step.pass.remoteFullStatusSet, c.both);
    }
}

// A server that sends its changes in rounds: remotestatus says how far this
// reply goes, remotefullstatusset where the folder stands. Once the apply
// step has stored remotestatus, the next request continues from there.
TEST_F(DeltaTest, RoundsContinueFromTheStatusOfTheLastOne) {
    for (const char* name : {"a", "b", "c", "d", "e"})
        server.putFile(kUser, std::string("/user1/") + name + ".txt", name);
    SyncOptions options;
    options.pageSize = 2;
    server.setSyncOptions(options);
    StepWorker& step = logInStep();
    std::set<std::string> received;
    int rounds = 0;
    do {
        bool gotReply = false;
        ASSERT_TRUE(step.doGetSyncDelta("/user1", gotReply));
        EXPECT_LE(step.pass.serverChanges.size(), 2u);
        for (const std::string& path : serverPaths())
            EXPECT_TRUE(received.insert(path).second) << path << " came twice";
        ASSERT_TRUE(m_db->setStatusSet("/user1", step.pass.remoteStatus)); // what the apply step stores
        ASSERT_LT(++rounds, 10);
    } while (step.pass.remoteStatus != step.pass.remoteFullStatusSet);
    EXPECT_EQ(rounds, 3);
    EXPECT_EQ(received.size(), 6u); // the folder and its five files
    EXPECT_EQ(step.pass.remoteFullStatusSet, server.statusSet(kUser, "/user1"));
}

// ---- Records the record reader refuses ----

struct RefusedCase {
    const char* name;
    Fields record;
};

class RefusedRecords : public DeltaTest, public ::testing::WithParamInterface<RefusedCase> {};

// The record is reported and left out; the rest of the delta is used.
// numrecords counts every record the server sent.
TEST_P(RefusedRecords, AreLeftOutWithAnErrorReport) {
    const Fields& bad = GetParam().record;
    const std::vector<Fields> records{fileRecord("/user1", "a.txt"), bad, fileRecord("/user1", "b.txt")};
    server.addFault(replyWith(deltaBody(deltaMeta("3"), records)));
    StepWorker& step = logInStep();
    EventRecorder events;
    bool gotReply = false;
    ASSERT_TRUE(step.doGetSyncDelta("/user1", gotReply));
    EXPECT_TRUE(gotReply);
    EXPECT_EQ(serverPaths(), (std::set<std::string>{"/user1/a.txt", "/user1/b.txt"}));
    for (const auto& change : step.pass.serverChanges) {
        const std::string local = boost::static_pointer_cast<FSSyncRecord>(change)->getLocalFullPath();
        EXPECT_EQ(local.find(".."), std::string::npos) << local;
        EXPECT_EQ(local.rfind("My Files/", 0), 0u) << local;
    }
    const std::string message = "Error: Bad Server Response (Bad FS Record) when getting changes";
    EXPECT_TRUE(hasEvent(events.events(), 4, message));
    auto errors = errorEntries();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]->message, message);
    std::string fullPath;
    for (const auto& field : bad)
        if (field.first == "fullpath")
            fullPath = field.second;
    EXPECT_EQ(errors[0]->fullPath, fullPath);

    // A count of the records kept only is a mismatch: the server sent three.
    server.clearFaults();
    server.addFault(replyWith(deltaBody(deltaMeta("2"), records)));
    EXPECT_FALSE(step.doGetSyncDelta("/user1", gotReply));
    EXPECT_TRUE(step.pass.serverChanges.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Records, RefusedRecords,
    ::testing::Values(
        RefusedCase{"DotDotInThePath", with(with(fileRecord("/user1", "x.txt"), "fullpath", "/user1/../../etc/x.txt"),
                                            "parent", "/user1/../../etc")},
        RefusedCase{"PathOfAnotherAccount", fileRecord("/bob", "x.txt")},
        RefusedCase{"ParentOutsideTheRoots", with(fileRecord("/user1", "x.txt"), "parent", "/bob")},
        RefusedCase{"BadDate", with(fileRecord("/user1", "x.txt"), "modified", "yesterday")},
        RefusedCase{"BadSize", with(fileRecord("/user1", "x.txt"), "size", "big")},
        RefusedCase{"IdNotAUuid", with(fileRecord("/user1", "x.txt"), "id", "x")}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return std::string(info.param.name); });

// ---- The 500 MiB limit counts the bytes on the wire ----

// (The limit is lowered here; it is one number for the announced length and
// for the bytes read, compressed as they come.)
TEST_F(DeltaTest, ReplyIsReadNoFurtherThanTheLimit) {
    const std::string packed = gzipped(PLAIN);
    ASSERT_LT(packed.size(), PLAIN.size());
    struct Case {
        const char* name;
        TestFault fault;
        std::size_t onTheWire;
    };
    TestFault gzipWithLength = replyWith(packed, {{"Content-Encoding", "gzip"}});
    TestFault gzipWithoutLength = gzipWithLength;
    gzipWithoutLength.omitContentLength = true;
    TestFault plainWithoutLength = replyWith(PLAIN);
    plainWithoutLength.omitContentLength = true;
    const Case cases[] = {{"GzipWithLength", gzipWithLength, packed.size()},
                          {"GzipWithoutLength", gzipWithoutLength, packed.size()},
                          {"PlainWithoutLength", plainWithoutLength, PLAIN.size()}};
    for (const Case& c : cases) {
        StepWorker& step = logInStep();
        server.clearFaults();
        server.addFault(c.fault);
        bool gotReply = false;
        step.replyLimits.delta = static_cast<Poco::Int64>(c.onTheWire);
        EXPECT_TRUE(step.doGetSyncDelta("/user1", gotReply)) << c.name;
        EXPECT_EQ(step.pass.serverChanges.size(), 3u) << c.name;

        CloudSyncTest::LogCapture log({"Sync"});
        step.replyLimits.delta = static_cast<Poco::Int64>(c.onTheWire) - 1;
        EXPECT_FALSE(step.doGetSyncDelta("/user1", gotReply)) << c.name;
        EXPECT_FALSE(step.flags.loggedIn) << c.name;
        EXPECT_TRUE(
            log.contains("Error: Too big server Response when getting server changes, greater than 500 MB"))
            << c.name << log.dump();
        EXPECT_TRUE(log.contains("bytes on the wire")) << c.name << log.dump();
        EXPECT_EQ(step.pass.serverChanges.size(), 3u) << c.name; // the earlier delta, not this one
    }
}

// A delta of many records, as the server writes them.
std::string manyFiles(int count) {
    std::vector<Fields> records;
    for (int i = 0; i < count; ++i)
        records.push_back(fileRecord("/user1/folder" + std::to_string(i / 100), "file" + std::to_string(i) + ".txt"));
    return deltaBody(deltaMeta(std::to_string(count)), records);
}

// A large account's first delta: far over the limit once inflated, well under
// it on the wire. The inflated bytes are bounded by a ratio to the bytes on
// the wire instead, or by a floor for small replies.
TEST_F(DeltaTest, GzipDeltaIsBoundedOnTheWireAndByItsInflationRatio) {
    const std::string plain = manyFiles(1000);
    const std::string packed = gzipped(plain);
    const Poco::Int64 wire = static_cast<Poco::Int64>(packed.size());
    const Poco::Int64 inflated = static_cast<Poco::Int64>(plain.size());
    ASSERT_GT(inflated, 3 * wire);
    struct Case {
        const char* name;
        Poco::Int64 ratio;
        Poco::Int64 floor;
        bool accepted;
    };
    const Case cases[] = {
        {"DefaultRatio", 100, 0, true},
        {"OverTheRatio", 2, 0, false},
        {"UnderTheFloor", 2, inflated, true},
        {"OverTheFloorAndTheRatio", 2, inflated - 1, false},
    };
    for (const Case& c : cases) {
        StepWorker& step = logInStep();
        server.clearFaults();
        server.addFault(replyWith(packed, {{"Content-Encoding", "gzip"}}));
        step.replyLimits.delta = wire;
        step.replyLimits.deltaInflateRatio = c.ratio;
        step.replyLimits.deltaInflateFloor = c.floor;
        CloudSyncTest::LogCapture log({"Sync"});
        bool gotReply = false;
        EXPECT_EQ(step.doGetSyncDelta("/user1", gotReply), c.accepted) << c.name;
        EXPECT_EQ(step.pass.serverChanges.size(), c.accepted ? 1000u : 0u) << c.name;
        EXPECT_EQ(step.flags.loggedIn, c.accepted) << c.name;
        const std::string refusal = "Error: Too big server Response when getting server changes, inflates over " +
                                    std::to_string(c.ratio) + " times its size";
        EXPECT_EQ(log.contains(refusal), !c.accepted) << c.name << log.dump();
        EXPECT_FALSE(log.contains("greater than 500 MB")) << c.name << log.dump();
    }
}

// A compression bomb (a few KiB that inflate to many MiB) is read no further
// than the ratio allows and refused with its own words; nothing of it is
// kept, and the next pass asks again.
TEST_F(DeltaTest, CompressionBombIsRefusedAndTheNextPassAsksAgain) {
    const std::string bomb =
        PLAIN.substr(0, PLAIN.size() - 12) + "<!--" + std::string(32 << 20, ' ') + "--></syncdelta>";
    ASSERT_EQ(PLAIN.substr(PLAIN.size() - 12), "</syncdelta>");
    const std::string packed = gzipped(bomb);
    ASSERT_LT(packed.size() * 200, bomb.size());
    ASSERT_TRUE(m_db->setStatusSet("/user1", "server:1"));
    StepWorker& step = logInStep();
    FSSyncRecordPtr earlier(new FSSyncRecord());
    step.pass.serverChanges.push_back(earlier);
    step.pass.remoteStatus = step.pass.remoteFullStatusSet = "old";
    step.replyLimits.deltaInflateFloor = 1 << 20;
    server.addFault(replyWith(packed, {{"Content-Encoding", "gzip"}}));
    CloudSyncTest::LogCapture log({"Sync"});
    EventRecorder events;
    bool gotReply = false;

    EXPECT_FALSE(step.doGetSyncDelta("/user1", gotReply));
    EXPECT_FALSE(gotReply);
    EXPECT_FALSE(step.flags.loggedIn);
    const std::string message =
        "Error: Too big server Response when getting server changes, inflates over 100 times its size";
    EXPECT_TRUE(hasEvent(events.events(), 4, message));
    ASSERT_EQ(errorEntries().size(), 1u);
    EXPECT_EQ(errorEntries()[0]->message, message);
    EXPECT_TRUE(log.contains("doGetSyncDelta Reply inflating to over 100 times its ")) << log.dump();
    EXPECT_FALSE(log.contains("greater than 500 MB")) << log.dump();
    ASSERT_EQ(step.pass.serverChanges.size(), 1u);
    EXPECT_EQ(step.pass.serverChanges[0], earlier);
    EXPECT_EQ(step.pass.remoteFullStatusSet, "old");
    EXPECT_EQ(storedStatus("/user1"), "server:1");

    // The server mends its ways: the next pass asks again, from the same
    // status, and takes the reply.
    server.clearFaults();
    EXPECT_TRUE(step.doGetSyncDelta("/user1", gotReply));
    auto sent = server.requests(DELTA_PATH);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].formField("status"), "server:1");
    EXPECT_TRUE(gotReply);
}

TEST_F(DeltaTest, WithoutALoginNothingIsSent) {
    StepWorker& step = logInStep();
    step.connector->resetSession();
    CloudSyncTest::LogCapture log({"Sync"});
    bool gotReply = false;
    EXPECT_FALSE(step.doGetSyncDelta("/user1", gotReply));
    EXPECT_FALSE(gotReply);
    EXPECT_TRUE(step.flags.loggedIn);
    EXPECT_TRUE(log.contains("doGetSyncDelta ERROR Preparing HTTP")) << log.dump();
    EXPECT_TRUE(server.requests(DELTA_PATH).empty());
}

} // namespace
} // namespace EngineTest
