// Each handler's replies and effects with real requests to the endpoint, a
// runner with the test server's account and the test server: status, file
// browser, file changed, sync now, lock and unlock, share link, view in the
// web interface; texts that need escaping, paths outside the sync folder,
// failed logins.

#include "LocalFixture.h"

#include "NuvaroUtil.h"
#include "FSWebServerWorker.h"
#include "VariantRow.h"

#include <atomic>
#include <climits>
#include <set>
#include <thread>

namespace LocalTest {
namespace {

using Nuvaro::Sync::TestServer::LockInfo;

const char* const kForbidden = "404 Sorry, Forbidden";

std::string commandReply(const std::string& type) {
    return "<commands><command><type>" + type + "</type><result>1</result><message></message></command></commands>";
}

class HandlersTest : public LocalServiceTest {
protected:
    // A runner whose sync worker runs, ignoring the monitor's change
    // notifications so that each one the worker takes is logged ("Ignoring
    // File Change Notification..."); the endpoint in front of it. Returns
    // once the worker waits idle.
    TestRunner& startServiceWithWorkers() {
        Nuvaro::Data::VariantRow config;
        config["syncfolderlocation"] = "DEFAULT";
        config["ignorefilechangenotifications"] = "1";
        EXPECT_TRUE(config.write(configFile()));
        TestRunner& runner = makeLocalRunner();
        storeAccountOnly(runner);
        runner.startup();
        EXPECT_TRUE(runner.isRunning());
        EXPECT_TRUE(waitUntil([&] { return runner.currentWorker()->isIdle(); }));
        // Quiet: no line for a while.
        std::size_t lines = 0;
        do {
            lines = m_log.channel().entries().size();
            Poco::Thread::sleep(300);
        } while (lines != m_log.channel().entries().size());
        startEndpoint(runner);
        m_log.channel().clear();
        return runner;
    }

    // A network-folder job of the folder `name` with one server file, not
    // due by its schedule, stored in the runner's job database.
    Nuvaro::Sync::FOOfflineJobData storeJob(const std::string& name, const std::string& schedule) {
        EXPECT_TRUE(server.makeFolder(kUser, "/user1/" + name));
        EXPECT_TRUE(server.putFile(kUser, "/user1/" + name + "/f.txt", "alpha"));
        Poco::File(m_tmp / name).createDirectories();
        Nuvaro::Sync::FOOfflineJobData job("/user1/" + name, m_tmp / name,
                                           Nuvaro::Sync::FOOfflineJobData::TYPE_NETWORK_FOLDER, true, schedule,
                                           "2100-01-01 00:00:00", false, false);
        EXPECT_TRUE(m_runner->getOfflineDatabase()->FOAddJobRecord(&job));
        return job;
    }

    // A run of the job ended (its last-run time moved).
    bool jobRan(const Nuvaro::Sync::FOOfflineJobData& job) {
        boost::shared_ptr<Nuvaro::Sync::FOOfflineJobData> now =
            m_runner->getOfflineDatabase()->getFOJobRecord(job.localLinkPath);
        return now && now->lastRun != job.lastRun;
    }
};

TEST_F(HandlersTest, StatusNamesTheSyncFolderEscaped) {
    startService();
    Reply reply = send("/status");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.contentType, "text/xml");
    EXPECT_EQ(reply.body, "<system><status><syncfolder>" + m_tmp.path() +
                              "/Sync &lt;&amp;&gt; &apos;q&apos;</syncfolder></status></system>");
}

TEST_F(HandlersTest, FileBrowserRaisesItsEvent) {
    startService();
    EventRecorder events;
    Reply reply = send("/filebrowser");
    EXPECT_EQ(reply.body, Nuvaro::Util::HTTP::getXMLResult("filebrowser", true, ""));
    EXPECT_EQ(events.events(), (std::vector<EventRecorder::Event>{EventRecorder::Event{9, "", 0}}));
}

TEST_F(HandlersTest, FileChangedForcesAScanOfTheSyncFolder) {
    startServiceWithWorkers();
    Reply reply = send("/filechanged");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, Nuvaro::Util::HTTP::getXMLResult("filechanged", true, ""));
    EXPECT_TRUE(waitUntil([&] { return m_log.contains("--> Force Dir Change Notification..."); })) << m_log.dump();
}

TEST_F(HandlersTest, FileChangedWithAPathTakesOnlyPathsOfTheSyncOrQuickEditFolder) {
    startServiceWithWorkers();
    struct Case {
        std::string path;
        int status;
    };
    const Case cases[] = {
        {local("My Files/a.txt"), 200},
        {syncFolder(), 200},
        {editRoot() + "/0a1b/a.txt", 200},
        {"/etc/passwd", 403},
        {syncFolder() + "2/a.txt", 403},
        {local("My Files/../../x"), 403},
        {editRoot(), 403},
    };
    for (const Case& c : cases) {
        m_log.channel().clear();
        Reply reply = send("/filechanged?path=" + encoded(c.path));
        EXPECT_EQ(reply.status, c.status) << c.path;
        if (c.status == 200) {
            EXPECT_TRUE(waitUntil([&] { return m_log.contains("--> Force Dir Change Notification..."); })) << c.path;
        } else {
            EXPECT_EQ(reply.body, kForbidden);
            Poco::Thread::sleep(200);
            EXPECT_FALSE(m_log.contains("--> Force Dir Change Notification...")) << c.path;
        }
    }
}

TEST_F(HandlersTest, SyncNowAsksTheSyncWorkerForAPassAndRunsTheJobs) {
    startServiceWithWorkers();
    Nuvaro::Sync::FOOfflineJobData manual = storeJob("manual", "manual");
    Nuvaro::Sync::FOOfflineJobData daily = storeJob("daily", "24h");
    Reply reply = send("/syncnow");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, Nuvaro::Util::HTTP::getXMLResult("syncnow", true, ""));
    EXPECT_TRUE(waitUntil([&] { return m_log.contains("Ignoring File Change Notification..."); })) << m_log.dump();
    EXPECT_TRUE(waitUntil([&] { return jobRan(manual) && jobRan(daily); }, 20000)) << m_log.dump();
    EXPECT_EQ(CloudSyncTest::TempFolder::read(manual.localLinkPath + "/f.txt"), "alpha");
}

// ---- Overlay states ----

const time_t kT = 1494928800;  // 2017-05-16 10:00:00 UTC

// Sets the status cache's lifetime of an entry for one test.
class StatusCacheLifetime {
public:
    explicit StatusCacheLifetime(long ms) : m_was(Nuvaro::Sync::gStatusCacheExpiryMs.exchange(ms)) {
        Nuvaro::Sync::gStatusCache.clear();
    }
    ~StatusCacheLifetime() {
        Nuvaro::Sync::gStatusCacheExpiryMs = m_was;
        Nuvaro::Sync::gStatusCache.clear();
    }

private:
    long m_was;
};

std::string overlayReply(const std::string& state) {
    return "<overlays><overlay><status>" + state + "</status></overlay></overlays>";
}

TEST_F(HandlersTest, OverlayStateOfALocalPath) {
    startService();
    StatusCacheLifetime lifetime(10000);
    const std::string sync = "Sync <&> 'q'/";
    addSyncRecord("My Files", "/user1", 0, 0, kT);
    addSyncRecord("My Files/docs", "/user1/docs", 0, 0, kT);
    m_tmp.write(sync + "My Files/docs/a&b <1>.txt", "12345", kT);
    addSyncRecord("My Files/docs/a&b <1>.txt", "/user1/docs/a&b <1>.txt", 1, 5, kT);
    m_tmp.write(sync + "My Files/docs/touched.txt", "12345", kT + 10);
    addSyncRecord("My Files/docs/touched.txt", "/user1/docs/touched.txt", 1, 5, kT);
    m_tmp.write(sync + "My Files/docs/b(Conflict_pc_2017-05-16-10-00-00).txt", "x", kT);
    m_tmp.write(sync + "My Files/docs/new.txt", "x", kT);
    struct Case {
        std::string path;
        int status;
        const char* state;  // the reply's state, or nullptr for the forbidden reply
    };
    const Case cases[] = {
        {local("My Files/docs/a&b <1>.txt"), 200, "ok"},
        {local("My Files//docs/a&b <1>.txt/"), 200, "ok"},
        {local("My Files/docs"), 200, "ok"},
        {local("My Files/docs/touched.txt"), 200, "modified"},
        {local("My Files/docs/b(Conflict_pc_2017-05-16-10-00-00).txt"), 200, "conflict"},
        {local("My Files/docs/new.txt"), 200, "unknown"},
        {local("My Files/docs/gone.txt"), 200, "unknown"},
        {syncFolder(), 200, "none"},
        {editRoot() + "/0a1b/a.txt", 200, "none"},
        {"/etc/passwd", 403, nullptr},
        {syncFolder() + "2/a.txt", 403, nullptr},
        {local("My Files/../../x"), 403, nullptr},
        {"-", 403, nullptr},
        {"", 403, nullptr},
    };
    for (const Case& c : cases) {
        EventRecorder events;
        Reply reply = send("/getoverlaystatus?path=" + encoded(c.path));
        EXPECT_EQ(reply.status, c.status) << c.path;
        EXPECT_EQ(reply.body, c.state ? overlayReply(c.state) : std::string(kForbidden)) << c.path;
        EXPECT_EQ(reply.contentType, c.state ? "text/xml" : "text/html") << c.path;
        EXPECT_TRUE(events.events().empty()) << c.path;
    }
    Reply noPath = send("/getoverlaystatus");
    EXPECT_EQ(noPath.status, 403);
    EXPECT_EQ(noPath.body, kForbidden);
    EXPECT_TRUE(server.requests("/core/loginguest").empty());
}

TEST_F(HandlersTest, OverlayStateIsKeptForItsLifetimePerPath) {
    startService();
    StatusCacheLifetime lifetime(1500);
    addSyncRecord("My Files", "/user1", 0, 0, kT);
    const std::string a = m_tmp.write("Sync <&> 'q'/My Files/a.txt", "12345", kT);
    addSyncRecord("My Files/a.txt", "/user1/a.txt", 1, 5, kT);
    const std::string b = m_tmp.write("Sync <&> 'q'/My Files/b.txt", "12345", kT);
    addSyncRecord("My Files/b.txt", "/user1/b.txt", 1, 5, kT);
    const std::string target = "/getoverlaystatus?path=" + encoded(a);
    Poco::Timestamp asked;
    ASSERT_EQ(send(target).body, overlayReply("ok"));
    // Both files edited: the answer for a stays while it lives (also when a
    // is named another way); b, not asked before, is asked now.
    m_tmp.write("Sync <&> 'q'/My Files/a.txt", "edited", kT + 60);
    m_tmp.write("Sync <&> 'q'/My Files/b.txt", "edited", kT + 60);
    std::string kept = send(target).body;
    std::string keptOtherName = send("/getoverlaystatus?path=" + encoded(local("My Files//a.txt/"))).body;
    if (asked.elapsed() < 1400 * 1000) {
        EXPECT_EQ(kept, overlayReply("ok"));
        EXPECT_EQ(keptOtherName, overlayReply("ok"));
    }
    EXPECT_EQ(send("/getoverlaystatus?path=" + encoded(b)).body, overlayReply("modified"));
    // Then the runner is asked again.
    EXPECT_TRUE(waitUntil([&] { return send(target).body == overlayReply("modified"); }));
}

TEST(StatusCache, TheOldestEntryGoesFirstBeyondTheCapacity) {
    Nuvaro::Sync::StatusCache cache(3);
    auto entry = [](const char* status) { return Nuvaro::Sync::StatusCache::Entry(status, 600000); };
    cache.add("a", entry("ok"));
    cache.add("b", entry("ok"));
    cache.add("c", entry("modified"));
    ASSERT_TRUE(cache.get("a"));  // read, but still the oldest
    cache.add("d", entry("none"));
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_FALSE(cache.has("a"));
    for (const char* key : {"b", "c", "d"})
        EXPECT_TRUE(cache.has(key)) << key;
    // Adding a path again makes it the newest.
    cache.add("b", entry("conflict"));
    cache.add("e", entry("ok"));
    EXPECT_FALSE(cache.has("c"));
    EXPECT_EQ(cache.get("b")->value(), "conflict");
}

TEST_F(HandlersTest, FloodOfLongDistinctStatusPathsKeepsTheCacheBounded) {
    startService();
    StatusCacheLifetime lifetime(600000);  // nothing expires during the flood
    const std::size_t capacity = Nuvaro::Sync::kStatusCacheCapacity;
    // Distinct paths in the sync folder, each just within the path limit.
    auto pathOf = [&](std::size_t i) {
        std::string path = local("My Files/" + std::to_string(i) + "-");
        path.resize(PATH_MAX - 1, 'x');
        return path;
    };
    const std::size_t total = capacity + 200;
    ASSERT_EQ(send("/getoverlaystatus?path=" + encoded(pathOf(0))).status, 200);
    std::atomic<std::size_t> next{1};
    std::atomic<int> failures{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t)
        senders.emplace_back([&] {
            for (std::size_t i = next++; i < total - 1; i = next++)
                if (send("/getoverlaystatus?path=" + encoded(pathOf(i))).status != 200)
                    ++failures;
        });
    for (std::thread& sender : senders)
        sender.join();
    ASSERT_EQ(send("/getoverlaystatus?path=" + encoded(pathOf(total - 1))).body, overlayReply("unknown"));
    EXPECT_EQ(failures.load(), 0);
    std::set<std::string> kept = Nuvaro::Sync::gStatusCache.getAllKeys();
    EXPECT_EQ(kept.size(), capacity);
    std::size_t bytes = 0;
    for (const std::string& key : kept)
        bytes += key.size();
    EXPECT_LE(bytes, capacity * PATH_MAX);
    EXPECT_EQ(kept.count(pathOf(0)), 0u);
    EXPECT_EQ(kept.count(pathOf(total - 1)), 1u);
}

TEST_F(HandlersTest, PathBeyondThePathLimitIsRefused) {
    startService();
    putFileBothSides("a.txt", "a");
    std::string tooLong = local("My Files/");
    tooLong.resize(PATH_MAX, 'x');
    std::string longest = tooLong.substr(0, PATH_MAX - 1);
    std::string serverPath = "/user1/";
    serverPath.resize(PATH_MAX, 'x');
    struct Case {
        std::string target;
        int status;
    };
    const Case cases[] = {
        {"/getoverlaystatus?path=" + encoded(longest), 200},
        {"/getoverlaystatus?path=" + encoded(tooLong), 403},
        {"/lock?path=" + encoded(tooLong), 403},
        {"/unlock?path=" + encoded(tooLong), 403},
        {"/getsharelink?path=" + encoded(tooLong), 403},
        {"/viewwebfile?path=" + encoded(tooLong), 403},
        {"/filechanged?path=" + encoded(tooLong), 403},
        {"/webedit?path=" + encoded(serverPath), 403},
    };
    OpenedTargets opened;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target.substr(0, 40));
        EventRecorder events;
        Reply reply = send(c.target);
        EXPECT_EQ(reply.status, c.status);
        if (c.status == 403) {
            EXPECT_EQ(reply.body, kForbidden);
            EXPECT_TRUE(events.events().empty());
        }
    }
    EXPECT_TRUE(opened.targets().empty());
    EXPECT_TRUE(server.requests("/core/loginguest").empty());
    EXPECT_FALSE(Poco::File(editRoot()).exists());
}

// ---- Lock and unlock ----

// Run in order: each case finds the server's locks as the cases before left
// them.
struct LockCase {
    const char* name;
    const char* target;      // "/lock" or "/unlock"
    std::string path;        // relative to the sync folder; "@" + an absolute path
    int status;
    const char* event4;      // nullptr: no event
    bool contacted;          // logged in to the server
    bool lockedAfter;        // the user's lock on /user1/docs/a.txt afterwards
};

TEST_F(HandlersTest, LockAndUnlockAgainstTheServer) {
    startService();
    putFileBothSides("docs/a.txt", "a");
    putFileBothSides("docs/<b&c>.txt", "b");
    putFileBothSides("docs/theirs.txt", "t");
    server.setLock(LockInfo{"/user1/docs/theirs.txt", "someoneelse", false});
    const std::string sibling = "@" + m_tmp.path() + "/Sync <&> 'q'2/a.txt";
    const LockCase cases[] = {
        {"lock", "/lock", "My Files/docs/a.txt", 200, "Lock Successful", true, true},
        {"lock again", "/lock", "My Files/docs/a.txt", 200, "Lock Successful", true, true},
        {"outside the sync folder", "/unlock", "@/etc/passwd", 403, nullptr, false, true},
        {"a sibling of the sync folder", "/unlock", sibling, 403, nullptr, false, true},
        {"dot-dot out of the sync folder", "/unlock", "My Files/../../x", 403, nullptr, false, true},
        {"the sync folder itself", "/unlock", "@" + m_tmp.path() + "/Sync <&> 'q'", 403, nullptr, false, true},
        {"unlock", "/unlock", "My Files/docs/a.txt", 200, "Unlock Successful", true, false},
        {"unlock what is not locked", "/unlock", "My Files/docs/a.txt", 200, "Unlock Failed", true, false},
        {"a name to escape", "/lock", "My Files/docs/<b&c>.txt", 200, "Lock Successful", true, false},
        {"locked by another user", "/lock", "My Files/docs/theirs.txt", 200, "Lock Failed", true, false},
        {"what the server lacks", "/lock", "My Files/docs/gone.txt", 200, "Lock Failed", true, false},
        {"no server path", "/lock", "Shared with Me/owner2", 200, "Lock Failed", false, false},
        {"no server path to unlock", "/unlock", "Network Folders", 200, "Unlock Failed", false, false},
    };
    for (const LockCase& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        EventRecorder events;
        std::string path = c.path[0] == '@' ? c.path.substr(1) : local(c.path);
        Reply reply = send(std::string(c.target) + "?path=" + encoded(path));
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.body, c.status == 200 ? commandReply(c.target + 1) : std::string(kForbidden));
        std::vector<EventRecorder::Event> expected;
        if (c.event4)
            expected.emplace_back(4, c.event4, 0);
        EXPECT_EQ(events.events(), expected);
        EXPECT_EQ(static_cast<bool>(server.lockOf(kUser, "/user1/docs/a.txt")), c.lockedAfter);
        EXPECT_EQ(!server.requests("/core/loginguest").empty(), c.contacted);
    }
    EXPECT_TRUE(server.lockOf(kUser, "/user1/docs/<b&c>.txt"));
}

struct LoginCase {
    const char* target;
    const char* logLine;
};

TEST_F(HandlersTest, RefusedLoginIsReportedAndForbidden) {
    TestRunner& runner = makeLocalRunner();
    storeAccountOnly(runner, "wrong password");
    startEndpoint(runner);
    putFileBothSides("a.txt", "a");
    const LoginCase cases[] = {
        {"/lock", "Authentication Failed or bad 2FA code or bad Device Auth Code"},
        {"/unlock", "Authentication Failed or bad 2FA code or bad Device Auth Code"},
        {"/getsharelink", "Authentication Failed or bad 2FA code or Bad Dev Auth Code"},
    };
    for (const LoginCase& c : cases) {
        SCOPED_TRACE(c.target);
        EventRecorder events;
        m_log.channel().clear();
        Reply reply = send(std::string(c.target) + "?path=" + encoded(local("My Files/a.txt")));
        EXPECT_EQ(reply.status, 403);
        EXPECT_EQ(reply.body, kForbidden);
        EXPECT_TRUE(m_log.contains(c.logLine)) << m_log.dump();
        EXPECT_EQ(events.events(), (std::vector<EventRecorder::Event>{EventRecorder::Event{7, "", 0}}));
    }
    EXPECT_FALSE(server.lockOf(kUser, "/user1/a.txt"));
}

TEST_F(HandlersTest, UnreachableServerIsLoggedAsAFailedLogin) {
    TestRunner& runner = makeLocalRunner();
    storeAccountOnly(runner);
    startEndpoint(runner);
    server.stop();
    EventRecorder events;
    Reply reply = send("/lock?path=" + encoded(local("My Files/a.txt")));
    EXPECT_EQ(reply.status, 403);
    EXPECT_TRUE(m_log.contains("Login Failed")) << m_log.dump();
    EXPECT_TRUE(events.events().empty());
}

// ---- Share link ----

struct ShareCase {
    const char* name;
    std::string path;           // relative to the sync folder; "@" + an absolute path
    std::string replyBody;      // the server's reply replaced by this, "" for the server's own
    int status;
    std::string url;            // "{share}" stands for the server's share link
    std::vector<EventRecorder::Event> events;
};

TEST_F(HandlersTest, ShareLinkOfALocalPath) {
    startService();
    putFileBothSides("docs/a.txt", "a");
    const ShareCase cases[] = {
        {"a file", "My Files/docs/a.txt", "", 200, "{share}",
         {EventRecorder::Event{5, "{share}", 0}, EventRecorder::Event{4, "a.txt", 1}}},
        {"a link to escape", "My Files/docs/a.txt",
         "<shares><share><shareurl>http://x/s?a=1&amp;b=&lt;2&gt;</shareurl></share></shares>", 200,
         "http://x/s?a=1&b=<2>", {EventRecorder::Event{5, "http://x/s?a=1&b=<2>", 0}, EventRecorder::Event{4, "a.txt", 1}}},
        {"an empty link", "My Files/docs/a.txt", "<shares><share><shareurl></shareurl></share></shares>", 200, "",
         {EventRecorder::Event{4, "", 1}}},
        {"no share record", "My Files/docs/a.txt", "<shares></shares>", 200, "", {}},
        {"no server path", "Shared with Me/owner2", "", 200, "", {EventRecorder::Event{4, "", 1}}},
        {"outside the sync folder", "@/etc/passwd", "", 403, "", {}},
        {"dot-dot", "My Files/../../etc", "", 403, "", {}},
    };
    for (const ShareCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.replyBody.empty()) {
            Nuvaro::Sync::TestServer::TestFault fault =
                Nuvaro::Sync::TestServer::TestFault::withBody("/app/bramblelink/quickshare", c.replyBody);
            fault.times = 1;
            server.addFault(fault);
        }
        EventRecorder events;
        std::string path = c.path[0] == '@' ? c.path.substr(1) : local(c.path);
        Reply reply = send("/getsharelink?path=" + encoded(path));
        std::string share = server.shares().empty() ? std::string() : server.shares()[0].url;
        auto expand = [&](std::string text) {
            std::string::size_type at = text.find("{share}");
            return at == std::string::npos ? text : text.replace(at, 7, share);
        };
        EXPECT_EQ(reply.status, c.status);
        if (c.status == 200) {
            std::string url = expand(c.url);
            std::string escaped;
            for (char ch : url)
                escaped += ch == '&' ? std::string("&amp;") : ch == '<' ? std::string("&lt;")
                                                            : ch == '>' ? std::string("&gt;") : std::string(1, ch);
            EXPECT_EQ(reply.body, "<sharelink><share><url>" + escaped + "</url></share></sharelink>");
        } else {
            EXPECT_EQ(reply.body, kForbidden);
        }
        std::vector<EventRecorder::Event> expected;
        for (const auto& event : c.events)
            expected.emplace_back(std::get<0>(event), expand(std::get<1>(event)), std::get<2>(event));
        EXPECT_EQ(events.events(), expected);
    }
    ASSERT_EQ(server.shares().size(), 1u);
    EXPECT_EQ(server.shares()[0].path, "/user1/docs/a.txt");
}

// ---- View in the web interface ----

TEST_F(HandlersTest, ViewWebFileOpensTheServerFolderInTheBrowser) {
    TestRunner& runner = startService();
    putFileBothSides("docs/a.txt", "a");
    const std::string web = runner.getServerURL() + "#expl-tabl.";
    struct Case {
        std::string path;
        int status;
        std::string opened;  // "" for nothing
    };
    const Case cases[] = {
        {local("My Files/docs/a.txt"), 200, web + "/user1/docs"},
        {local("My Files/docs"), 200, web + "/user1/docs"},
        {local("My Files/docs/"), 200, web + "/user1/docs"},
        {local("My Files/gone/x.txt"), 200, web + "/user1/gone/x.txt"},
        {"/etc/passwd", 403, ""},
        {local("My Files/../../.."), 403, ""},
        {"-", 403, ""},
    };
    for (const Case& c : cases) {
        OpenedTargets opened;
        Reply reply = send("/viewwebfile?path=" + encoded(c.path));
        EXPECT_EQ(reply.status, c.status) << c.path;
        EXPECT_EQ(reply.body, c.status == 200 ? commandReply("viewwebfile") : std::string(kForbidden)) << c.path;
        EXPECT_EQ(opened.targets(), c.opened.empty() ? std::vector<std::string>() : std::vector<std::string>{c.opened})
            << c.path;
    }
    EXPECT_TRUE(server.requests("/core/loginguest").empty());
}

} // namespace
} // namespace LocalTest
