#pragma once

// The transfer tests' fixture: a worker logged in against the test server
// (no thread), server files with their sync records, transfer jobs built as
// the pass steps build them, and the CPU time of the calling thread.

#include "WorkerFixture.h"

#include "ActiveThreadContext.h"
#include "CloudPath.h"
#include "FSSyncRecord.h"

#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/StreamCopier.h>
#include <Poco/UUIDGenerator.h>

#include <sys/resource.h>
#include <sys/time.h>

#include <set>
#include <string>

namespace EngineTest {

using Nuvaro::Sync::ActiveThreadContext;
using Nuvaro::Sync::FSSyncRecord;
using Nuvaro::Sync::FSSyncRecordPtr;
using Nuvaro::Sync::TestServer::RecordedRequest;

// Microseconds of CPU (user and system) the calling thread has used.
inline long threadCpuMicros() {
    struct rusage usage {};
    getrusage(RUSAGE_THREAD, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000L + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

inline std::string readFile(const std::string& path) {
    Poco::FileInputStream in(path);
    std::string content;
    Poco::StreamCopier::copyToString(in, content);
    return content;
}

inline void writeFile(const std::string& path, const std::string& content) {
    Poco::File(path.substr(0, path.rfind('/'))).createDirectories();
    Poco::FileOutputStream out(path, std::ios::out | std::ios::trunc | std::ios::binary);
    out << content;
}

// A time stamp of whole seconds, `seconds` after 2024-03-01 10:00:00 UTC.
inline Poco::Timestamp wholeSecond(long seconds = 0) {
    return Poco::Timestamp::fromEpochTime(1709287200 + seconds);
}

class TransferTest : public WorkerTest {
protected:
    // The sync record of a server item as a delta would carry it ("" flags,
    // the test server's friendly name).
    FSSyncRecordPtr serverRecord(const std::string& serverPath, const std::string& attribs = "") {
        auto item = server.item(kUser, serverPath);
        EXPECT_TRUE(item.has_value()) << serverPath;
        FSSyncRecordPtr made(new FSSyncRecord(
            Poco::UUIDGenerator::defaultGenerator().createRandom(), item ? item->type : 1, item ? item->name : "",
            item && item->parent != "/" ? item->parent : "", serverPath, item ? item->size : 0,
            item ? item->modified.utcTime() : 0, attribs, "", "testserver", "/user1", localOf(item ? item->parent : ""),
            localOf(serverPath)));
        return made;
    }

    static std::string localOf(const std::string& serverPath) {
        return Nuvaro::Sync::CloudPath::translateToLocalPath(kUser, serverPath, "Network Folders", "Team Folders",
                                                              "teamacct", false);
    }

    std::string stagedPath(const std::string& serverPath) const {
        return dataRoot() + "/.cache/" + localOf(serverPath);
    }
    std::string localPath(const std::string& serverPath) const { return syncRoot() + "/" + localOf(serverPath); }

    ActiveThreadContext downloadJob(const std::string& serverPath) {
        ActiveThreadContext job;
        job.mode = ActiveThreadContext::MODE_DOWNLOAD;
        job.remotePath = serverPath;
        job.localFile = stagedPath(serverPath);
        job.chunked = true;
        job.record = *serverRecord(serverPath);
        Poco::File(job.localFile.substr(0, job.localFile.rfind('/'))).createDirectories();
        return job;
    }

    // The distinct session cookies of the recorded requests of the path.
    std::set<std::string> sessionsOf(const std::string& path) {
        std::set<std::string> cookies;
        for (const RecordedRequest& sent : server.requests(path))
            cookies.insert(sent.header("Cookie"));
        return cookies;
    }
};

} // namespace EngineTest
