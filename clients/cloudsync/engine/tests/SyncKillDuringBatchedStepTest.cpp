// A device killed with SIGKILL in the middle of a batched step, in its own
// process (engine_worker_driver), at several moments of the step: while an
// apply step places many small files (its records and status set are saved
// once, after the last file), and while an upload step sends many small
// files. After each kill, before the device starts again, its sync database
// (the real SQLite file) is read: no record may be ahead of its file, that
// is every record that says a file is synchronised has a local file of the
// record's size and modification second, and for uploads the server holds
// that file. Started again, the device converges: every file on both sides
// with the same content, nothing lost, no conflict copy, no temporary file.

#include "DriverDeviceFixture.h"

#include "FSSyncDB.h"
#include "NameRules.h"
#include "NuvaroUtil.h"

#include <Poco/Path.h>
#include <Poco/Timestamp.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace EngineTest {
namespace {

const long kConvergeMs = 60000;
const int kFiles = 16;

class KilledDuringBatchedStep : public DriverDeviceTest {
protected:
    KilledDuringBatchedStep() : DriverDeviceTest("batch-driver") {}

    // Started, and everything on the server is on the device and saved.
    void startSynced() {
        start();
        ASSERT_TRUE(waitUntil([&] { return savedServersStatus() && folderTree(files()) == serverFiles(); },
                              kConvergeMs))
            << m_child->output();
    }

    // The killed device's database: every live file record has its local
    // file with the record's size and modification second, and (when
    // `onServer`) the server holds that file with the same content.
    // Returns the number of file records below `prefix` (a server path).
    int expectNoRecordAheadOfItsFile(const std::string& prefix, bool onServer) {
        Nuvaro::Sync::FSSyncDB db;
        EXPECT_TRUE(db.openDB(database(), ""));
        std::vector<boost::shared_ptr<Nuvaro::Sync::FSSyncRecord>> records;
        EXPECT_TRUE(db.getFolderRecords("", records));
        db.closeDB();
        int below = 0;
        for (const auto& record : records) {
            const std::string& path = record->getFullPath();
            if (record->getIsDeleted() == 1 || record->getType() != 1 || path.compare(0, 7, "/user1/") != 0)
                continue;
            SCOPED_TRACE(path);
            if (path.compare(0, prefix.size(), prefix) == 0)
                ++below;
            const std::string local = files() + "/" + path.substr(7);
            struct stat info;
            if (::lstat(local.c_str(), &info) != 0) {
                ADD_FAILURE() << "a record without its local file";
                continue;
            }
            EXPECT_EQ(static_cast<Poco::Int64>(info.st_size), record->getSize());
            EXPECT_EQ(static_cast<std::time_t>(info.st_mtim.tv_sec),
                      Poco::Timestamp::fromUtcTime(record->getModified()).epochTime());
            if (onServer) {
                EXPECT_EQ(server.fileContent(SyncDevice::kUser, path), CloudSyncTest::TempFolder::read(local));
            }
        }
        return below;
    }

    // Started again without a pause: both sides the same, nothing more on
    // the device than the server's files (no conflict copy, no temporary
    // file), and `expected` (paths below My Files -> content) on both.
    void expectConvergedAfterRestart(const std::map<std::string, std::string>& expected) {
        start();
        EXPECT_TRUE(waitUntil([&] { return savedServersStatus() && folderTree(files()) == serverFiles(); },
                              kConvergeMs))
            << "device: " << folderTree(files()).size() << " items, server: " << serverFiles().size();
        stop();
        const auto device = folderTree(files());
        EXPECT_EQ(device, serverFiles());
        for (const auto& item : expected)
            EXPECT_EQ(device.count(item.first) ? device.at(item.first) : "<missing>", item.second) << item.first;
        for (const auto& item : device) {
            const std::string name = Poco::Path(item.first).getFileName();
            EXPECT_FALSE(Nuvaro::Util::isReplacementTemporaryName(name)) << item.first;
            EXPECT_FALSE(Nuvaro::Sync::NameRules::isConflictCopyName(name)) << item.first;
        }
        EXPECT_FALSE(Poco::File(root() + "/data/.applyjournal").exists());
    }
};

TEST_F(KilledDuringBatchedStep, ApplyingManyFilesLeavesNoRecordAheadOfItsFile) {
    // Killed after this many files of the step are in place.
    for (const int placedBeforeKill : {1, 5, 11}) {
        SCOPED_TRACE("killed after " + std::to_string(placedBeforeKill) + " placed files");
        const std::string folder = "/user1/after" + std::to_string(placedBeforeKill);
        const std::string prefix = "after" + std::to_string(placedBeforeKill) + "/";
        server.putFile(SyncDevice::kUser, folder + "/seed.txt", "seed", serverTime(0));
        start("400");
        ASSERT_TRUE(waitUntil([&] { return placed(prefix + "seed.txt") && savedServersStatus(); }, kConvergeMs))
            << m_child->output();

        // The whole batch comes in one delta: the device's delta requests are
        // refused while it is added.
        const int refused = server.addFault(TestFault::withStatus("/app/sync/getsyncdelta", 503));
        std::map<std::string, std::string> expected;
        for (int i = 0; i < kFiles; ++i) {
            const std::string content = "file " + std::to_string(i) + " of " + folder;
            server.putFile(SyncDevice::kUser, folder + "/" + numberedName("many", i), content, serverTime(10 + i));
            expected[prefix + numberedName("many", i)] = content;
        }
        server.removeFault(refused);
        const bool reached =
            waitUntil([&] { return placed(prefix + numberedName("many", kFiles - placedBeforeKill)); }, kConvergeMs);
        m_child->kill();
        ASSERT_TRUE(reached) << m_child->output();
        ASSERT_FALSE(placed(prefix + numberedName("many", 0))) << "the kill came after the whole step";

        // The step saves its records after its last file: none of the batch
        // is recorded, and every record there is has its file.
        EXPECT_EQ(expectNoRecordAheadOfItsFile(folder + "/many/", false), 0);

        expectConvergedAfterRestart(expected);
    }
}

TEST_F(KilledDuringBatchedStep, UploadingManyFilesLeavesNoRecordAheadOfItsFile) {
    startSynced();
    stop();
    // Each upload waits on the server, so that the step is still sending
    // when the kill comes.
    const int slow = server.addFault(TestFault::withDelay("/upload", 700));
    // Killed once the server holds this many files of the step.
    for (const int sentBeforeKill : {1, 6}) {
        SCOPED_TRACE("killed after " + std::to_string(sentBeforeKill) + " sent files");
        start();
        const std::string prefix = "sent" + std::to_string(sentBeforeKill) + "/";
        std::map<std::string, std::string> expected;
        Poco::File(files() + "/" + prefix + "many").createDirectories();
        for (int i = 0; i < kFiles; ++i) {
            const std::string content = "local file " + std::to_string(i) + " of " + prefix;
            std::ofstream(files() + "/" + prefix + numberedName("many", i), std::ios::binary) << content;
            expected[prefix + numberedName("many", i)] = content;
        }
        const auto sent = [&] {
            int count = 0;
            for (const auto& item : serverFiles())
                count += item.first.compare(0, prefix.size(), prefix) == 0 && item.second != "<folder>";
            return count;
        };
        const bool reached = waitUntil([&] { return sent() >= sentBeforeKill; }, kConvergeMs);
        m_child->kill();
        ASSERT_TRUE(reached) << m_child->output();
        ASSERT_LT(sent(), kFiles) << "the kill came after the whole step";

        expectNoRecordAheadOfItsFile("/user1/" + prefix, true);

        expectConvergedAfterRestart(expected);
    }
    server.removeFault(slow);
}

} // namespace
} // namespace EngineTest
