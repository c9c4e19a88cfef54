// The job records, the manager's notification, the jobs' path helpers and
// their look at local files.

#include "FOLocalFiles.h"
#include "FOOfflineEntry.h"
#include "FOOfflineJobData.h"
#include "FOPathHelpers.h"
#include "OfflineJobNotification.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <Poco/AutoPtr.h>
#include <Poco/DateTime.h>
#include <Poco/NotificationQueue.h>

#include <algorithm>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using Nuvaro::Sync::FOOfflineEntry;
using Nuvaro::Sync::FOOfflineJobData;
using Nuvaro::Sync::OfflineJobNotification;

namespace {

TEST(FOOfflineEntry, BuiltEmptyIsNeitherFolderNorFile) {
    FOOfflineEntry entry;
    EXPECT_EQ(entry.type, -1);
    EXPECT_NE(entry.type, FOOfflineEntry::TYPE_FOLDER);
    EXPECT_NE(entry.type, FOOfflineEntry::TYPE_FILE);
    EXPECT_EQ(entry.size, 0);
    EXPECT_EQ(entry.modified, 0);
    for (const std::string* text : {&entry.fullPath, &entry.name, &entry.parent, &entry.localLinkPath,
                                    &entry.fileCrc, &entry.fileMod})
        EXPECT_TRUE(text->empty());
}

TEST(FOOfflineEntry, CopiesAreIndependent) {
    FOOfflineEntry entry("/job/a.txt", 1, "a.txt", "/job", 5368709120LL, 122192928000000000LL, "/job", "crc",
                         "2020-01-31 08:05:09");
    FOOfflineEntry copy = entry;
    copy.name = "b.txt";
    copy.size = 1;
    EXPECT_EQ(entry.name, "a.txt");
    EXPECT_EQ(entry.size, 5368709120LL);
    EXPECT_EQ(copy.fullPath, "/job/a.txt");
    EXPECT_EQ(copy.fileMod, "2020-01-31 08:05:09");
}

// MODIFIED counts 100-nanosecond units since 1582-10-15, as Poco's UTC time
// values do.
TEST(FOOfflineEntry, ModifiedIsAPocoUtcTimeValue) {
    struct Case {
        Poco::DateTime when;
        long long expected;
    } cases[] = {
        {Poco::DateTime(1970, 1, 1, 0, 0, 0), 122192928000000000LL},
        {Poco::DateTime(1970, 1, 1, 0, 0, 1), 122192928010000000LL},
        {Poco::DateTime(2020, 1, 31, 8, 5, 9), 122192928000000000LL + 1580457909LL * 10000000LL},
    };
    for (const Case& c : cases) {
        FOOfflineEntry entry;
        entry.modified = c.when.utcTime();
        EXPECT_EQ(entry.modified, c.expected);
    }
}

TEST(FOOfflineJobData, BuiltEmptyIsNoKindOfJobAndHasEveryFlagOff) {
    FOOfflineJobData job;
    EXPECT_EQ(job.syncType, FOOfflineJobData::TYPE_UNSET);
    EXPECT_NE(job.syncType, FOOfflineJobData::TYPE_NETWORK_FOLDER);
    EXPECT_NE(job.syncType, FOOfflineJobData::TYPE_BACKUP);
    EXPECT_FALSE(job.recurse);
    EXPECT_FALSE(job.remoteDelete);
    EXPECT_FALSE(job.sendEmail);
    EXPECT_TRUE(job.remotePath.empty() && job.localLinkPath.empty() && job.schedule.empty() && job.lastRun.empty());
}

TEST(OfflineJobNotification, KindsKeepTheirNumbers) {
    EXPECT_EQ(OfflineJobNotification::KIND_ADD_JOB, 0);
    EXPECT_EQ(OfflineJobNotification::KIND_STOP_ALL, 4);
    EXPECT_EQ(OfflineJobNotification::KIND_RUN_MANUAL, 5);
}

// What the runner posts is what the manager takes from its queue: the kind
// and a copy of the job (an empty record for the kinds without one).
TEST(OfflineJobNotification, TravelsThroughAQueueWithItsKindAndJob) {
    FOOfflineJobData job("/acct/docs", "/home/u/docs", FOOfflineJobData::TYPE_BACKUP, true, "1h", "", false, true);
    Poco::NotificationQueue queue;
    queue.enqueueNotification(new OfflineJobNotification(OfflineJobNotification::KIND_ADD_JOB, job));
    queue.enqueueNotification(new OfflineJobNotification(OfflineJobNotification::KIND_STOP_ALL));
    job.localLinkPath = "/changed/after/posting";

    Poco::AutoPtr<Poco::Notification> first(queue.dequeueNotification());
    auto* add = dynamic_cast<OfflineJobNotification*>(first.get());
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add->kind, 0);
    EXPECT_EQ(add->job.localLinkPath, "/home/u/docs");
    EXPECT_EQ(add->job.syncType, FOOfflineJobData::TYPE_BACKUP);
    EXPECT_TRUE(add->job.recurse);
    EXPECT_TRUE(add->job.sendEmail);

    Poco::AutoPtr<Poco::Notification> second(queue.dequeueNotification());
    auto* stop = dynamic_cast<OfflineJobNotification*>(second.get());
    ASSERT_NE(stop, nullptr);
    EXPECT_EQ(stop->kind, 4);
    EXPECT_TRUE(stop->job.localLinkPath.empty());
    EXPECT_EQ(stop->job.syncType, FOOfflineJobData::TYPE_UNSET);
}

TEST(FOPathHelpers, FolderPrefix) {
    struct Case {
        const char* folder;
        const char* prefix;
    } cases[] = {
        {"/data/a", "/data/a/"}, {"/data/a/", "/data/a/"}, {"/", "/"}, {"", ""}, {"rel", "rel/"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Nuvaro::Sync::FOFolderPrefix(c.folder), c.prefix) << c.folder;
}

TEST(FOPathHelpers, RelativePathComparesWholeComponents) {
    struct Case {
        const char* base;
        const char* path;
        const char* expected;
    } cases[] = {
        {"/data/a", "/data/a/x/y.txt", "x/y.txt"},
        {"/data/a/", "/data/a/x", "x"},
        {"/data/a", "/data/a", ""},
        {"/data/a", "/data/a/", ""},
        {"/", "/etc/x", "etc/x"},
        // Not inside the base: the path as it is.
        {"/data/a", "/data/ab/x", "/data/ab/x"},
        {"/data/a", "/x/data/a/y", "/x/data/a/y"},
        {"/data/a", "/data", "/data"},
        {"", "/data/a", "/data/a"},
        {"/data/a", "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Nuvaro::Sync::relativePath(c.base, c.path), c.expected) << c.base << " , " << c.path;
}

} // namespace

namespace {

using Nuvaro::Sync::FOLocalKind;

TEST(FOPathHelpers, ServerPathsTranslateOnlyIntoTheJobFolder) {
    struct Case {
        const char* remote;
        const char* remoteBase;
        const char* localBase;
        const char* expected; // "" : refused
    } cases[] = {
        {"/user1/net/docs/a.txt", "/user1/net", "/home/u/Net", "/home/u/Net/docs/a.txt"},
        {"/user1/net/docs/", "/user1/net", "/home/u/Net", "/home/u/Net/docs"},
        {"/user1/net", "/user1/net", "/home/u/Net/", "/home/u/Net"},
        {"/user1/net/a.txt", "/user1/net/", "/home/u/Net", "/home/u/Net/a.txt"},
        {"/USER1/Net/a.txt", "/user1/net", "/home/u/Net", "/home/u/Net/a.txt"},
        {"/user1/net/a b/..x", "/user1/net", "/home/u/Net", "/home/u/Net/a b/..x"},
        {"/a.txt", "/", "/home/u/Net", "/home/u/Net/a.txt"},
        // Refused: out of the server folder, or components that climb or are empty.
        {"/user1/net/../x", "/user1/net", "/home/u/Net", ""},
        {"/user1/net/a/../../x", "/user1/net", "/home/u/Net", ""},
        {"/user1/net/./x", "/user1/net", "/home/u/Net", ""},
        {"/user1/net//x", "/user1/net", "/home/u/Net", ""},
        {"/user1/netx/a", "/user1/net", "/home/u/Net", ""},
        {"/user1/other/a", "/user1/net", "/home/u/Net", ""},
        {"/user1", "/user1/net", "/home/u/Net", ""},
        {"", "/user1/net", "/home/u/Net", ""},
        {"/user1/net/a", "/user1/net", "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Nuvaro::Sync::FOTranslateToNativePath(c.remote, c.remoteBase, c.localBase), c.expected)
            << c.remote << " in " << c.remoteBase;
    // A NUL byte inside a component.
    EXPECT_EQ(Nuvaro::Sync::FOTranslateToNativePath(std::string("/user1/net/a\0b", 14), "/user1/net", "/home/u/Net"),
              "");
}

TEST(FOPathHelpers, LocalPathsTranslateToTheServerFolder) {
    struct Case {
        const char* local;
        const char* remoteBase;
        const char* localBase;
        const char* expected;
    } cases[] = {
        {"/home/u/Net/docs/a.txt", "/user1/net", "/home/u/Net", "/user1/net/docs/a.txt"},
        {"/home/u/Net/docs/a.txt", "/user1/net/", "/home/u/Net/", "/user1/net/docs/a.txt"},
        {"/home/u/Net", "/user1/net", "/home/u/Net", "/user1/net"},
        {"/home/u/Net/a", "/", "/home/u/Net", "/a"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Nuvaro::Sync::FOTranslateToRemotePath(c.local, c.remoteBase, c.localBase), c.expected) << c.local;
}

TEST(FOPathHelpers, NamesForTextsAndConflictCopies) {
    using Nuvaro::Sync::FOTrimName;
    EXPECT_EQ(FOTrimName("short", 80), "short");
    EXPECT_EQ(FOTrimName("abcdefgh", 4), "ab...gh");
    EXPECT_EQ(FOTrimName("abcd", 4), "ab...cd");
    // A cut never splits a UTF-8 character ("\xC3\xA9" is one).
    EXPECT_EQ(FOTrimName("a\xC3\xA9" "bcd", 4), "a...cd");
    EXPECT_EQ(FOTrimName("abc\xC3\xA9" "d", 4), "ab...d");
    EXPECT_EQ(Nuvaro::Sync::FORemoveEndingSlash("/a/"), "/a");
    EXPECT_EQ(Nuvaro::Sync::FORemoveEndingSlash("/"), "/");
    EXPECT_EQ(Nuvaro::Sync::FORemoveEndingSlash("a\\"), "a");
    EXPECT_EQ(Nuvaro::Sync::FOConflictPath("/j/docs/a.txt"), "/j/docs/Conflict_a.txt");
    EXPECT_TRUE(Nuvaro::Sync::fileExists({"exe", "bat"}, "bat"));
    EXPECT_FALSE(Nuvaro::Sync::fileExists({"exe", "bat"}, "BAT"));
}

TEST(FOPathHelpers, UploadOrderPutsFoldersBeforeTheirContent) {
    auto entry = [](const std::string& path) {
        return boost::shared_ptr<FOOfflineEntry>(new FOOfflineEntry(path, 1, "", "", 0, 0, "", "", ""));
    };
    std::vector<boost::shared_ptr<FOOfflineEntry>> list = {entry("/j/a/x"), entry("/j/a b"), entry("/j/a"),
                                                           entry("/j/\xC3\xA9"), entry("/j/b")};
    std::sort(list.begin(), list.end(), Nuvaro::Sync::sortNFDirsByShallowFirst);
    std::vector<std::string> order;
    for (const auto& e : list)
        order.push_back(e->fullPath);
    EXPECT_EQ(order, (std::vector<std::string>{"/j/a", "/j/a b", "/j/a/x", "/j/b", "/j/\xC3\xA9"}));
}

TEST(FOLocalFiles, KindsAndLinksOnTheWay) {
    CloudSyncTest::TempFolder tmp;
    const std::string job = tmp / "job";
    tmp.write("job/docs/a.txt", "a");
    tmp.write("outside/x.txt", "x");
    ASSERT_EQ(::symlink((tmp / "outside").c_str(), (job + "/linked").c_str()), 0);
    ASSERT_EQ(::mkfifo((job + "/pipe").c_str(), 0600), 0);

    EXPECT_EQ(Nuvaro::Sync::FOLocalKindOf(job + "/docs"), FOLocalKind::Folder);
    EXPECT_EQ(Nuvaro::Sync::FOLocalKindOf(job + "/docs/a.txt"), FOLocalKind::File);
    EXPECT_EQ(Nuvaro::Sync::FOLocalKindOf(job + "/linked"), FOLocalKind::Other);
    EXPECT_EQ(Nuvaro::Sync::FOLocalKindOf(job + "/pipe"), FOLocalKind::Other);
    EXPECT_EQ(Nuvaro::Sync::FOLocalKindOf(job + "/none"), FOLocalKind::Missing);

    struct Case {
        std::string path;
        bool clear;
    } cases[] = {
        {job, true},
        {job + "/docs/a.txt", true},
        {job + "/docs/new/deeper/b.txt", true},
        {job + "/linked", false},
        {job + "/linked/x.txt", false},
        {job + "/pipe", false},
        {job + "/docs/a.txt/below", false},
        {tmp / "outside/x.txt", false},
        {tmp / "jobx/a", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Nuvaro::Sync::FONoLinkBelow(job, c.path), c.clear) << c.path;
    // The job folder itself may be a link the user chose.
    ASSERT_EQ(::symlink(job.c_str(), (tmp / "joblink").c_str()), 0);
    EXPECT_TRUE(Nuvaro::Sync::FONoLinkBelow(tmp / "joblink", tmp / "joblink/docs/a.txt"));
}

TEST(FOLocalFiles, FileSystemOfAFolder) {
    CloudSyncTest::TempFolder tmp;
    tmp.write("job/docs/a.txt", "a");
    ASSERT_EQ(::symlink((tmp / "job").c_str(), (tmp / "joblink").c_str()), 0);
    const std::string here = Nuvaro::Sync::FOLocalDeviceOf(tmp / "job");

    EXPECT_FALSE(here.empty());
    EXPECT_EQ(Nuvaro::Sync::FOLocalDeviceOf(tmp / "job/docs"), here);
    EXPECT_EQ(Nuvaro::Sync::FOLocalDeviceOf(tmp / "joblink"), here); // the link is followed
    EXPECT_NE(Nuvaro::Sync::FOLocalDeviceOf("/proc"), here);         // another file system
    EXPECT_EQ(Nuvaro::Sync::FOLocalDeviceOf(tmp / "none"), "");
}

TEST(FOLocalFiles, WholeSecondsCutTowardThePast) {
    const Poco::Int64 second = 10000000;
    const Poco::Int64 epoch = 122192928000000000LL;
    EXPECT_EQ(Nuvaro::Sync::FOWholeSecond(epoch + 5 * second + 9999999), epoch + 5 * second);
    EXPECT_EQ(Nuvaro::Sync::FOWholeSecond(epoch + 5 * second), epoch + 5 * second);
    EXPECT_EQ(Nuvaro::Sync::FOWholeSecond(-1), -second);
}

} // namespace
