// A device killed with SIGKILL in the middle of a pass (during a download,
// during an upload, between placing a file and saving the records) and
// started again converges with the server, with no file lost or
// duplicated. The device runs in a child process (engine_worker_driver)
// through the worker's real run loop; the test server runs here.

#include "SyncDevice.h"

#include "ChildProcess.h"
#include "FSSyncDB.h"
#include "StoredStatus.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <memory>
#include <string>

namespace EngineTest {
namespace {

using CloudSyncTest::ChildProcess;

const long kStartMs = 20000;
const long kConvergeMs = 30000;

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

Poco::Timestamp serverTime(long seconds) {
    return Poco::Timestamp::fromEpochTime(1709287200 + seconds);
}

class KilledDevice : public ::testing::Test {
protected:
    void SetUp() override {
        startWithTheUsersAccount(server);
    }

    std::string root() const { return m_tmp / "laptop"; }
    std::string files() const { return root() + "/sync/My Files"; }
    std::string dataFolder() const { return root() + "/data"; }

    // Starts the device in its own process (again on the same folders).
    void start() {
        ++m_starts;
        m_child.reset(new ChildProcess(ENGINE_WORKER_DRIVER, {},
                                       m_tmp / ("driver-" + std::to_string(m_starts) + ".out"),
                                       {server.baseUrl(), root(), "laptop"}));
        ASSERT_TRUE(m_child->started());
        ASSERT_TRUE(m_child->waitForLine("running", kStartMs)) << m_child->output();
    }
    void kill() { m_child->kill(); }
    // An orderly stop: SIGTERM, shutdown, exit code 0.
    void stop() {
        m_child->signal(SIGTERM);
        EXPECT_EQ(m_child->waitForExit(kStartMs), 0) << m_child->output();
    }
    // Started, synced with the server and idle (a second pass came after
    // the scan of the first).
    void startIdle() {
        start();
        const std::size_t before = server.requests("/app/sync/getsyncfolderlist").size();
        ASSERT_TRUE(server.waitForRequests("/app/sync/getsyncfolderlist", before + 3, kStartMs));
    }

    std::map<std::string, std::string> serverFiles() { return serverTree(server, SyncDevice::kUser, "/user1"); }

    // The status set the device stored for its sync folder ("" when none
    // yet), read with a connection of the test's own.
    std::string storedStatus() { return storedStatusSet(dataFolder() + "/syncclient.db", "/user1"); }

    // In time, the device has the server's files and has stored the
    // server's status of its folder (it has saved what it applied).
    void expectConverged() {
        EXPECT_TRUE(waitUntil(
            [&] {
                return storedStatus() == server.statusSet(SyncDevice::kUser, "/user1") &&
                       folderTree(files()) == serverFiles();
            },
            kConvergeMs))
            << "device: " << folderTree(files()).size() << " items, server: " << serverFiles().size()
            << ", status " << storedStatus() << " of " << server.statusSet(SyncDevice::kUser, "/user1");
        stop();
        // Nothing more in the sync folder than the server's files (no
        // temporary file, no conflict copy) and every file recorded.
        EXPECT_EQ(folderTree(files()), serverFiles());
        Nuvaro::Sync::FSSyncDB db;
        ASSERT_TRUE(db.openDB(dataFolder() + "/syncclient.db", ""));
        for (const auto& item : serverFiles())
            EXPECT_TRUE(db.getFSSyncRecord("/user1/" + item.first) != nullptr) << item.first;
        db.closeDB();
    }

    CloudSyncTest::TempFolder m_tmp;
    VaultpineTestServer server;
    std::unique_ptr<ChildProcess> m_child;
    int m_starts = 0;
};

TEST_F(KilledDevice, DuringADownloadConvergesWhenStartedAgain) {
    server.putFile(SyncDevice::kUser, "/user1/notes.txt", "notes", serverTime(0));
    server.putFile(SyncDevice::kUser, "/user1/media/video.bin", std::string(3 * 1024 * 1024, 'v'), serverTime(0));
    const int slow = server.addFault(TestFault::withDelay("/core/downloadfile", 10000));
    start();
    ASSERT_TRUE(server.waitForRequests("/core/downloadfile", 1, kStartMs));
    kill();

    server.removeFault(slow);
    start();
    expectConverged();
}

TEST_F(KilledDevice, DuringAnUploadConvergesWhenStartedAgain) {
    const std::string big(21 * 1024 * 1024, 'u');
    Poco::File(files() + "/up").createDirectories();
    writeFile(files() + "/up/big.bin", big);
    writeFile(files() + "/up/small.txt", "small");
    // The first piece of the big file goes through, the next ones wait.
    TestFault slowPieces = TestFault::withDelay("/upload", 10000);
    slowPieces.skip = 1;
    const int slow = server.addFault(slowPieces);
    start();
    ASSERT_TRUE(server.waitForRequests("/upload", 2, kStartMs));
    kill();

    server.removeFault(slow);
    start();
    expectConverged();
    EXPECT_EQ(server.fileContent(SyncDevice::kUser, "/user1/up/big.bin"), big);
}

// The device places the file, then waits for the database, which the test
// holds locked for writing: it is killed before anything of the pass was
// saved (records, status set), so the next start gets the same delta again
// and finds the file already in place.
TEST_F(KilledDevice, BetweenApplyAndSaveConvergesWhenStartedAgain) {
    startIdle();
    sqlite3* lock = nullptr;
    ASSERT_EQ(sqlite3_open((dataFolder() + "/syncclient.db").c_str(), &lock), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(lock, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    server.putFile(SyncDevice::kUser, "/user1/late/late.txt", "arrived late", serverTime(10));
    const bool placed = waitUntil([&] { return Poco::File(files() + "/late/late.txt").exists(); }, kConvergeMs);
    kill();
    sqlite3_exec(lock, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(lock);
    ASSERT_TRUE(placed);
    {
        Nuvaro::Sync::FSSyncDB db;
        ASSERT_TRUE(db.openDB(dataFolder() + "/syncclient.db", ""));
        EXPECT_TRUE(db.getFSSyncRecord("/user1/late/late.txt") == nullptr);
        db.closeDB();
    }

    start();
    expectConverged();
    EXPECT_EQ(CloudSyncTest::TempFolder::read(files() + "/late/late.txt"), "arrived late");
}

} // namespace
} // namespace EngineTest
