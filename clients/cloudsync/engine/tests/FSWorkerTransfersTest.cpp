// The sync worker's transfer body and callbacks against the test server,
// with real files: what a download leaves in the staging folder, how a
// failed download is rechecked (on the job's own connector) and reported,
// how upload results reach the activity log, the UI events and
// uploadedThisPass, and the two free helpers. The body runs on the test's
// thread here, with a connector of its own as a pool slot would give it.

#include "TransferFixture.h"

#include "EventRecorder.h"
#include "FSActivity.h"
#include "NuvaroUtil.h"

#include <Poco/NumberFormatter.h>

#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <limits>
#include <tuple>

namespace EngineTest {

using CloudSyncTest::EventRecorder;

namespace {

using Nuvaro::Sync::FSActivity;
using Event = EventRecorder::Event;

class Transfers : public TransferTest {
protected:
    void SetUp() override {
        TransferTest::SetUp();
        ASSERT_TRUE(logIn());
    }

    // A logged-in connector of a pool slot.
    boost::shared_ptr<Nuvaro::NuvaroConnector> slotConnector() {
        boost::shared_ptr<Nuvaro::NuvaroConnector> made(
            new Nuvaro::NuvaroConnector(settingsList(), false, "Cloud Sync"));
        EXPECT_TRUE(made->Authenticate(true));
        return made;
    }

    std::vector<boost::shared_ptr<FSActivity>> activities(FSActivity::Type type) {
        std::vector<boost::shared_ptr<FSActivity>> entries;
        EXPECT_TRUE(m_db->activityCollectionGet(entries, type));
        return entries;
    }

    // An upload of the local file My Files/up/<name> into /user1/up.
    ActiveThreadContext uploadJob(const std::string& name, const std::string& content) {
        server.makeFolder(kUser, "/user1/up");
        const std::string local = syncRoot() + "/My Files/up/" + name;
        writeFile(local, content);
        ActiveThreadContext job;
        job.mode = ActiveThreadContext::MODE_UPLOAD;
        job.remotePath = "/user1/up";
        job.localFile = local;
        job.connector = slotConnector();
        job.record = FSSyncRecord(Poco::UUIDGenerator::defaultGenerator().createRandom(), 1, name, "/user1/up",
                                  "/user1/up/" + name, static_cast<Poco::Int64>(content.size()),
                                  wholeSecond().utcTime(), "", "", "My PC", "/user1", "My Files/up",
                                  "My Files/up/" + name);
        return job;
    }
};

// ---- Downloads ----

TEST_F(Transfers, ADownloadLandsInTheStagedFileWithTheRecordsTimeAndAttributes) {
    server.putFile(kUser, "/user1/docs/run.sh", "#!/bin/sh\necho hi\n", wholeSecond(42));
    ActiveThreadContext job = downloadJob("/user1/docs/run.sh");
    job.record.setAttribs("x,");
    job.connector = slotConnector();
    EventRecorder events;

    ActiveThreadContext result = m_worker->simulImpl(job);

    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(readFile(job.localFile), "#!/bin/sh\necho hi\n");
    EXPECT_EQ(Poco::File(job.localFile).getLastModified().epochTime(), wholeSecond(42).epochTime());
    struct stat info {};
    ASSERT_EQ(::stat(job.localFile.c_str(), &info), 0);
    EXPECT_NE(info.st_mode & S_IXUSR, 0u);
    EXPECT_EQ(events.events(), (std::vector<Event>{Event{14, "run.sh", 0}, Event{15, "run.sh", 0}}));
    EXPECT_TRUE(activities(FSActivity::TypeError).empty());
}

TEST_F(Transfers, AFailedDownloadIsRecheckedOnTheJobsConnectorAndReported) {
    struct Case {
        const char* what;
        std::function<void(ActiveThreadContext&)> breakIt;
        const char* errorHolds;
    } cases[] = {
        {"missing on the server",
         [](ActiveThreadContext& job) {
             job.remotePath = "/user1/docs/gone.txt";
             job.record.setName("gone.txt");
         },
         "Failed"},
        {"another size than the record's",
         [](ActiveThreadContext& job) { job.record.setSize(job.record.getSize() + 1); }, "Size Mismatch"},
        {"refused by the server", [this](ActiveThreadContext&) {
             server.addFault(TestFault::withStatus("/core/downloadfile", 500));
         },
         "Failed"},
    };
    server.putFile(kUser, "/user1/docs/a.txt", "hello");
    // A recheck on the worker's own connector could not even be prepared.
    m_worker->connector->resetSession();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.clearFaults();
        server.clearRequests();
        m_db->activityDeleteAll();
        ActiveThreadContext job = downloadJob("/user1/docs/a.txt");
        job.connector = slotConnector();
        c.breakIt(job);
        CloudSyncTest::LogCapture log({"Sync"});
        EventRecorder events;

        ActiveThreadContext result = m_worker->simulImpl(job);

        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find(c.errorHolds), std::string::npos) << result.error;
        EXPECT_FALSE(Poco::File(job.localFile).exists());
        EXPECT_TRUE(log.contains("Issued Recheck Record: " + job.remotePath)) << log.dump();
        auto rechecks = server.requests("/app/sync/recheckrecord");
        ASSERT_EQ(rechecks.size(), 1u);
        EXPECT_EQ(rechecks[0].formField("path"), job.remotePath);
        auto downloads = server.requests("/core/downloadfile");
        ASSERT_EQ(downloads.size(), 1u);
        EXPECT_FALSE(rechecks[0].header("Cookie").empty());
        EXPECT_EQ(rechecks[0].header("Cookie"), downloads[0].header("Cookie"));
        auto errors = activities(FSActivity::TypeError);
        ASSERT_EQ(errors.size(), 1u);
        const std::string message = "Failed Download: " + result.error +
                                    " verify whether file download works via a web browser. Please contact your "
                                    "administrator for assistance.";
        EXPECT_EQ(errors[0]->message, message);
        EXPECT_EQ(errors[0]->fullPath, job.record.getFullPath());
        EXPECT_EQ(errors[0]->friendlyName, "testserver");
        const std::string name = job.record.getName();
        EXPECT_EQ(events.events(), (std::vector<Event>{Event{14, name, 0}, Event{15, name, 0}, Event{4, message, 0},
                                                       Event{16, "", 0}}));
    }
}

// ---- Uploads ----

TEST_F(Transfers, UploadResultsReachTheActivityLogTheEventsAndUploadedThisPass) {
    for (bool chunked : {false, true}) {
        SCOPED_TRACE(chunked ? "chunked" : "whole");
        m_db->activityDeleteAll();
        m_worker->uploadedThisPass.clear();
        const std::string name = chunked ? "big.bin" : "a.txt";
        ActiveThreadContext job = uploadJob(name, "hello");
        job.chunked = chunked;
        EventRecorder events;

        ActiveThreadContext result = m_worker->simulImpl(job);

        EXPECT_TRUE(result.ok);
        EXPECT_EQ(result.error, "");
        EXPECT_EQ(server.fileContent(kUser, "/user1/up/" + name), std::optional<std::string>("hello"));
        EXPECT_TRUE(m_worker->uploadedThisPass.contains("/user1/up/" + name));
        auto uploads = activities(FSActivity::TypeUpload);
        ASSERT_EQ(uploads.size(), 1u);
        EXPECT_EQ(uploads[0]->message, name + " (" + Nuvaro::Util::readableFileSize(5, 2) + ")");
        EXPECT_EQ(uploads[0]->fullPath, "My Files/up/" + name);
        EXPECT_EQ(uploads[0]->friendlyName, "My PC");
        EXPECT_EQ(events.events(), (std::vector<Event>{Event{14, name, 1}, Event{15, name, 1}}));
        EXPECT_TRUE(m_worker->flags.loggedIn);
    }
}

TEST_F(Transfers, AFailedUploadIsReportedDropsTheLoginAndAsksForOneScan) {
    struct Case {
        const char* reply;
        bool quotaMessage;
    } cases[] = {{"Failed: quota exceeded", true}, {"Failed: Quota exceeded", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        server.clearFaults();
        server.addFault(TestFault::withBody("/upload", c.reply));
        m_db->activityDeleteAll();
        m_worker->queue.clear();
        m_worker->flags.loggedIn = true;
        ActiveThreadContext job = uploadJob("a.txt", "hello");
        EventRecorder events;
        CloudSyncTest::LogCapture log({"Sync"});

        ActiveThreadContext result = m_worker->simulImpl(job);

        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find(c.reply), std::string::npos) << result.error;
        EXPECT_FALSE(m_worker->uploadedThisPass.contains("/user1/up/a.txt"));
        auto failures = activities(FSActivity::TypeUploadFailure);
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0]->message, "File Upload Failed: " + result.error +
                                            " verify there is enough available storage and user has upload "
                                            "permissions. Also, verify if file upload works via a web browser. "
                                            "Please contact your administrator for assistance.");
        EXPECT_EQ(failures[0]->fullPath, job.localFile);
        EXPECT_TRUE(log.contains("FS Upload FAILED: " + job.localFile + " " + result.error)) << log.dump();
        const std::string userMessage = c.quotaMessage ? std::string("Failed to upload file, Disk Quota Exceeded")
                                                       : result.error + " error for " + job.localFile;
        EXPECT_EQ(events.events(), (std::vector<Event>{Event{14, "a.txt", 1}, Event{15, "a.txt", 1},
                                                       Event{16, "", 0}, Event{4, userMessage, 0}}));
        EXPECT_FALSE(m_worker->flags.loggedIn);
        EXPECT_EQ(m_worker->queue.size(), 1);

        // With a notification waiting already, another failure adds none.
        m_worker->simulImpl(job);
        EXPECT_EQ(m_worker->queue.size(), 1);
    }
}

// ---- Jobs the body refuses ----

TEST_F(Transfers, JobsTheBodyCannotRunFailWithoutEventsOrCallbacks) {
    server.putFile(kUser, "/user1/docs/a.txt", "hello");
    ActiveThreadContext unknownMode = downloadJob("/user1/docs/a.txt");
    unknownMode.mode = 2;
    unknownMode.connector = slotConnector();
    ActiveThreadContext noConnector = downloadJob("/user1/docs/a.txt");
    struct Case {
        const char* what;
        ActiveThreadContext job;
        const char* error;
    } cases[] = {{"unknown mode", unknownMode, "Unknown Mode"}, {"no connector", noConnector, "no connector"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EventRecorder events;
        ActiveThreadContext result = m_worker->simulImpl(c.job);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find(c.error), std::string::npos) << result.error;
        EXPECT_TRUE(events.events().empty());
        EXPECT_TRUE(activities(FSActivity::TypeError).empty());
        EXPECT_FALSE(Poco::File(c.job.localFile).exists());
    }
    EXPECT_TRUE(server.requests("/core/downloadfile").empty());
}

// ---- Free helpers ----

TEST(TransferHelpers, NetworkExceptionsAreToldApartFromRefusedLogins) {
    const std::pair<const char*, bool> cases[] = {
        {"Poco::Net::HostNotFoundException", true},
        {"NoAddressFoundException", true},
        {"class Poco::Net::InterfaceNotFoundException thrown", true},
        {"Poco::Net::ConnectionRefusedException", false},
        {"hostnotfoundexception", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Nuvaro::Sync::containsNetworkException(c.first), c.second) << c.first;
}

TEST(TransferHelpers, MyRoundGivesOneUpToOneAndRoundsHalfAwayFromZeroBeyond) {
    const std::pair<double, int> cases[] = {
        {0.0, 1},  {0.2, 1},  {1.0, 1},   {1.2, 1},     {1.5, 2},          {2.5, 3},
        {-0.4, 0}, {-0.5, -1}, {-1.5, -2}, {1e300, INT_MAX}, {-1e300, INT_MIN}, {std::nan(""), 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Nuvaro::Sync::myround(c.first), c.second) << c.first;
}

} // namespace
} // namespace EngineTest
