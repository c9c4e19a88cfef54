// The job records, the manager's notification and the jobs' path helpers.

#include "FOOfflineEntry.h"
#include "FOOfflineJobData.h"
#include "FOPathHelpers.h"
#include "OfflineJobNotification.h"

#include <gtest/gtest.h>

#include <Poco/AutoPtr.h>
#include <Poco/DateTime.h>
#include <Poco/NotificationQueue.h>

#include <string>

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
