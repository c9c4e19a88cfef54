// End to end: local removals on their way to the server. The delete-approval
// gate holds back the removals only, and says so on the console; the
// server's echo of a removal made here is no failure.

#include "TwoDevicesFixture.h"

#include "ConsoleLines.h"
#include "FSActivity.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace EngineTest {
namespace {

// A server time of whole seconds, `seconds` after 2024-03-01 10:00:00 UTC.
Poco::Timestamp serverTime(long seconds) {
    return Poco::Timestamp::fromEpochTime(1709287200 + seconds);
}

bool mentions(const std::string& line, const std::string& part) {
    return line.find(part) != std::string::npos;
}

// The log lines of error level or worse.
std::vector<std::string> errorLines(CloudSyncTest::LogCapture& log) {
    std::vector<std::string> errors;
    for (const auto& entry : log.channel().entries())
        if (entry.priority <= Poco::Message::PRIO_ERROR)
            errors.push_back(entry.text);
    return errors;
}

// Regression: removals at or above the approval percentage refused the whole
// upload pass, so new and changed files stopped going up too, and at log
// level "error" nothing told the console user why. Now only the removals
// (and a folder that took a removed file's place) wait; the console says so
// once, and again when the count changes; skipdeleteapproval lets them go.
TEST_F(TwoDevicesTest, HeldDeletionsHoldBackOnlyThemselvesAndAreShownOnTheConsole) {
    laptop().settings["skipdeleteapproval"] = "0";
    ASSERT_TRUE(laptop().logIn());
    for (int i = 0; i < 10; ++i)
        server.putFile(kUser, "/user1/f" + std::to_string(i) + ".txt", "file", serverTime(0));
    server.putFile(kUser, "/user1/notes", "a file called notes", serverTime(0));
    syncAll();
    CloudSyncTest::ConsoleLines console;

    for (int i = 0; i < 5; ++i)
        laptop().remove("f" + std::to_string(i) + ".txt");
    laptop().write("new.txt", "new here");
    laptop().write("f9.txt", "changed here", 100);
    // Its removal counts; the folder cannot go up while the file is there.
    laptop().remove("notes");
    laptop().write("notes/inside.txt", "inside");
    laptop().syncOnce();

    EXPECT_EQ(server.fileContent(kUser, "/user1/new.txt"), std::string("new here"));
    EXPECT_EQ(server.fileContent(kUser, "/user1/f9.txt"), std::string("changed here"));
    EXPECT_EQ(server.fileContent(kUser, "/user1/f0.txt"), std::string("file"));
    EXPECT_EQ(server.fileContent(kUser, "/user1/notes"), std::string("a file called notes"));
    EXPECT_FALSE(server.item(kUser, "/user1/notes/inside.txt"));
    ASSERT_EQ(console.lines().size(), 1u);
    EXPECT_TRUE(mentions(console.lines()[0], "Local deletions held back: 6 of 11 synced files")) << console.lines()[0];
    EXPECT_TRUE(mentions(console.lines()[0], "skipdeleteapproval")) << console.lines()[0];
    std::vector<boost::shared_ptr<Nuvaro::Sync::FSActivity>> entries;
    laptop().db()->activityCollectionGet(entries, Nuvaro::Sync::FSActivity::TypeUploadFailure);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(mentions(entries[0]->message, "skipdeleteapproval")) << entries[0]->message;

    // The same hold is not told again; another count is.
    laptop().syncOnce();
    EXPECT_EQ(console.lines().size(), 1u);
    laptop().remove("f5.txt");
    laptop().syncOnce();
    ASSERT_EQ(console.lines().size(), 2u);
    EXPECT_TRUE(mentions(console.lines()[1], "Local deletions held back: 7 of 12 synced files")) << console.lines()[1];
    EXPECT_EQ(server.fileContent(kUser, "/user1/f5.txt"), std::string("file"));

    laptop().settings["skipdeleteapproval"] = "1";
    ASSERT_TRUE(laptop().logIn());
    syncAll();
    expectConverged();
    EXPECT_EQ(serverTree(), (std::map<std::string, std::string>{{"f6.txt", "file"},
                                                                {"f7.txt", "file"},
                                                                {"f8.txt", "file"},
                                                                {"f9.txt", "changed here"},
                                                                {"new.txt", "new here"},
                                                                {"notes", "<folder>"},
                                                                {"notes/inside.txt", "inside"}}));
    EXPECT_EQ(console.lines().size(), 2u);
}

// Regression: the server's echo of a removal made here (the item is already
// gone locally) was logged at error level as "Failed deleting file/dir" at
// every removal.
TEST_F(TwoDevicesTest, EchoOfALocalRemovalIsNoFailure) {
    server.putFile(kUser, "/user1/gone.txt", "gone", serverTime(0));
    server.putFile(kUser, "/user1/old/a.txt", "a", serverTime(0));
    server.putFile(kUser, "/user1/old/sub/b.txt", "b", serverTime(0));
    syncAll();
    laptop().remove("gone.txt");
    laptop().remove("old");

    CloudSyncTest::LogCapture log({"Sync"});
    syncAll();
    expectConverged();
    EXPECT_TRUE(serverTree().empty());
    EXPECT_EQ(errorLines(log), std::vector<std::string>{}) << log.dump();
    EXPECT_TRUE(log.contains("FS Delete Local: already gone My Files/gone.txt")) << log.dump();
}

} // namespace
} // namespace EngineTest
