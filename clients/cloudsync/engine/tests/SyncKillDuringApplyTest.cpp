// A device stopped in the middle of a pass and started again, in its own
// process (engine_worker_driver) as a service manager runs it.
//
// Killed with SIGKILL while an apply step places a large delta,
// after the first files are in place and before any record is saved, while
// the server moves on meanwhile (a colleague edits a placed file, deletes
// another). Started again, the device recognises its own placements: no
// conflict copy, no stale upload over the colleague's edit, the deletion
// stays. The driver pauses before each placement, so the kill lands between
// two of them.
//
// Killed while a server change it cannot place is held back, with the
// stored status past it: started again, it places the change once it can.
//
// Sent SIGTERM while a large download runs: the process ends within
// seconds, not when the download would have ended, and the next start
// finishes the file.

#include "DriverDeviceFixture.h"

#include "FSSyncDB.h"
#include "NuvaroUtil.h"

#include <Poco/Thread.h>
#include <Poco/Timestamp.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <memory>
#include <string>

namespace EngineTest {
namespace {

const long kConvergeMs = 30000;
const int kFiles = 12;

class RestartedDevice : public DriverDeviceTest {
protected:
    RestartedDevice() : DriverDeviceTest("apply-driver") {}
};

TEST_F(RestartedDevice, KilledDuringApplyTakesItsOwnPlacementsAsSynced) {
    struct Case {
        const char* what;
        int placedBeforeKill;
        int deletedOnServer; // index of the file the colleague deletes
    };
    const Case cases[] = {
        {"killed after the first file; a file not placed yet is deleted", 1, 5},
        {"killed after two files; the second placed file is deleted", 2, kFiles - 2},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string folder = "/user1/round" + std::to_string(++round);
        const std::string prefix = "round" + std::to_string(round) + "/";
        server.putFile(SyncDevice::kUser, folder + "/seed.txt", "seed", serverTime(0));
        start("400");
        ASSERT_TRUE(waitUntil([&] { return placed(prefix + "seed.txt") && savedServersStatus(); }, kConvergeMs))
            << m_child->output();

        // The whole batch comes in one delta: the device's delta requests are
        // refused while it is added.
        const int refused = server.addFault(TestFault::withStatus("/app/sync/getsyncdelta", 503));
        for (int i = 0; i < kFiles; ++i)
            server.putFile(SyncDevice::kUser, folder + "/" + numberedName("bulk", i), "version 1 of " + std::to_string(i),
                           serverTime(10));
        server.removeFault(refused);
        const std::string lastPlaced = prefix + numberedName("bulk", kFiles - c.placedBeforeKill);
        const bool reached = waitUntil([&] { return placed(lastPlaced); }, kConvergeMs);
        m_child->kill();
        ASSERT_TRUE(reached) << m_child->output();
        ASSERT_FALSE(placed(prefix + numberedName("bulk", 0))) << "the kill came after the whole step";

        // The colleague moves on while the device is down.
        const std::string edited = folder + "/" + numberedName("bulk", kFiles - 1);
        server.putFile(SyncDevice::kUser, edited, "the colleague's edit, longer", serverTime(20));
        ASSERT_TRUE(server.removeItem(SyncDevice::kUser, folder + "/" + numberedName("bulk", c.deletedOnServer)));

        start();
        EXPECT_TRUE(waitUntil(
            [&] {
                return savedServersStatus() && folderTree(files()) == serverFiles() &&
                       server.fileContent(SyncDevice::kUser, edited) == std::string("the colleague's edit, longer");
            },
            kConvergeMs))
            << "device: " << folderTree(files()).size() << " items, server: " << serverFiles().size();
        stop();
        // Nothing more here than the server's files (no conflict copy), the
        // edit kept, the deleted file not sent back, every file recorded.
        EXPECT_EQ(folderTree(files()), serverFiles());
        EXPECT_EQ(server.fileContent(SyncDevice::kUser, edited), std::string("the colleague's edit, longer"));
        EXPECT_FALSE(server.fileContent(SyncDevice::kUser, folder + "/" + numberedName("bulk", c.deletedOnServer)));
        EXPECT_FALSE(placed(prefix + numberedName("bulk", c.deletedOnServer)));
        for (const auto& item : serverFiles())
            EXPECT_FALSE(Nuvaro::Util::isReplacementTemporaryName(Poco::Path(item.first).getFileName()))
                << item.first;
        Nuvaro::Sync::FSSyncDB db;
        ASSERT_TRUE(db.openDB(root() + "/data/syncclient.db", ""));
        for (const auto& item : serverFiles())
            EXPECT_TRUE(db.getFSSyncRecord("/user1/" + item.first) != nullptr) << item.first;
        db.closeDB();
        // The journal of the placements is gone with the step that saved.
        EXPECT_FALSE(Poco::File(root() + "/data/.applyjournal").exists());
    }
}

// A server change the device cannot place (a folder the colleague made
// where the user keeps a file of that name) is held back while the rest is
// saved, the stored status moving past it. Killed then, the device has not
// lost it: started again once the user moved the file away, it places it.
TEST_F(RestartedDevice, HeldBackChangeSurvivesAKillAndIsPlacedOnceThereIsRoom) {
    server.putFile(SyncDevice::kUser, "/user1/seed.txt", "seed", serverTime(0));
    start();
    ASSERT_TRUE(waitUntil([&] { return placed("seed.txt") && savedServersStatus(); }, kConvergeMs))
        << m_child->output();
    stop();
    // While the device is down: the user's file, the colleague's folder of
    // the same name and another change.
    std::ofstream(files() + "/plans", std::ios::binary) << "my file named plans";
    server.putFile(SyncDevice::kUser, "/user1/plans/q3.txt", "their plan", serverTime(10));
    server.putFile(SyncDevice::kUser, "/user1/other.txt", "other", serverTime(10));

    start();
    const std::string heldBack = root() + "/data/.heldback";
    const bool held = waitUntil(
        [&] { return placed("other.txt") && savedServersStatus() && Poco::File(heldBack).exists(); }, kConvergeMs);
    m_child->kill();
    ASSERT_TRUE(held) << m_child->output();
    EXPECT_EQ(server.item(SyncDevice::kUser, "/user1/plans")->type, 0) << "the user's file went over the folder";

    Poco::File(files() + "/plans").renameTo(files() + "/plans.txt");
    start();
    EXPECT_TRUE(waitUntil(
        [&] {
            return placed("plans/q3.txt") &&
                   server.fileContent(SyncDevice::kUser, "/user1/plans.txt") == std::string("my file named plans") &&
                   !Poco::File(heldBack).exists();
        },
        kConvergeMs))
        << m_child->output();
    stop();
    EXPECT_EQ(CloudSyncTest::TempFolder::read(files() + "/plans/q3.txt"), "their plan");
    EXPECT_EQ(folderTree(files()), serverFiles());
}

TEST_F(RestartedDevice, SigtermDuringALargeDownloadEndsWithinSecondsAndTheNextStartFinishesIt) {
    const std::string big(32u << 20, 'm');
    server.putFile(SyncDevice::kUser, "/user1/media/movie.bin", big, serverTime(0));
    // About 32 s for the whole body (sent from where the download request
    // redirects to).
    const int slow = server.addFault(TestFault::throttled("/download/*", 1 << 20));
    start();
    ASSERT_TRUE(server.waitForRequests("/core/downloadfile", 1, kStartMs));
    Poco::Thread::sleep(1000);

    const Poco::Timestamp stopped;
    m_child->signal(SIGTERM);
    EXPECT_EQ(m_child->waitForExit(kConvergeMs), 0) << m_child->output();
    EXPECT_LT(stopped.elapsed(), 10 * Poco::Timestamp::resolution());
    EXPECT_FALSE(placed("media/movie.bin"));

    server.removeFault(slow);
    start();
    EXPECT_TRUE(waitUntil(
        [&] { return placed("media/movie.bin") && CloudSyncTest::TempFolder::read(files() + "/media/movie.bin") == big; },
        60000));
    stop();
}

} // namespace
} // namespace EngineTest
