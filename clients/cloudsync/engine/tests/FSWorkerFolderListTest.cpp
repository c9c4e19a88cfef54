// Step 1 of the server half of a pass against the test server: the
// sync-folder list and the status sets, on the wire and with every kind of
// reply. The worker is logged in without its thread; the step runs on the
// test's thread.

#include "ServerStepFixture.h"

#include <functional>
#include <utility>

namespace EngineTest {
namespace {

using Nuvaro::Sync::TestServer::RecordedRequest;
using Nuvaro::Sync::TestServer::SyncFolder;

typedef std::vector<std::pair<std::string, bool>> FolderList;

const char* const LIST_PATH = "/app/sync/getsyncfolderlist";
const char* const STATUS_PATH = "/app/sync/getsyncfolderstatusset";

// The two forms of the step.
enum class Form { List, StatusSet };

std::string operationOf(Form form) {
    return form == Form::List ? "doGetSyncFolderList" : "doGetSyncFolderStatusSet";
}
std::string pathOf(Form form) { return form == Form::List ? LIST_PATH : STATUS_PATH; }
std::string formName(Form form) { return form == Form::List ? "List" : "StatusSet"; }

class FolderListTest : public ServerStepTest {
protected:
    void SetUp() override {
        ServerStepTest::SetUp();
        server.makeFolder(kUser, "/EXTERNAL/a b");
        server.makeFolder(kUser, "/EXTERNAL/c");
        server.makeFolder(kUser, "/user1/docs");
        server.makeFolder(kUser, "/user1/music");
    }
    void storeExternal(std::vector<std::string> paths) { m_db->updateExternalPaths(paths); }
    void storeLimits(std::vector<std::string> paths) { m_db->addLimitPaths(paths); }

    bool run(Form form, bool& gotReply) {
        worker().pass.syncFolders.clear();
        return form == Form::List ? worker().doGetSyncFolderList(gotReply)
                                  : worker().doGetSyncFolderStatusSet(gotReply);
    }
};

// ---- On the wire ----

struct WireCase {
    const char* name;
    Form form;
    bool myFilesDisabled;
    std::vector<std::string> external;
    std::vector<std::string> limits;
    const char* target;
    const char* body;
};

class FolderListWire : public FolderListTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(FolderListWire, SendsThePathsAsANumberedForm) {
    const WireCase& c = GetParam();
    storeExternal(c.external);
    storeLimits(c.limits);
    logInStep(c.myFilesDisabled);
    bool gotReply = false;
    EXPECT_TRUE(run(c.form, gotReply));
    auto sent = server.requests(pathOf(c.form));
    ASSERT_EQ(sent.size(), 1u);
    expectFormPost(sent[0]);
    EXPECT_EQ(sent[0].target, c.target);
    EXPECT_EQ(sent[0].body, c.body);
    EXPECT_FALSE(sent[0].hasHeader("Accept-Encoding"));
    EXPECT_TRUE(gotReply);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, FolderListWire,
    ::testing::Values(
        WireCase{"ListWithTwoExternalPaths", Form::List, false, {"/EXTERNAL/a b", "/EXTERNAL/c"}, {},
                 "/app/sync/getsyncfolderlist?v=1&friendly=My%20PC",
                 "count=2&path1=%2FEXTERNAL%2Fa%20b&path2=%2FEXTERNAL%2Fc"},
        WireCase{"ListWithoutExternalPaths", Form::List, false, {}, {},
                 "/app/sync/getsyncfolderlist?v=1&friendly=My%20PC", "count=0"},
        WireCase{"ListWithMyFilesDisabled", Form::List, true, {"/EXTERNAL/c"}, {},
                 "/app/sync/getsyncfolderlist?v=1&friendly=My%20PC", "count=1&path1=%2FEXTERNAL%2Fc"},
        WireCase{"StatusSetLimitPathsBeforeExternalPaths", Form::StatusSet, false, {"/EXTERNAL/c"},
                 {"/user1/music", "/user1/docs"}, "/app/sync/getsyncfolderstatusset",
                 "v=1&count=3&path1=%2Fuser1%2Fmusic&path2=%2Fuser1%2Fdocs&path3=%2FEXTERNAL%2Fc"},
        WireCase{"StatusSetWithMyFilesDisabledSendsOnlyExternalPaths", Form::StatusSet, true,
                 {"/EXTERNAL/a b"}, {"/user1/music"}, "/app/sync/getsyncfolderstatusset",
                 "v=1&count=1&path1=%2FEXTERNAL%2Fa%20b"}),
    [](const ::testing::TestParamInfo<WireCase>& info) { return std::string(info.param.name); });

// With nothing to ask for, no request goes out and the pass goes on.
TEST_F(FolderListTest, NothingToAskForSendsNoRequest) {
    struct Case {
        Form form;
        bool myFilesDisabled;
        bool limitPaths; // stored, but not asked for while My Files are disabled
        const char* line;
    };
    const Case cases[] = {
        {Form::List, true, false,
         "doGetSyncFolderList My Files Disabled and no External Automatic Sync Paths Found, Nothing to Sync"},
        {Form::StatusSet, false, false,
         "doGetSyncFolderStatusSet Limit folders enabled, but no Limited Paths Found, Nothing to Sync"},
        {Form::StatusSet, true, true,
         "doGetSyncFolderStatusSet Limit folders enabled, but no Limited Paths Found, Nothing to Sync"},
    };
    for (const Case& c : cases) {
        m_db->clearAllLimitPaths();
        if (c.limitPaths)
            storeLimits({"/user1/docs"});
        logInStep(c.myFilesDisabled);
        CloudSyncTest::LogCapture log({"Sync"});
        bool gotReply = false;
        EXPECT_TRUE(run(c.form, gotReply)) << formName(c.form);
        EXPECT_FALSE(gotReply);
        EXPECT_TRUE(worker().pass.syncFolders.empty());
        EXPECT_TRUE(log.contains(c.line)) << log.dump();
    }
    EXPECT_TRUE(server.requests(LIST_PATH).empty());
    EXPECT_TRUE(server.requests(STATUS_PATH).empty());
}

// ---- Which folders need work ----

TEST_F(FolderListTest, ListsTheFoldersWhoseStatusSetChanged) {
    SyncFolder own;
    own.path = "/user1";
    SyncFolder external;
    external.path = "/EXTERNAL/c";
    external.skipDetect = true;
    server.setSyncFolders(kUser, {own, external});
    logInStep();
    // /user1 is up to date; /EXTERNAL/c was never synced; /gone is no
    // longer listed and is forgotten.
    ASSERT_TRUE(m_db->setStatusSet("/user1", server.statusSet(kUser, "/user1")));
    ASSERT_TRUE(m_db->setStatusSet("/gone", "server:1"));
    bool gotReply = false;
    ASSERT_TRUE(run(Form::List, gotReply));
    EXPECT_EQ(worker().pass.syncFolders, (FolderList{{"/EXTERNAL/c", true}}));
    EXPECT_TRUE(gotReply);
    EXPECT_TRUE(worker().flags.serverOk);
    std::vector<std::string> stored;
    m_db->getSyncFolders(stored);
    EXPECT_EQ(stored, std::vector<std::string>{"/user1"});

    server.putFile(kUser, "/user1/new.txt", "x");
    ASSERT_TRUE(run(Form::List, gotReply));
    EXPECT_EQ(worker().pass.syncFolders, (FolderList{{"/user1", false}, {"/EXTERNAL/c", true}}));
}

// ---- Replies ----

// What a reply does to the caller's gotReply.
enum class Flag { Set, Cleared, Untouched };

// What one kind of reply does to the step, for both forms.
struct ReplyCase {
    const char* name;
    // Sets the server up to answer `path` this way.
    std::function<void(VaultpineTestServer&, const std::string& path)> answer;
    bool result;
    Flag gotReply;
    bool loggedIn;
    // Part of an error line; "{op}" stands for the operation's name.
    const char* line;
    // The error reported to the user (UI events 4, 16 and an activity
    // entry), "" for none; "{empty}" stands for the form's empty-list report.
    const char* report;
    FolderList folders;
};

std::string withOperation(std::string text, Form form) {
    std::string::size_type at = text.find("{op}");
    if (at != std::string::npos)
        text.replace(at, 4, operationOf(form));
    return text;
}

std::string syncFoldersBody(const std::string& meta, const std::string& folders) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><syncfolders>" + meta + folders + "</syncfolders>";
}

const std::string USER1_FOLDER = "<syncfolder><name>/user1</name><statusset>server:5</statusset></syncfolder>";

class FolderListReplies : public FolderListTest,
                          public ::testing::WithParamInterface<std::tuple<ReplyCase, Form>> {};

TEST_P(FolderListReplies, AreHandledAsTheyDeserve) {
    const ReplyCase& c = std::get<0>(GetParam());
    const Form form = std::get<1>(GetParam());
    storeLimits({"/user1"});
    // A stored folder that no reply below lists: forgotten only when a list
    // was accepted.
    ASSERT_TRUE(m_db->setStatusSet("/EXTERNAL/c", "server:1"));
    logInStep();
    c.answer(server, pathOf(form));
    CloudSyncTest::LogCapture log({"Sync"});
    EventRecorder events;
    bool gotReply = c.gotReply != Flag::Set;
    EXPECT_EQ(run(form, gotReply), c.result);
    EXPECT_EQ(gotReply, c.gotReply != Flag::Cleared);
    EXPECT_EQ(worker().flags.loggedIn, c.loggedIn);
    EXPECT_EQ(worker().pass.syncFolders, c.folders);
    EXPECT_TRUE(log.contains(withOperation(c.line, form))) << log.dump();

    const std::string emptyReport = form == Form::List ? "Sync Folder List is empty from Server "
                                                       : "Warning: No Folders marked for syncing";
    const std::string report = std::string(c.report) == "{empty}" ? emptyReport : c.report;
    const bool reported = !report.empty();
    if (reported) {
        EXPECT_TRUE(hasEvent(events.events(), 4, report));
    }
    EXPECT_EQ(hasEvent(events.events(), 16, ""), reported);
    EXPECT_EQ(errorEntries().size(), reported ? 1u : 0u);
    EXPECT_EQ(form == Form::List && report == emptyReport,
              log.contains("doGetSyncFolderListGetSyncDelta Returned : <?xml"))
        << log.dump();
    // A server that says no is asked again only after the back-off.
    EXPECT_EQ(worker().curInterval.load(), reported ? 4 * 120 : 120);

    std::string kept;
    ASSERT_TRUE(m_db->getStatusSet("/EXTERNAL/c", kept));
    EXPECT_EQ(kept, c.folders.empty() ? "server:1" : "");
}

const ReplyCase replyCases[] = {
    {"Accepted", [](VaultpineTestServer&, const std::string&) {}, true, Flag::Set, true, "{op}", "",
     FolderList{{"/user1", false}}},
    {"SyncNotAllowed", [](VaultpineTestServer& s, const std::string&) { s.setAllowSync("user1", false); }, false,
     Flag::Cleared, true, "{op} Sync Disabled, Skipping.. ",
     "The server does not allow this device to sync now; it is asked again later", FolderList{}},
    {"MetaWithoutAllowSync",
     [](VaultpineTestServer& s, const std::string& path) {
         s.addFault(TestFault::withBody(path, syncFoldersBody("<meta><total>1</total></meta>", USER1_FOLDER)));
     },
     true, Flag::Set, true, "{op}", "", FolderList{{"/user1", false}}},
    {"AuthenticationFailedInTheBody",
     [](VaultpineTestServer& s, const std::string&) { s.dropSessions("user1"); }, false, Flag::Untouched, false,
     "{op}Authentication Failed : Logging back in", "", FolderList{}},
    {"EmptyList",
     [](VaultpineTestServer& s, const std::string& path) {
         s.addFault(TestFault::withBody(path, syncFoldersBody("<meta><allowsync>1</allowsync></meta>", "")));
     },
     true, Flag::Untouched, true, "ERROR: ", "{empty}", FolderList{}},
    // Not well-formed: the folder read before the error is not used, and
    // nothing is forgotten.
    {"MalformedXml",
     [](VaultpineTestServer& s, const std::string& path) {
         s.addFault(TestFault::withBody(path, syncFoldersBody("<meta><allowsync>1</allowsync></meta>",
                                                              USER1_FOLDER + "<syncfolder><name>/x")));
     },
     true, Flag::Untouched, true, "ERROR: ", "{empty}", FolderList{}},
    {"MalformedXmlNamingAnAuthenticationFailure",
     [](VaultpineTestServer& s, const std::string& path) {
         s.addFault(TestFault::withBody(path, "<commands><command><message>Authentication Failed</message>"));
     },
     false, Flag::Untouched, false, "{op}Authentication Failed : Logging back in", "", FolderList{}},
    {"BadStatus",
     [](VaultpineTestServer& s, const std::string& path) { s.addFault(TestFault::withStatus(path, 503)); }, false,
     Flag::Untouched, false, "{op} Bad HTTP Status, Timeout? ", "", FolderList{}},
    {"LengthOver100MiB",
     [](VaultpineTestServer& s, const std::string& path) {
         s.addFault(TestFault::withAnnouncedLength(path, 104857601));
     },
     false, Flag::Untouched, false, "{op} Bad response Get Content Length ", "", FolderList{}},
    // Exactly 100 MiB is allowed: the length passes, and the reply then
    // falls short of it.
    {"LengthOf100MiBCutShort",
     [](VaultpineTestServer& s, const std::string& path) {
         s.addFault(TestFault::withAnnouncedLength(path, 104857600));
     },
     false, Flag::Untouched, false, "{op}Poco Exception caught : ", "", FolderList{}},
    {"CutShort",
     [](VaultpineTestServer& s, const std::string& path) { s.addFault(TestFault::truncatedBody(path, 60)); },
     false, Flag::Untouched, false, "{op}Poco Exception caught : ", "", FolderList{}},
    {"ChunkedWithoutLastChunk",
     [](VaultpineTestServer& s, const std::string& path) { s.addFault(TestFault::chunkedCut(path, 60)); }, false,
     Flag::Untouched, false, "{op}Poco Exception caught : ", "", FolderList{}},
    {"ConnectionDropped",
     [](VaultpineTestServer& s, const std::string& path) { s.addFault(TestFault::dropAfter(path, 0)); }, false,
     Flag::Untouched, false, "{op}Poco Exception caught : ", "", FolderList{}},
    {"NoContentLength",
     [](VaultpineTestServer& s, const std::string& path) { s.addFault(TestFault::noContentLength(path)); }, true,
     Flag::Set, true, "{op}", "", FolderList{{"/user1", false}}},
};

INSTANTIATE_TEST_SUITE_P(Replies, FolderListReplies,
                         ::testing::Combine(::testing::ValuesIn(replyCases),
                                            ::testing::Values(Form::List, Form::StatusSet)),
                         [](const ::testing::TestParamInfo<std::tuple<ReplyCase, Form>>& info) {
                             return std::string(std::get<0>(info.param).name) + formName(std::get<1>(info.param));
                         });

// The 100 MiB limit counts the bytes read, also when the reply announces no
// length (the limit is lowered here; it is one number for both checks).
TEST_F(FolderListTest, ReplyWithoutLengthIsReadNoFurtherThanTheLimit) {
    for (Form form : {Form::List, Form::StatusSet}) {
        storeLimits({"/user1"});
        StepWorker& step = logInStep();
        server.clearFaults();
        const std::string whole = syncFoldersBody("<meta><allowsync>1</allowsync></meta>", USER1_FOLDER);
        TestFault unannounced = TestFault::withBody(pathOf(form), whole);
        unannounced.omitContentLength = true;
        server.addFault(unannounced);
        bool gotReply = false;
        step.replyLimits.folderList = static_cast<Poco::Int64>(whole.size());
        EXPECT_TRUE(run(form, gotReply)) << formName(form);

        CloudSyncTest::LogCapture log({"Sync"});
        step.replyLimits.folderList = static_cast<Poco::Int64>(whole.size()) - 1;
        gotReply = false;
        EXPECT_FALSE(run(form, gotReply)) << formName(form);
        EXPECT_FALSE(step.flags.loggedIn);
        EXPECT_TRUE(step.pass.syncFolders.empty());
        EXPECT_TRUE(log.contains(operationOf(form) + " Bad response Get Content Length ")) << log.dump();
    }
}

TEST_F(FolderListTest, WithoutALoginNothingIsSent) {
    for (Form form : {Form::List, Form::StatusSet}) {
        storeLimits({"/user1"});
        logInStep();
        worker().connector->resetSession();
        CloudSyncTest::LogCapture log({"Sync"});
        bool gotReply = true;
        EXPECT_FALSE(run(form, gotReply));
        EXPECT_TRUE(gotReply);
        EXPECT_TRUE(worker().flags.loggedIn); // the pass logs in again on its own terms
        EXPECT_TRUE(log.contains(operationOf(form) + " ERROR Preparing HTTP")) << log.dump();
    }
    EXPECT_TRUE(server.requests(LIST_PATH).empty());
    EXPECT_TRUE(server.requests(STATUS_PATH).empty());
}

} // namespace
} // namespace EngineTest
