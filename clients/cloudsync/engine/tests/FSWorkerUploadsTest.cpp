// The upload pass (doSendFiles) on a device synced with the test server:
// real files, a real folder scan for the change list, real uploads.

#include "SyncDevice.h"

#include "CaseName.h"
#include "DirChangeNotification.h"
#include "EventRecorder.h"
#include "FSActivity.h"
#include "LogCapture.h"
#include "WorkerHelpers.h"

#include <Poco/Runnable.h>
#include <Poco/ThreadPool.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

namespace EngineTest {
namespace {

using CloudSyncTest::EventRecorder;
using Nuvaro::Sync::FSActivity;
using Nuvaro::Sync::FSWorker;

class UploadTest : public OneDeviceTest {
protected:
    // Scans, then sends what the scan found.
    bool send() {
        device->scan();
        return device->worker().doSendFiles();
    }
    std::vector<std::string> uploadTargets() {
        std::vector<std::string> targets;
        for (const auto& sent : server.requests("/upload"))
            targets.push_back(sent.query);
        return targets;
    }
};

TEST_F(UploadTest, NewFoldersAreCreatedBeforeAnyFileAndRemembered) {
    PassWorker& worker = ready();
    device->write("a/b/c.txt", "ccc");
    device->write("a/z.txt", "z");
    device->makeFolder("a/empty");
    server.clearRequests();

    ASSERT_TRUE(send());
    EXPECT_EQ(worker.lastSendOutcome, FSWorker::SendOutcome::Sent);
    EXPECT_EQ(server.fileContent(SyncDevice::kUser, "/user1/a/b/c.txt"), std::string("ccc"));
    EXPECT_EQ(server.fileContent(SyncDevice::kUser, "/user1/a/z.txt"), std::string("z"));
    ASSERT_TRUE(server.item(SyncDevice::kUser, "/user1/a/empty").has_value());

    // Every folder request came before the first upload.
    std::vector<std::string> paths;
    for (const auto& sent : server.requests())
        if (sent.path == "/app/explorer/createfolder" || sent.path == "/upload")
            paths.push_back(sent.path);
    ASSERT_EQ(paths.size(), 5u);
    EXPECT_EQ(std::count(paths.begin(), paths.begin() + 3, "/app/explorer/createfolder"), 3);
    EXPECT_EQ(worker.uploadedThisPass.snapshot(),
              (std::set<std::string>{"/user1/a", "/user1/a/b", "/user1/a/b/c.txt", "/user1/a/empty", "/user1/a/z.txt"}));
}

TEST_F(UploadTest, FolderThatExistsOnTheServerAlreadyCountsAsCreated) {
    PassWorker& worker = ready();
    device->write("shared/x.txt", "x");
    device->scan();
    server.makeFolder(SyncDevice::kUser, "/user1/shared");
    EXPECT_TRUE(worker.doSendFiles());
    EXPECT_EQ(server.fileContent(SyncDevice::kUser, "/user1/shared/x.txt"), std::string("x"));
    EXPECT_FALSE(worker.uploadedThisPass.contains("/user1/shared"));
}

// 20971520 bytes go in one request; one byte more in pieces.
class UploadPieces : public UploadTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(UploadPieces, OnlyAboveTwentyMiB) {
    ready();
    const std::size_t size = GetParam();
    device->write("big.bin", std::string(size, 'b'));
    server.clearRequests();
    ASSERT_TRUE(send());
    auto item = server.item(SyncDevice::kUser, "/user1/big.bin");
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->size, static_cast<Poco::Int64>(size));
    const std::vector<std::string> targets = uploadTargets();
    const bool inPieces = size > 20971520;
    ASSERT_EQ(targets.size(), inPieces ? 3u : 1u);
    for (const std::string& query : targets)
        EXPECT_EQ(query.find("offset=") != std::string::npos, inPieces) << query;
}

INSTANTIATE_TEST_SUITE_P(Sizes, UploadPieces, ::testing::Values(20971520u, 20971521u));

// ---- The delete-approval gate ----

struct GateCase {
    std::string what;
    std::function<void(SyncDevice&)> change;
    bool sent;
    // Files that went up (the removals held back never do).
    std::size_t uploads;
};

void PrintTo(const GateCase& c, std::ostream* os) {
    *os << c.what;
}

class UploadGate : public UploadTest, public ::testing::WithParamInterface<GateCase> {};

// Ten synced files; the gate holds back 10% (the default limit) of
// removals, files emptied to zero bytes count as removals, edits and new
// files never count. What it holds back is the removals only: the rest goes,
// and the held changes are still in the send list when the step returns.
TEST_P(UploadGate, HoldsBackRemovalsAtTheLimitOnly) {
    const GateCase& c = GetParam();
    for (int i = 0; i < 10; ++i)
        server.putFile(SyncDevice::kUser, "/user1/f" + std::to_string(i) + ".txt", "content " + std::to_string(i));
    PassWorker& worker = ready();
    ASSERT_TRUE(device->exists("f9.txt"));
    c.change(*device);
    EventRecorder events({10, 11, 13, 14, 15, 16});
    server.clearRequests();
    device->scan();
    const std::size_t listed = worker.localChanges.size();

    EXPECT_EQ(worker.doSendFiles(), c.sent);
    EXPECT_EQ(worker.lastSendOutcome,
              c.sent ? FSWorker::SendOutcome::Sent : FSWorker::SendOutcome::HeldForApproval);
    // Removals held back or none at all: nothing is deleted.
    EXPECT_TRUE(server.requests("/app/explorer/deletefile").empty());
    EXPECT_EQ(server.requests("/upload").size(), c.uploads);
    EXPECT_EQ(worker.localChanges.size(), listed);
    bool approvalAsked = false;
    for (const auto& event : events.events())
        approvalAsked = approvalAsked || std::get<0>(event) == 6;
    EXPECT_EQ(approvalAsked, !c.sent);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UploadGate,
    ::testing::Values(GateCase{"one removal of ten", [](SyncDevice& d) { d.remove("f0.txt"); }, false, 0},
                      GateCase{"one file emptied", [](SyncDevice& d) { d.write("f0.txt", "", 50); }, false, 0},
                      GateCase{"a removal and an emptied file beside a new and a changed file",
                               [](SyncDevice& d) {
                                   d.remove("f0.txt");
                                   d.write("f1.txt", "", 50);
                                   d.write("new.txt", "new");
                                   d.write("f2.txt", "edited", 60);
                               },
                               false, 2},
                      GateCase{"nine edits",
                               [](SyncDevice& d) {
                                   for (int i = 0; i < 9; ++i)
                                       d.write("f" + std::to_string(i) + ".txt", "edited", 60);
                               },
                               true, 9},
                      GateCase{"new files", [](SyncDevice& d) {
                                   for (int i = 0; i < 5; ++i)
                                       d.write("new" + std::to_string(i) + ".txt", "");
                               },
                               true, 5}),
    NameByWhat());

TEST_F(UploadTest, ApprovedRemovalsGoThrough) {
    for (int i = 0; i < 10; ++i)
        server.putFile(SyncDevice::kUser, "/user1/f" + std::to_string(i) + ".txt", "x");
    PassWorker& worker = ready();
    device->remove("f0.txt");
    device->remove("f1.txt");
    EXPECT_FALSE(send());
    ASSERT_TRUE(server.item(SyncDevice::kUser, "/user1/f0.txt").has_value());

    worker.changesApproved(2);
    EXPECT_TRUE(send());
    EXPECT_FALSE(server.item(SyncDevice::kUser, "/user1/f0.txt").has_value());
    EXPECT_FALSE(server.item(SyncDevice::kUser, "/user1/f1.txt").has_value());
}

// ---- Failures ----

TEST_F(UploadTest, MissingFileIsReportedTheOthersAreSentAndAScanIsAskedFor) {
    PassWorker& worker = ready();
    device->write("kept.txt", "k");
    device->write("gone.txt", "g");
    device->scan();
    device->remove("gone.txt");

    EXPECT_FALSE(worker.doSendFiles());
    EXPECT_EQ(server.fileContent(SyncDevice::kUser, "/user1/kept.txt"), std::string("k"));
    auto failures = activities(FSActivity::TypeUploadFailure);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0]->message, "File marked for upload is missing");
    EXPECT_EQ(worker.queue.size(), 1);
    EXPECT_TRUE(worker.flags.loggedIn.load());
}

TEST_F(UploadTest, RefusedUploadFailsThePassAndLogsInAgainNextTime) {
    PassWorker& worker = ready();
    device->write("a.txt", "a");
    server.addFault(TestFault::withBody("/upload", "Failed: quota exceeded"));
    EXPECT_FALSE(send());
    EXPECT_EQ(worker.lastSendOutcome, FSWorker::SendOutcome::Failed);
    EXPECT_FALSE(worker.flags.loggedIn.load());
    EXPECT_EQ(activities(FSActivity::TypeUploadFailure).size(), 1u);
}

TEST_F(UploadTest, FolderThatCannotBeCreatedStopsBeforeAnyUpload) {
    PassWorker& worker = ready();
    device->write("new/a.txt", "a");
    server.addFault(TestFault::withStatus("/app/explorer/createfolder", 500));
    server.addFault(TestFault::withStatus("/app/explorer/fileexists", 500));
    server.clearRequests();
    EXPECT_FALSE(send());
    EXPECT_TRUE(server.requests("/upload").empty());
    EXPECT_FALSE(worker.flags.loggedIn.load());
    EXPECT_EQ(activities(FSActivity::TypeUploadFailure).size(), 1u);
}

// Keeps every thread of the default pool but `free` busy until released.
class PoolOccupier {
public:
    explicit PoolOccupier(int free) {
        Poco::ThreadPool& pool = Poco::ThreadPool::defaultPool();
        while (pool.available() > free) {
            m_blockers.emplace_back(new Blocker(*this));
            pool.start(*m_blockers.back());
        }
    }
    ~PoolOccupier() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_released = true;
        }
        m_changed.notify_all();
        Poco::ThreadPool::defaultPool().joinAll();
    }

private:
    struct Blocker : Poco::Runnable {
        explicit Blocker(PoolOccupier& owner) : owner(owner) {}
        void run() override {
            std::unique_lock<std::mutex> lock(owner.m_mutex);
            owner.m_changed.wait_for(lock, std::chrono::seconds(30), [this] { return owner.m_released; });
        }
        PoolOccupier& owner;
    };
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_released = false;
    std::vector<std::unique_ptr<Blocker>> m_blockers;
};

// Regression: an exception (here the thread pool refusing the second job)
// ended the step while the first upload still ran on against a pass that
// had ended.
TEST_F(UploadTest, SendFilesWaitsForItsUploadsWhenAnExceptionEndsIt) {
    PassWorker& worker = ready();
    device->write("one.txt", "1");
    device->write("two.txt", "2");
    device->scan();
    server.addFault(TestFault::withDelay("/upload", 300));
    {
        PoolOccupier occupied(1);
        EXPECT_FALSE(worker.doSendFiles());
        EXPECT_EQ(worker.runningTransferJobs(), 0);
        EXPECT_EQ(server.requests("/upload").size(), 1u);
        EXPECT_FALSE(worker.flags.loggedIn.load());
    }
    EXPECT_TRUE(server.item(SyncDevice::kUser, "/user1/one.txt").has_value());
}

TEST_F(UploadTest, StopEndsTheStepAfterTheStartedUploads) {
    PassWorker& worker = ready();
    device->write("a.txt", "a");
    device->scan();
    worker.stop = true;
    EXPECT_FALSE(worker.doSendFiles());
    EXPECT_EQ(worker.lastSendOutcome, FSWorker::SendOutcome::Stopped);
    EXPECT_TRUE(server.requests("/upload").empty());
}

// A server that holds the reply to an upload for a minute: the worker's stop
// (the stop flag, then its requests cancelled, as shutdown does) ends the
// step within seconds, as a stop: no upload-failure entry, no error line.
TEST_F(UploadTest, StopEndsAnUploadWhoseReplyTheServerHolds) {
    for (const bool chunked : {false, true}) {
        SCOPED_TRACE(chunked ? "in pieces" : "whole");
        // A device of its own per case: a worker's stop is for good.
        device.reset(new SyncDevice(m_tmp / (chunked ? "pieces" : "whole"), server.baseUrl(), "laptop"));
        PassWorker& worker = ready();
        device->write("held.bin", std::string(chunked ? 20971521 : 10, 'h'));
        device->scan();
        const int held = server.addFault(TestFault::withDelay("/upload", 60000));
        server.clearRequests();
        std::future<bool> sent = std::async(std::launch::async, [&] { return worker.doSendFiles(); });
        // Recorded once its body is in, before the server holds the reply.
        ASSERT_TRUE(server.waitForRequests("/upload", 1, 20000));
        CloudSyncTest::LogCapture log;
        const auto stopped = std::chrono::steady_clock::now();
        worker.stop = true;
        worker.requestCanceller.cancel();
        ASSERT_EQ(sent.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
        EXPECT_FALSE(sent.get());
        EXPECT_EQ(worker.lastSendOutcome, FSWorker::SendOutcome::Stopped);
        EXPECT_TRUE(activities(FSActivity::TypeUploadFailure).empty());
        for (const auto& entry : log.channel().entries()) {
            EXPECT_GT(entry.priority, Poco::Message::PRIO_ERROR) << "logged as a failure: " << entry.text;
        }
        server.removeFault(held);
    }
}

// One item the server does not take holds back only itself (and what lies
// below a folder it does not make); the rest of the step still goes, and the
// item goes at a later step once the server takes it.
TEST_F(UploadTest, AnItemTheServerRefusesHoldsBackOnlyItself) {
    struct Case {
        const char* what;
        TestFault refusal;
        std::vector<std::string> heldBack;  // server paths not there after the step
    };
    const std::string refusedFolder =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><commands><command><type>createfolder</type><result>0</result>"
        "<message>Refused</message></command></commands>";
    const Case cases[] = {
        {"a folder the server does not make", TestFault::withBody("/app/explorer/createfolder", refusedFolder),
         {"/user1/a", "/user1/a/x.txt", "/user1/a/deeper", "/user1/a/deeper/z.txt"}},
        {"a file the server refuses", TestFault::withBody("/upload", "Failed: refused by the server"),
         {"/user1/a/deeper/z.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        device.reset(new SyncDevice(m_tmp / c.what, server.baseUrl(), "laptop"));
        PassWorker& worker = ready();
        worker.maxThreads = 1;
        device->write("a/x.txt", "x");
        device->write("a/deeper/z.txt", "z");
        device->write("b/y.txt", "y");
        device->write("c.txt", "c");
        device->write("d.txt", "d");
        device->scan();
        TestFault refusal = c.refusal;
        refusal.times = 1;
        const int refused = server.addFault(refusal);

        EXPECT_FALSE(worker.doSendFiles());
        for (const char* sent : {"/user1/b/y.txt", "/user1/c.txt", "/user1/d.txt"})
            EXPECT_TRUE(server.item(SyncDevice::kUser, sent).has_value()) << sent;
        for (const std::string& held : c.heldBack)
            EXPECT_FALSE(server.item(SyncDevice::kUser, held).has_value()) << held;
        EXPECT_FALSE(activities(FSActivity::TypeUploadFailure).empty());

        server.removeFault(refused);
        device->scan();
        EXPECT_TRUE(worker.doSendFiles());
        for (const std::string& held : c.heldBack)
            EXPECT_TRUE(server.item(SyncDevice::kUser, held).has_value()) << held;
        // Cleared for the next case's device.
        for (const char* top : {"/user1/a", "/user1/b", "/user1/c.txt", "/user1/d.txt"})
            server.removeItem(SyncDevice::kUser, top);
    }
}

TEST_F(UploadTest, EmptyChangeListSendsNothingAndClearsUploadFailures) {
    PassWorker& worker = ready();
    Nuvaro::Sync::addActivityEntry(*device->db(), FSActivity::TypeUploadFailure, "old failure", "", "");
    EventRecorder events({11, 13, 14, 15, 16});
    EXPECT_TRUE(worker.doSendFiles());
    EXPECT_TRUE(activities(FSActivity::TypeUploadFailure).empty());
    EXPECT_EQ(events.events(), (std::vector<EventRecorder::Event>{EventRecorder::Event(10, "Uploading Changes", 0)}));
}

} // namespace
} // namespace EngineTest
