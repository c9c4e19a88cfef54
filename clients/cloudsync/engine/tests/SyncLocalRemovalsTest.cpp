// End to end: local removals on their way to the server. The server's echo
// of a removal made here is no failure.

#include "TwoDevicesFixture.h"

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

// The log lines of error level or worse.
std::vector<std::string> errorLines(CloudSyncTest::LogCapture& log) {
    std::vector<std::string> errors;
    for (const auto& entry : log.channel().entries())
        if (entry.priority <= Poco::Message::PRIO_ERROR)
            errors.push_back(entry.text);
    return errors;
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
