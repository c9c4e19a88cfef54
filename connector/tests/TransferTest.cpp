// Downloads and uploads of the connector against the project's test server
// on 127.0.0.1, with real files in a temporary folder.

#include "nuvarocbfs_Network.h"
#include "LocalFolder.h"
#include "LogCapture.h"
#include "VaultpineTestServer.h"

#include <Poco/DateTime.h>
#include <Poco/Net/AcceptCertificateHandler.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/TemporaryFile.h>
#include <Poco/URI.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <thread>

using namespace Nuvaro;
using namespace Nuvaro::Sync::TestServer;

namespace {

const std::string kBoundaryLine = "-----------------------------248221545120005";
const std::string kUser = "user1";
const std::string kFolder = "/user1/docs";

// Bytes 0, 1, 2, ... wrapping at 251, so every offset is recognisable.
std::string pattern(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i % 251);
    return data;
}

// The multipart body the server must receive for one file or piece.
std::string multipartBody(const std::string& name, const std::string& data) {
    return kBoundaryLine + "\r\n" + "Content-Disposition: form-data; name=\"filedata\"; filename=\"" + name +
           "\"\r\n" + "Content-Type: application/octet-stream\r\n\r\n" + data + "\r\n" + kBoundaryLine + "--\r\n";
}

// Sets the file's modification time to the nanosecond (the file library's
// setLastModified keeps whole seconds only).
void setModified(const std::string& file, time_t seconds, long nanos) {
    const struct timespec times[2] = {{seconds, nanos}, {seconds, nanos}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0) << file;
}

// Makes the test certificate authority the trust of the process-wide client
// TLS context, once per process.
void trustTestCertificateAuthority() {
    static const bool done = [] {
        Poco::Net::initializeSSL();
        Poco::Net::Context::Ptr context = new Poco::Net::Context(
            Poco::Net::Context::TLS_CLIENT_USE, "", "", VaultpineTestServer::certDir() + "/ca.pem",
            Poco::Net::Context::VERIFY_STRICT, 9, false);
        Poco::Net::SSLManager::instance().initializeClient(
            nullptr, new Poco::Net::AcceptCertificateHandler(false), context);
        return true;
    }();
    (void)done;
}

class Transfers : public ::testing::Test {
protected:
    void SetUp() override {
        startServer(ServerOptions());
    }

    void startServer(ServerOptions options) {
        m_server = std::make_unique<VaultpineTestServer>(options);
        m_server->start();
        TestAccount account;
        account.userId = kUser;
        account.password = "pass1";
        m_server->addAccount(account);
        m_server->makeFolder(kUser, kFolder);
        m_connector = makeConnector(m_server->baseUrl());
        ASSERT_TRUE(m_connector->Authenticate(true)) << m_connector->getLastError();
        m_server->clearRequests();
    }

    static std::unique_ptr<NuvaroConnector> makeConnector(const std::string& url) {
        Record settings(new std::map<std::string, std::string>);
        (*settings)["url"] = url;
        (*settings)["profile"] = kUser;
        (*settings)["password"] = "pass1";
        return std::make_unique<NuvaroConnector>(RecordList{settings}, false, "Cloud Sync");
    }

    std::string local(const std::string& name) const { return m_dir.path(name); }
    std::string writeLocal(const std::string& name, const std::string& content) const {
        return m_dir.write(name, content);
    }
    static std::string read(const std::string& file) { return TransferTest::LocalFolder::read(file); }
    std::vector<std::string> localEntries() const { return m_dir.entries(); }

    std::unique_ptr<VaultpineTestServer> m_server;
    std::unique_ptr<NuvaroConnector> m_connector;
    TransferTest::LocalFolder m_dir;
};

// ---- Uploads ----

TEST_F(Transfers, UploadSendsTheExactMultipartBody) {
    const std::string data = pattern(1000);
    const std::string file = writeLocal("data.bin", data);
    Poco::File(file).setLastModified(Poco::DateTime(2017, 5, 16, 12, 34, 56, 789).timestamp());

    std::string error;
    ASSERT_TRUE(m_connector->uploadFile(kFolder, file, error, "sync", -1)) << error;

    const auto recorded = m_server->requests("/upload");
    ASSERT_EQ(recorded.size(), 1u);
    const RecordedRequest& r = recorded[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/upload?appname=sync&path=%2Fuser1%2Fdocs&expandzip=0&date=2017-05-16%2012%3A34%3A56"
                        "&overwrite=1");
    EXPECT_EQ(r.header("Content-Type"), "multipart/form-data; boundary=---------------------------248221545120005");
    EXPECT_EQ(r.header("Content-Length"), std::to_string(200 + 8 + 1000));
    EXPECT_FALSE(r.hasHeader("Transfer-Encoding"));
    EXPECT_EQ(r.header("Device-Info").substr(r.header("Device-Info").size() - 3), "%0A");
    EXPECT_FALSE(r.header("Cookie").empty());
    EXPECT_EQ(r.body, multipartBody("data.bin", data));

    EXPECT_EQ(m_server->fileContent(kUser, kFolder + "/data.bin"), data);
    EXPECT_EQ(m_server->item(kUser, kFolder + "/data.bin")->modified,
              Poco::DateTime(2017, 5, 16, 12, 34, 56).timestamp());
}

TEST_F(Transfers, UploadSucceedsOnlyOn200WithASuccessWord) {
    struct Case {
        std::string body;
        int status;
        bool ok;
    };
    const Case cases[] = {
        {"OK", 200, true},
        {"Succeeded", 200, true},
        {"<result>OK</result>", 200, true},
        {"Upload Succeeded.", 200, true},
        {"TOKEN", 200, false},
        {"BOOK", 200, false},
        {"OKAY", 200, false},
        {"Failed: Disk Quota Exceeded", 200, false},
        {"OK", 500, false},
        {"Succeeded", 401, false},
    };
    const std::string file = writeLocal("a.txt", "abc");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body + " / " + std::to_string(c.status));
        m_server->clearFaults();
        m_server->addFault(TestFault::withBody("/upload", c.body, c.status));
        for (bool chunked : {false, true}) {
            std::string error = "untouched";
            std::atomic<bool> cancel{false};
            const bool ok = chunked ? m_connector->chunkedUploadFile(kFolder, file, error, cancel, "sync", 2, "")
                                    : m_connector->uploadFile(kFolder, file, error, "sync", -1);
            EXPECT_EQ(ok, c.ok) << (chunked ? "chunked" : "whole");
            EXPECT_EQ(error, c.ok ? "untouched" : c.body);
        }
    }
    // An empty refusal still explains itself.
    m_server->clearFaults();
    m_server->addFault(TestFault::withStatus("/upload", 503));
    std::string error;
    EXPECT_FALSE(m_connector->uploadFile(kFolder, file, error, "sync", -1));
    EXPECT_EQ(error, "Failed: Bad HTTP Status 503 for Upload File");
}

TEST_F(Transfers, ChunkedUploadSendsPiecesWithOffsets) {
    struct Case {
        std::size_t size;
        std::vector<std::string> pieces; // offset + complete flag of each request
    };
    const Case cases[] = {
        {0, {"&offset=0&complete=1"}},
        {4, {"&offset=0&complete=1"}},
        {8, {"&offset=0&complete=0", "&offset=4&complete=1"}},
        {9, {"&offset=0&complete=0", "&offset=4&complete=0", "&offset=8&complete=1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        m_server->clearRequests();
        const std::string data = pattern(c.size);
        const std::string name = "piece" + std::to_string(c.size) + ".bin";
        const std::string file = writeLocal(name, data);
        std::string error;
        std::atomic<bool> cancel{false};
        ASSERT_TRUE(m_connector->chunkedUploadFile(kFolder, file, error, cancel, "sync", 4, "2020-01-02%2003%3A04%3A05"))
            << error;

        const auto recorded = m_server->requests("/upload");
        ASSERT_EQ(recorded.size(), c.pieces.size());
        for (std::size_t i = 0; i < recorded.size(); ++i) {
            const std::string piece = data.substr(i * 4, 4);
            EXPECT_EQ(recorded[i].target, "/upload?appname=sync&path=%2Fuser1%2Fdocs&expandzip=0" + c.pieces[i] +
                                              "&date=2020-01-02%2003%3A04%3A05&overwrite=1");
            EXPECT_EQ(recorded[i].header("Content-Length"), std::to_string(200 + name.size() + piece.size()));
            EXPECT_EQ(recorded[i].body, multipartBody(name, piece));
        }
        EXPECT_EQ(m_server->fileContent(kUser, kFolder + "/" + name), data);
    }
}

TEST_F(Transfers, UploadProgressIsVisibleFromAnotherThread) {
    const std::string file = writeLocal("big.bin", pattern(30));
    TestFault hold = TestFault::withDelay("/upload", 400);
    hold.skip = 1; // the second piece is held
    hold.times = 1;
    m_server->addFault(hold);

    std::atomic<bool> cancel{false};
    std::string error;
    auto upload = std::async(std::launch::async,
                             [&] { return m_connector->chunkedUploadFile(kFolder, file, error, cancel, "sync", 10, ""); });
    const std::string key = kFolder + "/big.bin";
    bool sawHeldPiece = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!sawHeldPiece && std::chrono::steady_clock::now() < deadline) {
        std::map<std::string, int> progress{{"stale", 1}};
        m_connector->getCurrentUploadList(progress);
        EXPECT_EQ(progress.count("stale"), 0u);
        sawHeldPiece = progress.size() == 1 && progress.count(key) && progress[key] == 33;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(sawHeldPiece);
    ASSERT_EQ(upload.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(upload.get()) << error;
    std::map<std::string, int> after;
    m_connector->getCurrentUploadList(after);
    EXPECT_TRUE(after.empty());
}

TEST_F(Transfers, CancelBeforeTheStartSendsNothing) {
    const std::string file = writeLocal("c.bin", pattern(10));
    std::atomic<bool> cancel{true};
    std::string error;
    EXPECT_FALSE(m_connector->chunkedUploadFile(kFolder, file, error, cancel, "sync", 4, ""));
    EXPECT_EQ(error, "Canceled by user");
    EXPECT_TRUE(m_server->requests("/upload").empty());
    EXPECT_TRUE(cancel.load()) << "the stop request is read, never consumed";
    std::map<std::string, int> progress;
    m_connector->getCurrentUploadList(progress);
    EXPECT_TRUE(progress.empty());
}

TEST_F(Transfers, CancelDuringAPieceStopsBeforeTheNext) {
    const std::string file = writeLocal("c.bin", pattern(10));
    m_server->addFault(TestFault::withDelay("/upload", 500)); // every piece is held
    std::atomic<bool> cancel{false};
    std::string error;
    auto upload = std::async(std::launch::async,
                             [&] { return m_connector->chunkedUploadFile(kFolder, file, error, cancel, "sync", 4, ""); });
    ASSERT_TRUE(m_server->waitForRequests("/upload", 1, 5000));
    cancel = true;
    ASSERT_EQ(upload.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(upload.get());
    EXPECT_EQ(error, "Canceled by user");
    EXPECT_EQ(m_server->requests("/upload").size(), 1u);
    EXPECT_FALSE(m_server->item(kUser, kFolder + "/c.bin").has_value());
}

TEST_F(Transfers, StopRequestDuringTheLastPieceDoesNotUndoAFinishedUpload) {
    const std::string file = writeLocal("last.bin", pattern(6));
    TestFault hold = TestFault::withDelay("/upload", 500);
    hold.skip = 1; // the second and last piece is held
    m_server->addFault(hold);
    std::atomic<bool> cancel{false};
    std::string error;
    auto upload = std::async(std::launch::async,
                             [&] { return m_connector->chunkedUploadFile(kFolder, file, error, cancel, "sync", 4, ""); });
    ASSERT_TRUE(m_server->waitForRequests("/upload", 2, 5000));
    cancel = true;
    ASSERT_EQ(upload.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(upload.get()) << error;
    EXPECT_EQ(m_server->fileContent(kUser, kFolder + "/last.bin"), pattern(6));
}

TEST_F(Transfers, MissingLocalFileFailsWithoutTraffic) {
    const std::string file = local("absent.bin");
    std::string error;
    EXPECT_FALSE(m_connector->uploadFile(kFolder, file, error, "sync", -1));
    EXPECT_EQ(error, "Failed: File not found: " + file);
    std::atomic<bool> cancel{false};
    error.clear();
    EXPECT_FALSE(m_connector->chunkedUploadFile(kFolder, file, error, cancel, "sync", 4, ""));
    EXPECT_EQ(error, "Failed: File not found: " + file);
    EXPECT_TRUE(m_server->requests("/upload").empty());
}

TEST_F(Transfers, FileNameIsThePartAfterTheLastBackslash) {
    const std::string file = writeLocal("sub\\name.txt", "xyz");
    std::string error;
    ASSERT_TRUE(m_connector->uploadFile(kFolder, file, error, "sync", -1)) << error;
    EXPECT_EQ(m_server->fileContent(kUser, kFolder + "/name.txt"), "xyz");
    EXPECT_EQ(m_server->requests("/upload")[0].body, multipartBody("name.txt", "xyz"));
}

// A double quote, CR or LF in a file name would end the filename parameter
// or the part's header line early (and let the rest of the name add headers).
TEST_F(Transfers, UploadFileNameCannotBreakThePartHeader) {
    struct Case {
        std::string name;
        std::string sent; // the filename parameter on the wire
    } cases[] = {
        {"say \"hi\".txt", "say %22hi%22.txt"},
        {"a\r\nX-Injected: 1\r\n\r\nx", "a%0D%0AX-Injected: 1%0D%0A%0D%0Ax"},
        {"line\nfeed", "line%0Afeed"},
        {"100% \xc3\xa9t\xc3\xa9 ;=,'.txt", "100% \xc3\xa9t\xc3\xa9 ;=,'.txt"}, // byte for byte as it is
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent);
        m_server->clearRequests();
        const std::string file = writeLocal(c.name, "data");
        std::string error;
        std::atomic<bool> cancel{false};
        ASSERT_TRUE(m_connector->uploadFile(kFolder, file, error, "sync", -1)) << error;
        ASSERT_TRUE(m_connector->chunkedUploadFile(kFolder, file, error, cancel, "sync", 3, "")) << error;
        const auto recorded = m_server->requests("/upload");
        ASSERT_EQ(recorded.size(), 3u);
        EXPECT_EQ(recorded[0].body, multipartBody(c.sent, "data"));
        EXPECT_EQ(recorded[0].header("Content-Length"), std::to_string(200 + c.sent.size() + 4));
        EXPECT_EQ(recorded[2].body, multipartBody(c.sent, "a"));
        EXPECT_EQ(m_server->fileContent(kUser, kFolder + "/" + c.name), "data");
        Poco::File(file).remove();
    }
}

// Regression: the connector looked at the file once more after the server's
// "OK" and reported "File changed during upload" for a file the server had
// stored whole; the sync engine then took its own upload for a server change
// and made a conflict copy. Every byte up to the closing boundary belongs to
// the version measured at the start, so once the server stored the file (or
// its last piece) that version is uploaded, and the caller learns which.
TEST_F(Transfers, FileChangedAfterItsLastByteWasSentIsUploadedAsSent) {
    struct Case {
        const char* what;
        bool chunked;
        std::function<void(const std::string& path)> change; // while the server holds its "OK"
    };
    const auto append = [](const std::string& path) { std::ofstream(path, std::ios::app) << " and more"; };
    const auto saveAside = [](const std::string& path) {
        std::ofstream(path + ".new", std::ios::binary) << "the next save";
        ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
    };
    const Case cases[] = {
        {"whole, appended to", false, append},
        {"whole, saved again aside", false, saveAside},
        {"last of three pieces, appended to", true, append},
        {"last of three pieces, saved again aside", true, saveAside},
    };
    const Poco::DateTime measured(2021, 6, 7, 8, 9, 10, 500);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_server->clearRequests();
        m_server->clearFaults();
        // The server stores the upload (a request is logged once it did),
        // then waits before it answers: the change lands in between. Pieces
        // of 4 bytes: the third is the last.
        TestFault hold = TestFault::withDelay("/upload", 300);
        hold.skip = c.chunked ? 2 : 0;
        m_server->addFault(hold);
        const std::string file = writeLocal("log.txt", pattern(10));
        setModified(file, measured.timestamp().epochTime(), 500000000);
        const LocalFileVersion before = LocalFileVersion::of(file);

        std::atomic<bool> cancel{false};
        std::string error = "untouched";
        LocalFileVersion sent;
        auto upload = std::async(std::launch::async, [&] {
            return c.chunked ? m_connector->chunkedUploadFile(kFolder, file, error, cancel, "sync", 4, "", &sent)
                             : m_connector->uploadFile(kFolder, file, error, "sync", -1, &sent);
        });
        ASSERT_TRUE(m_server->waitForRequests("/upload", c.chunked ? 3 : 1, 5000));
        c.change(file);
        ASSERT_EQ(upload.wait_for(std::chrono::seconds(10)), std::future_status::ready);

        EXPECT_TRUE(upload.get());
        EXPECT_EQ(error, "untouched");
        EXPECT_EQ(m_server->fileContent(kUser, kFolder + "/log.txt"), pattern(10));
        EXPECT_EQ(m_server->item(kUser, kFolder + "/log.txt")->modified, Poco::DateTime(2021, 6, 7, 8, 9, 10).timestamp());
        EXPECT_TRUE(sent.sameAs(before)) << "the version reported is the one that went up";
        EXPECT_EQ(sent.size, 10);
        EXPECT_EQ(sent.modified(), measured.timestamp());
        EXPECT_FALSE(LocalFileVersion::of(file).sameAs(sent)) << "the file itself is newer";
    }
}

// A change seen after a piece that is not the last fails the upload there:
// the next piece could not be sent anyway, and the server stores nothing.
TEST_F(Transfers, FileChangedBetweenPiecesFailsBeforeTheNextPiece) {
    m_server->addFault(TestFault::withDelay("/upload", 300));
    const std::string file = writeLocal("moving.bin", pattern(10));
    std::atomic<bool> cancel{false};
    std::string error;
    LocalFileVersion sent;
    auto upload = std::async(std::launch::async, [&] {
        return m_connector->chunkedUploadFile(kFolder, file, error, cancel, "sync", 4, "", &sent);
    });
    ASSERT_TRUE(m_server->waitForRequests("/upload", 1, 5000));
    writeLocal("moving.bin", "cut");
    ASSERT_EQ(upload.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(upload.get());
    EXPECT_EQ(error, "Failed: File changed during upload");
    EXPECT_EQ(m_server->requests("/upload").size(), 1u);
    EXPECT_FALSE(m_server->item(kUser, kFolder + "/moving.bin").has_value());
    EXPECT_FALSE(sent.known);
}

// Regression: a modification time before 1970 was taken for the "unreadable"
// marker and the file was refused ("Failed: Opening File for upload") at
// every pass. Any time is a time; the date field is its second, rounded down
// also before 1970.
TEST_F(Transfers, FileDatedBefore1970OrAtTheEpochIsUploadedWithItsDate) {
    struct Case {
        const char* what;
        time_t seconds; // since 1970
        long nanos;
        const char* date;
        Poco::Timestamp stored;
    };
    const Case cases[] = {
        {"1960", -315576000, 250000000, "1960-01-01%2012%3A00%3A00", Poco::DateTime(1960, 1, 1, 12, 0, 0).timestamp()},
        {"the epoch", 0, 0, "1970-01-01%2000%3A00%3A00", Poco::DateTime(1970, 1, 1, 0, 0, 0).timestamp()},
        {"half a second before the epoch", -1, 500000000, "1969-12-31%2023%3A59%3A59",
         Poco::DateTime(1969, 12, 31, 23, 59, 59).timestamp()},
        {"half a microsecond before a second before 1970", -2, 999999500, "1969-12-31%2023%3A59%3A58",
         Poco::DateTime(1969, 12, 31, 23, 59, 58).timestamp()},
    };
    for (const auto& c : cases) {
        for (bool chunked : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (chunked ? ", in pieces" : ", whole"));
            m_server->clearRequests();
            const std::string file = writeLocal("old.txt", "from long ago");
            setModified(file, c.seconds, c.nanos);
            std::atomic<bool> cancel{false};
            std::string error;
            LocalFileVersion sent;
            ASSERT_TRUE(chunked ? m_connector->chunkedUploadFile(kFolder, file, error, cancel, "sync", 4, "", &sent)
                                : m_connector->uploadFile(kFolder, file, error, "sync", -1, &sent))
                << error;

            const auto recorded = m_server->requests("/upload");
            ASSERT_FALSE(recorded.empty());
            for (const auto& request : recorded)
                EXPECT_NE(request.query.find(std::string("&date=") + c.date + "&"), std::string::npos) << request.query;
            EXPECT_EQ(m_server->item(kUser, kFolder + "/old.txt")->modified, c.stored);
            EXPECT_EQ(m_server->fileContent(kUser, kFolder + "/old.txt"), std::string("from long ago"));
            EXPECT_EQ(sent.modifiedNanos, static_cast<Poco::Int64>(c.seconds) * 1000000000 + c.nanos);
            EXPECT_EQ(sent.modifiedSecond(), c.stored);
        }
    }
}

TEST_F(Transfers, FileRewrittenWhileItsLastPartStreamsIsNeverStored) {
    // The file is rewritten in place (same size, same inode) while the body
    // streams through a slow link: the bytes sent are a mix of both
    // versions. 16 MiB is far more than the socket buffers hold, so the
    // rewrite lands while the client still reads the file. Whole, and in
    // pieces of 8 MiB with the rewrite during the last one.
    struct Case {
        bool chunked;
        std::size_t piecesBefore;
    };
    const Case cases[] = {{false, 0}, {true, 1}};
    const std::size_t size = 16u << 20;
    const std::string first = pattern(size);
    std::string second = first;
    std::reverse(second.begin(), second.end());
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chunked ? "chunked" : "whole");
        m_server->clearRequests();
        const int slow = m_server->addFault(TestFault::throttled("/upload", 4 << 20));
        const std::string name = "torn" + std::to_string(++round) + ".bin";
        const std::string file = writeLocal(name, first);
        std::atomic<bool> cancel{false};
        std::string error;
        auto upload = std::async(std::launch::async, [&] {
            return c.chunked ? m_connector->chunkedUploadFile(kFolder, file, error, cancel, "sync", 8 << 20, "")
                             : m_connector->uploadFile(kFolder, file, error, "sync", -1);
        });
        const auto streaming = [&] {
            return m_server->requests("/upload").size() >= c.piecesBefore && m_server->requestsInFlight("/upload") > 0;
        };
        for (int i = 0; i < 3000 && !streaming(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(streaming());
        // After an earlier piece its reply goes out first.
        if (c.piecesBefore > 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        {
            std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
            out.write(second.data(), static_cast<std::streamsize>(second.size()));
        }
        ASSERT_EQ(upload.wait_for(std::chrono::seconds(60)), std::future_status::ready);
        EXPECT_FALSE(upload.get());
        EXPECT_EQ(error, "Failed: File changed during upload");
        m_server->removeFault(slow);
        EXPECT_FALSE(m_server->fileContent(kUser, kFolder + "/" + name).has_value()) << "a torn file was stored";
    }
}

TEST_F(Transfers, NotLoggedInSendsNothing) {
    auto connector = makeConnector(m_server->baseUrl());
    const std::string file = writeLocal("a.txt", "a");
    std::string error;
    std::atomic<bool> cancel{false};
    EXPECT_FALSE(connector->uploadFile(kFolder, file, error, "sync", -1));
    EXPECT_EQ(error, "Failed: No Authentication to Upload File");
    EXPECT_FALSE(connector->chunkedUploadFile(kFolder, file, error, cancel, "sync", 4, ""));
    EXPECT_EQ(error, "Failed: No Authentication to Upload File");
    EXPECT_FALSE(connector->downloadFile(kFolder, "a.txt", local("b.txt"), error, "sync", -1, -1));
    EXPECT_EQ(error, "Failed: No Authentication to Download File");
    EXPECT_FALSE(connector->downloadToFile("/core/getprofileimage", local("b.txt"), error));
    EXPECT_EQ(error, "Failed: No Authentication to Download File");
    EXPECT_TRUE(m_server->requests().empty());
}

// ---- Downloads ----

TEST_F(Transfers, DownloadRangesAreSentAndWrittenAtTheirOffset) {
    const std::string data = pattern(100);
    m_server->putFile(kUser, kFolder + "/r.bin", data);
    struct Case {
        Poco::Int64 start, end;
        std::string header;
        std::string expected; // the local file afterwards (it holds 100 'L' bytes before)
    };
    const std::string before(100, 'L');
    const Case cases[] = {
        {-1, -1, "", data},
        {10, 19, "bytes=10-19", before.substr(0, 10) + data.substr(10, 10) + before.substr(20)},
        {90, -1, "bytes=90-", before.substr(0, 90) + data.substr(90)},
        {-1, 5, "bytes=-5", data.substr(95)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        m_server->clearRequests();
        const std::string file = writeLocal("r.bin", before);
        std::string error;
        ASSERT_TRUE(m_connector->downloadFile(kFolder, "r.bin", file, error, "sync", c.start, c.end)) << error;
        EXPECT_EQ(read(file), c.expected);
        const auto recorded = m_server->requests();
        ASSERT_EQ(recorded.size(), 2u) << "request and redirect";
        EXPECT_EQ(recorded[0].target,
                  "/core/downloadfile?filepath=%2Fuser1%2Fdocs&filename=r.bin&app=sync&redirect=1");
        for (const auto& r : recorded) EXPECT_EQ(r.header("Range"), c.header) << r.listener;
        EXPECT_EQ(localEntries(), std::vector<std::string>{"r.bin"});
    }
}

TEST_F(Transfers, RedirectGoesToTheSecondListenerWithCookiesAndRange) {
    m_server->putFile(kUser, kFolder + "/f.txt", "0123456789");
    const std::string file = local("f.txt");
    std::string error;
    ASSERT_TRUE(m_connector->downloadFile(kFolder, "f.txt", file, error, "", 2, -1)) << error;
    EXPECT_EQ(read(file), std::string(2, '\0') + "23456789");

    const auto recorded = m_server->requests();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0].listener, 0);
    EXPECT_EQ(recorded[0].target, "/core/downloadfile?filepath=%2Fuser1%2Fdocs&filename=f.txt&redirect=1");
    EXPECT_EQ(recorded[1].listener, 1);
    EXPECT_EQ(recorded[1].target.rfind("http://127.0.0.1:" + std::to_string(m_server->redirectPort()) + "/download/", 0),
              0u)
        << "the absolute Location is the request target: " << recorded[1].target;
    EXPECT_FALSE(recorded[0].header("Cookie").empty());
    EXPECT_EQ(recorded[1].header("Cookie"), recorded[0].header("Cookie"));
    EXPECT_EQ(recorded[1].header("Range"), "bytes=2-");
}

TEST_F(Transfers, FullServerPathAsFilePathIsAccepted) {
    m_server->putFile(kUser, kFolder + "/full.txt", "full");
    const std::string file = local("full.txt");
    std::string error;
    ASSERT_TRUE(m_connector->downloadFile(kFolder + "/full.txt", "full.txt", file, error, "sync", -1, -1)) << error;
    EXPECT_EQ(read(file), "full");
}

TEST_F(Transfers, RefusedDownloadsLeaveTheLocalFileAlone) {
    m_server->putFile(kUser, kFolder + "/f.txt", "server content");
    struct Case {
        std::string what;
        TestFault fault; // on the first request unless path says otherwise
        Poco::Int64 rangeStart;
        std::string error;
    };
    const std::string bad = "Failed: Bad HTTP Status for Download File";
    const Case cases[] = {
        {"401", TestFault::withStatus("/core/downloadfile", 401), -1,
         "Failed: Got Server Unauthorized Error. No Authentication to Download File"},
        {"404 on the redirect", TestFault::withStatus("/download/*", 404), -1, bad},
        {"500", TestFault::withStatus("/core/downloadfile", 500, "<error/>"), -1, bad},
        {"302 without Location", TestFault::redirectNoLocation("/core/downloadfile"), -1, bad},
        {"a second redirect", TestFault::redirectTo("/download/*", "/core/downloadfile"), -1, bad},
        {"200 to a range", TestFault::withBody("/download/*", "whole file"), 3, bad},
        {"206 for another range", TestFault::withStatus("/download/*", 206, "xx"), 3,
         "Failed: Unexpected Content-Range for Download File"},
        {"body cut short", TestFault::truncatedBody("/download/*", 4), -1,
         "Failed: Incomplete download, received 4 of 14 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_server->clearFaults();
        m_server->addFault(c.fault);
        for (bool existing : {true, false}) {
            const std::string file = local("f.txt");
            if (existing) {
                writeLocal("f.txt", "precious local bytes");
            } else if (Poco::File(file).exists()) {
                Poco::File(file).remove();
            }
            std::string error;
            EXPECT_FALSE(m_connector->downloadFile(kFolder, "f.txt", file, error, "sync", c.rangeStart, -1));
            EXPECT_EQ(error, c.error);
            if (existing) {
                EXPECT_EQ(read(file), "precious local bytes");
                EXPECT_EQ(localEntries(), std::vector<std::string>{"f.txt"});
            } else {
                EXPECT_TRUE(localEntries().empty());
            }
        }
    }
}

// Poco reads a chunked body that stops before its last (zero-length) chunk
// as complete; such a reply, and one that ends only with the connection,
// must never replace the user's file.
TEST_F(Transfers, CutChunkedOrUnframedDownloadNeverReplacesTheFile) {
    m_server->putFile(kUser, kFolder + "/f.txt", "hello, the whole file");
    const std::string lost = "Failed: Connection lost during download";
    struct Case {
        std::string what;
        TestFault fault; // on the body's request: the redirect for downloadFile
        std::string error;
    };
    const Case cases[] = {
        {"5\\r\\nhello\\r\\n, then close", TestFault::chunkedCut("*", 5), lost},
        {"a chunk of 0x400 bytes carrying 5", TestFault::chunkedShortChunk("*", 0x400, 5), lost},
        {"no length, ended by close", TestFault::noContentLength("*"), "Failed: Download reply without a length"},
    };
    const std::string url = "/core/downloadfile?filepath=%2Fuser1%2Fdocs&filename=f.txt";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (bool toFile : {false, true}) {
            m_server->clearFaults();
            TestFault fault = c.fault;
            fault.path = toFile ? "/core/downloadfile" : "/download/*";
            m_server->addFault(fault);
            const std::string file = writeLocal("f.txt", "precious local bytes, longer than hello");
            std::string error;
            const bool ok = toFile ? m_connector->downloadToFile(url, file, error)
                                   : m_connector->downloadFile(kFolder, "f.txt", file, error, "sync", -1, -1);
            EXPECT_FALSE(ok) << (toFile ? "downloadToFile" : "downloadFile");
            EXPECT_EQ(error, c.error);
            EXPECT_EQ(read(file), "precious local bytes, longer than hello");
            EXPECT_EQ(localEntries(), std::vector<std::string>{"f.txt"});
        }
    }
}

TEST_F(Transfers, WholeChunkedDownloadIsAccepted) {
    const std::string data = pattern(100000);
    m_server->putFile(kUser, kFolder + "/c.bin", data);
    m_server->addFault(TestFault::chunked("/download/*"));
    const std::string file = writeLocal("c.bin", "old");
    std::string error;
    ASSERT_TRUE(m_connector->downloadFile(kFolder, "c.bin", file, error, "sync", -1, -1, 100000)) << error;
    EXPECT_EQ(read(file), data);
}

// The size the sync record names decides before the rename: a reply that is
// complete in itself but of another size leaves the user's file alone.
TEST_F(Transfers, DownloadOfAnotherSizeThanExpectedKeepsTheFile) {
    m_server->putFile(kUser, kFolder + "/e.txt", "hello");
    struct Case {
        Poco::Int64 expected;
        bool ok;
    };
    for (const Case& c : {Case{5, true}, Case{-1, true}, Case{21, false}, Case{4, false}}) {
        SCOPED_TRACE(c.expected);
        const std::string file = writeLocal("e.txt", "the old file, 21 bytes");
        std::string error;
        EXPECT_EQ(m_connector->downloadFile(kFolder, "e.txt", file, error, "sync", -1, -1, c.expected), c.ok);
        EXPECT_EQ(read(file), c.ok ? "hello" : "the old file, 21 bytes");
        if (!c.ok) {
            EXPECT_EQ(error, "Failed: Size Mismatch, the download has 5 bytes, expected " +
                                 std::to_string(c.expected));
        }
        EXPECT_EQ(localEntries(), std::vector<std::string>{"e.txt"});
    }
}

TEST_F(Transfers, CancelDuringADownloadEndsItAtOnceAndKeepsTheFile) {
    // 2 MB at 100 kB/s would take 20 s; the stop must end it within one block.
    m_server->putFile(kUser, kFolder + "/slow.bin", pattern(2000000));
    m_server->addFault(TestFault::throttled("/download/*", 100000));
    const std::string file = writeLocal("slow.bin", "old");
    std::atomic<bool> cancel{false};
    std::string error;
    auto download = std::async(std::launch::async, [&] {
        return m_connector->downloadFile(kFolder, "slow.bin", file, error, "sync", -1, -1, 2000000, &cancel);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(800)); // the body is on its way
    const auto stopped = std::chrono::steady_clock::now();
    cancel = true;
    ASSERT_EQ(download.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(3));
    EXPECT_FALSE(download.get());
    EXPECT_EQ(error, "Canceled by user");
    EXPECT_EQ(read(file), "old");
    EXPECT_EQ(localEntries(), std::vector<std::string>{"slow.bin"});
}

TEST_F(Transfers, ThrottledDownloadWithoutCancelCompletes) {
    m_server->putFile(kUser, kFolder + "/paced.bin", pattern(300000));
    m_server->addFault(TestFault::throttled("/download/*", 1000000));
    const std::string file = local("paced.bin");
    std::atomic<bool> cancel{false};
    std::string error;
    ASSERT_TRUE(m_connector->downloadFile(kFolder, "paced.bin", file, error, "sync", -1, -1, 300000, &cancel))
        << error;
    EXPECT_EQ(read(file), pattern(300000));
}

TEST_F(Transfers, MissingServerFileFailsWith404) {
    const std::string file = writeLocal("gone.txt", "keep");
    std::string error;
    EXPECT_FALSE(m_connector->downloadFile(kFolder, "gone.txt", file, error, "sync", -1, -1));
    EXPECT_EQ(error, "Failed: Bad HTTP Status for Download File");
    EXPECT_EQ(read(file), "keep");
}

TEST_F(Transfers, DroppedConnectionMidBodyLeavesTheOldFile) {
    m_server->putFile(kUser, kFolder + "/big.bin", pattern(200000));
    m_server->addFault(TestFault::dropAfter("/download/*", 5000));
    const std::string file = writeLocal("big.bin", "old");
    std::string error;
    EXPECT_FALSE(m_connector->downloadFile(kFolder, "big.bin", file, error, "sync", -1, -1));
    EXPECT_EQ(error.rfind("Failed:", 0), 0u) << error;
    EXPECT_EQ(read(file), "old");
    EXPECT_EQ(localEntries(), std::vector<std::string>{"big.bin"});
}

TEST_F(Transfers, RelativeLocationIsResolvedAgainstTheServer) {
    m_server->putFile(kUser, kFolder + "/rel.txt", "relative");
    TestFault redirect = TestFault::redirectTo("/core/downloadfile",
                                               "/core/downloadfile?filepath=%2Fuser1%2Fdocs&filename=rel.txt");
    redirect.times = 1;
    m_server->addFault(redirect);
    const std::string file = local("rel.txt");
    std::string error;
    ASSERT_TRUE(m_connector->downloadFile(kFolder, "rel.txt", file, error, "sync", -1, -1)) << error;
    EXPECT_EQ(read(file), "relative");
    const auto recorded = m_server->requests();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[1].listener, 0);
    EXPECT_FALSE(recorded[1].header("Cookie").empty());
}

TEST_F(Transfers, RedirectToAnotherHostGetsNoCookies) {
    m_server->putFile(kUser, kFolder + "/f.txt", "x");
    const std::string elsewhere = "http://localhost:" + std::to_string(m_server->port()) +
                                  "/core/downloadfile?filepath=%2Fuser1%2Fdocs&filename=f.txt";
    TestFault redirect = TestFault::redirectTo("/core/downloadfile", elsewhere);
    redirect.times = 1;
    m_server->addFault(redirect);
    std::string error;
    // Without the session cookie the server refuses the second request.
    EXPECT_FALSE(m_connector->downloadFile(kFolder, "f.txt", local("f.txt"), error, "sync", -1, -1));
    const auto recorded = m_server->requests();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[1].header("Host").rfind("localhost:", 0), 0u);
    EXPECT_FALSE(recorded[1].hasHeader("Cookie"));
    EXPECT_EQ(error, "Failed: Got Server Unauthorized Error. No Authentication to Download File");
    EXPECT_TRUE(localEntries().empty());
}

TEST_F(Transfers, HttpsServerIsNeverLeftForPlainHttp) {
    trustTestCertificateAuthority();
    ServerOptions options;
    options.https = true;
    startServer(options);
    m_server->putFile(kUser, kFolder + "/s.txt", "secret");
    const std::string file = local("s.txt");
    std::string error;
    // The server's own redirect stays on HTTPS and is followed.
    ASSERT_TRUE(m_connector->downloadFile(kFolder, "s.txt", file, error, "sync", -1, -1)) << error;
    EXPECT_EQ(read(file), "secret");

    const std::string plain = "http://127.0.0.1:" + std::to_string(m_server->port()) +
                              "/core/downloadfile?filepath=%2Fuser1%2Fdocs&filename=s.txt";
    m_server->addFault(TestFault::redirectTo("/core/downloadfile", plain));
    m_server->clearRequests();
    const std::string refused = "Failed: Refusing to download over plain HTTP from an HTTPS server";
    EXPECT_FALSE(m_connector->downloadFile(kFolder, "s.txt", local("t.txt"), error, "sync", -1, -1));
    EXPECT_EQ(error, refused);
    EXPECT_FALSE(m_connector->downloadToFile(plain, local("t.txt"), error));
    EXPECT_EQ(error, refused);
    EXPECT_EQ(m_server->requests().size(), 1u) << "nothing goes to the plain address";
    EXPECT_EQ(localEntries(), std::vector<std::string>{"s.txt"});
}

TEST_F(Transfers, DownloadToFileTakesRelativeAndAbsoluteUrls) {
    m_server->putFile(kUser, kFolder + "/img.png", "PNG");
    const std::string query = "/core/downloadfile?filepath=%2Fuser1%2Fdocs&filename=img.png";
    struct Case {
        std::string url;
        bool ok;
        std::string error;
    };
    const Case cases[] = {
        {query, true, ""},
        {m_server->baseUrl() + query, true, ""},
        {query + "&redirect=1", false, "Failed: Bad HTTP Status for Download File"},
        {"ftp://127.0.0.1/x", false, "Failed: Download location is not an HTTP URL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        m_server->clearRequests();
        const std::string file = writeLocal("img.png", "old");
        std::string error;
        EXPECT_EQ(m_connector->downloadToFile(c.url, file, error), c.ok);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(read(file), c.ok ? "PNG" : "old");
        if (c.ok) {
            const auto recorded = m_server->requests();
            ASSERT_EQ(recorded.size(), 1u);
            EXPECT_EQ(recorded[0].target, query) << "sent as path and query";
            EXPECT_FALSE(recorded[0].hasHeader("Range"));
            EXPECT_FALSE(recorded[0].header("Cookie").empty());
        }
    }
}

TEST_F(Transfers, MissingLocalFolderFailsWithTheFileLibrarysText) {
    m_server->putFile(kUser, kFolder + "/f.txt", "x");
    std::string error;
    EXPECT_FALSE(m_connector->downloadFile(kFolder, "f.txt", local("no/such/f.txt"), error, "sync", -1, -1));
    EXPECT_EQ(error.rfind("Failed:", 0), 0u) << error;
    EXPECT_NE(error.find("no/such"), std::string::npos) << error;
}

TEST_F(Transfers, DownloadLogsTheSpeedLine) {
    m_server->putFile(kUser, kFolder + "/s.txt", "speed");
    CloudSyncTest::LogCapture logs;
    std::string error;
    ASSERT_TRUE(m_connector->downloadFile(kFolder, "s.txt", local("s.txt"), error, "sync", -1, -1)) << error;
    EXPECT_TRUE(logs.contains("downloadFile : Download redirect to http://127.0.0.1:")) << logs.dump();
    EXPECT_TRUE(logs.contains("downloadFile : /user1/docs Download time = ")) << logs.dump();
}

} // namespace
