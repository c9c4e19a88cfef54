// End to end: a local file replaced by a folder, or a folder by a file. The
// change is the removal of the old item and the creation of the new one:
// both reach the server, the other device places the new kind, and nothing
// fails at the passes that follow.

#include "TwoDevicesFixture.h"

#include "CaseName.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace EngineTest {
namespace {

Poco::Timestamp serverTime(long seconds) {
    return Poco::Timestamp::fromEpochTime(1709287200 + seconds);
}

struct KindChange {
    std::string what;
    // Synced first: server path below "/user1" -> content.
    std::map<std::string, std::string> before;
    // What the user does on the laptop.
    std::function<void(SyncDevice&)> change;
    // Every side ends with this tree.
    std::map<std::string, std::string> after;
    // Local paths below "My Files" whose records the laptop no longer holds
    // live.
    std::vector<std::string> gone;
};

void PrintTo(const KindChange& c, std::ostream* os) {
    *os << c.what;
}

class KindChanges : public TwoDevicesTest, public ::testing::WithParamInterface<KindChange> {};

// Regression: the scan matched the new item to the old record by path alone.
// A folder where a file was counted as known, so its files were sent into a
// server path that is a file and failed at every pass; a file where a folder
// was only changed the folder record's size, so the folder was asked for
// again and the file never went, and the records below the folder stayed.
TEST_P(KindChanges, ReachTheServerAsARemovalAndANewItem) {
    const KindChange& c = GetParam();
    for (const auto& item : c.before)
        server.putFile(kUser, "/user1/" + item.first, item.second, serverTime(0));
    syncAll();
    ASSERT_EQ(phone().tree().size(), laptop().tree().size());

    c.change(laptop());
    CloudSyncTest::LogCapture log({"Sync", "FolderCacheActivity"});
    syncAll();

    expectConverged();
    EXPECT_EQ(serverTree(), c.after);
    for (const std::string& rel : c.gone) {
        auto record = laptop().db()->getFSSyncRecordFromLocalFullPath("My Files/" + rel);
        EXPECT_TRUE(!record || record->getIsDeleted() == 1) << rel;
    }
    for (const auto& item : c.after) {
        auto record = laptop().db()->getFSSyncRecordFromLocalFullPath("My Files/" + item.first);
        ASSERT_TRUE(record) << item.first;
        EXPECT_EQ(record->getIsDeleted(), 0) << item.first;
        EXPECT_EQ(record->getType(), item.second == "<folder>" ? 0 : 1) << item.first;
    }
    std::vector<std::string> errors;
    for (const auto& entry : log.channel().entries())
        if (entry.priority <= Poco::Message::PRIO_ERROR)
            errors.push_back(entry.text);
    EXPECT_EQ(errors, std::vector<std::string>{}) << log.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KindChanges,
    ::testing::Values(
        KindChange{"file replaced by a folder with content",
                   {{"notes", "a file called notes"}, {"other.txt", "other"}},
                   [](SyncDevice& d) {
                       d.remove("notes");
                       d.write("notes/today.txt", "today");
                       d.write("notes/sub/deep.txt", "deep");
                   },
                   {{"notes", "<folder>"},
                    {"notes/sub", "<folder>"},
                    {"notes/sub/deep.txt", "deep"},
                    {"notes/today.txt", "today"},
                    {"other.txt", "other"}},
                   {}},
        // The server's echo of the file's removal must not take the new,
        // empty folder with it.
        KindChange{"file replaced by an empty folder",
                   {{"notes", "a file called notes"}},
                   [](SyncDevice& d) {
                       d.remove("notes");
                       d.makeFolder("notes");
                   },
                   {{"notes", "<folder>"}},
                   {}},
        KindChange{"folder with children replaced by a file",
                   {{"proj/a.txt", "a"}, {"proj/sub/b.txt", "b"}, {"other.txt", "other"}},
                   [](SyncDevice& d) {
                       d.remove("proj");
                       d.write("proj", "now a file");
                   },
                   {{"proj", "now a file"}, {"other.txt", "other"}},
                   {"proj/a.txt", "proj/sub", "proj/sub/b.txt"}}),
    NameByWhat());

} // namespace
} // namespace EngineTest
