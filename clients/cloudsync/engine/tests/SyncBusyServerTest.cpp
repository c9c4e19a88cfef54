// A server that changes at every pass (a colleague saving a file every two
// seconds, another device of the user) never holds the user's own changes
// back: each pass places the server's change and sends, in the same pass,
// the local changes the server did not touch and that are still as the
// scan saw them; a local change of the file the server changes too goes
// through the conflict rules and ends beside the server's version, nothing
// lost. The passes are driven on the test's thread (scan, pass) with the
// colleague saving before each one; once more through the worker's own run
// loop, with the colleague saving just before every folder list the device
// asks for.

#include "SyncDevice.h"

#include "CaseName.h"
#include "NameRules.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

namespace EngineTest {
namespace {

class BusyServer : public OneDeviceTest {
public:
    // Open to the tables of cases.
    using OneDeviceTest::device;
    using OneDeviceTest::server;
    static constexpr const char* kUser = SyncDevice::kUser;

    void SetUp() override {
        OneDeviceTest::SetUp();
        // The tree is small: one removal would be more than the share of
        // files the delete approval lets through.
        device->settings["skipdeleteapproval"] = "1";
    }

    // The colleague saves busy.txt again (and shared.txt, when they work on
    // it too); gives the text of the save.
    std::string colleagueSaves() {
        const std::string text = "save " + std::to_string(++m_saves);
        server.putFile(kUser, "/user1/busy.txt", text, saveTime(m_saves));
        if (colleagueEditsShared)
            server.putFile(kUser, "/user1/shared.txt", "the colleague's " + text, saveTime(m_saves));
        return text;
    }
    // The time of the colleague's save n: ten seconds after the one before
    // (passes tell changes by size and second).
    static Poco::Timestamp saveTime(int n) { return Poco::Timestamp::fromEpochTime(1709287200 + 10 * n); }
    // A save of the colleague, then a pass of the device (its scan first;
    // afterScan runs between the scan and the pass). The save is placed in
    // that pass.
    void busyPass(const std::function<void()>& afterScan = nullptr) {
        const std::string saved = colleagueSaves();
        device->scan();
        if (afterScan)
            afterScan();
        device->worker().runSyncPass();
        EXPECT_EQ(device->read("busy.txt"), saved);
    }
    std::string onServer(const std::string& rel) { return server.fileContent(kUser, "/user1/" + rel).value_or("<none>"); }
    // The conflict copies of `fileName` in My Files, by content.
    std::vector<std::string> copiesOf(const std::string& fileName) {
        std::vector<std::string> copies;
        for (const auto& item : device->tree())
            if (Nuvaro::Sync::NameRules::isConflictCopyOf(item.first, fileName, "Colleague"))
                copies.push_back(item.second);
        return copies;
    }

    bool colleagueEditsShared = false;

private:
    int m_saves = 0;
};

struct BusyCase {
    std::string what;
    // The user's change, after the first sync (beside a new file of theirs).
    std::function<void(BusyServer&)> local;
    // Between the first busy pass's scan and the pass itself.
    std::function<void(BusyServer&)> afterScan;
    // The colleague saves shared.txt at every pass too.
    bool colleagueEditsShared;
    // After three busy passes.
    std::function<void(BusyServer&)> check;
};

class BusyServerCases : public BusyServer, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(BusyServerCases, SendTheUsersChangesInTheFirstPassAndLoseNothing) {
    const BusyCase& c = GetParam();
    server.setApiPeer("web", "Colleague");
    for (const char* file : {"busy.txt", "kept.txt", "gone.txt", "shared.txt"})
        server.putFile(kUser, std::string("/user1/") + file, std::string(file) + " as synced");
    ready();
    device->write("new.txt", "a new file of mine");
    c.local(*this);
    colleagueEditsShared = c.colleagueEditsShared;

    busyPass([&] {
        if (c.afterScan)
            c.afterScan(*this);
    });
    EXPECT_EQ(onServer("new.txt"), "a new file of mine");
    busyPass();
    busyPass();
    c.check(*this);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BusyServerCases,
    ::testing::Values(
        BusyCase{"a new file", [](BusyServer&) {}, nullptr, false, [](BusyServer&) {}},
        BusyCase{"an edit of a file the server leaves alone",
                 [](BusyServer& t) { t.device->write("kept.txt", "kept.txt, edited here"); }, nullptr, false,
                 [](BusyServer& t) { EXPECT_EQ(t.onServer("kept.txt"), "kept.txt, edited here"); }},
        BusyCase{"a removal of a file the server leaves alone", [](BusyServer& t) { t.device->remove("gone.txt"); },
                 nullptr, false,
                 [](BusyServer& t) {
                     EXPECT_EQ(t.onServer("gone.txt"), "<none>");
                     EXPECT_FALSE(t.device->exists("gone.txt"));
                 }},
        BusyCase{"an edit of the file the server changes too",
                 [](BusyServer& t) { t.device->write("shared.txt", "my edit of shared.txt"); }, nullptr, true,
                 [](BusyServer& t) {
                     // Both versions are here; the server keeps its own.
                     EXPECT_EQ(t.device->read("shared.txt"), "my edit of shared.txt");
                     EXPECT_EQ(t.copiesOf("shared.txt"), std::vector<std::string>{"the colleague's save 3"});
                     EXPECT_EQ(t.onServer("shared.txt"), "the colleague's save 3");
                 }},
        BusyCase{"a removal of the file the server changes too",
                 [](BusyServer& t) { t.device->remove("shared.txt"); }, nullptr, true,
                 [](BusyServer& t) {
                     EXPECT_EQ(t.onServer("shared.txt"), "the colleague's save 3");
                     EXPECT_EQ(t.device->read("shared.txt"), "the colleague's save 3");
                 }},
        // A kind change is a removal and a new item at one path: the
        // removal is not taken for a change since the scan.
        BusyCase{"a file the server leaves alone replaced by a folder",
                 [](BusyServer& t) {
                     t.device->remove("kept.txt");
                     t.device->write("kept.txt/inside.txt", "now a folder");
                 },
                 nullptr, false,
                 [](BusyServer& t) { EXPECT_EQ(t.onServer("kept.txt/inside.txt"), "now a folder"); }},
        // Saved again after the scan: not sent as the scan saw it; the next
        // scan finds the new content and the next pass sends it.
        BusyCase{"a file saved again after the scan",
                 [](BusyServer& t) { t.device->write("draft.txt", "first draft"); },
                 [](BusyServer& t) {
                     t.device->write("draft.txt", "second draft, longer");
                     EXPECT_EQ(t.onServer("draft.txt"), "<none>");
                 },
                 false, [](BusyServer& t) { EXPECT_EQ(t.onServer("draft.txt"), "second draft, longer"); }}),
    NameByWhat());

TEST_F(BusyServer, StartedWorkerSendsANewFileWhileTheServerChangesAtEveryPass) {
    // Passes about every 100 ms (run-loop seconds of 20 ms).
    device->settings["syncfrequency"] = "5";
    server.putFile(kUser, "/user1/busy.txt", "save 0");
    ASSERT_TRUE(device->start());
    ASSERT_TRUE(waitUntil([&] { return device->exists("busy.txt"); }, 10000));

    // The colleague saves busy.txt just before every folder list the device
    // asks for: every pass brings a change.
    std::atomic<int> saves{0};
    server.addFault(TestFault::withAction("/app/sync/getsyncfolderlist", [&] {
        const int n = ++saves;
        server.putFile(kUser, "/user1/busy.txt", "save " + std::to_string(n), saveTime(n));
    }));
    device->write("new.txt", "a new file of mine");
    const bool sent = waitUntil([&] { return onServer("new.txt") == "a new file of mine"; }, 10000);
    const int savesUntilSent = saves.load();
    device->stop();
    EXPECT_TRUE(sent) << "the colleague saved " << savesUntilSent << " times meanwhile";
    EXPECT_GE(savesUntilSent, 1);
}

} // namespace
} // namespace EngineTest
