// The job entries of syncconconfig.xml: parsing, the errors that stop the
// start-up, and how they are brought into a real offline.db.

#include "JobEntries.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using Nuvaro::Sync::FOOfflineJobData;
using Nuvaro::Sync::JobEntryError;

FOOfflineJobData job(const std::string& local, const std::string& remote, int type, const std::string& schedule,
                     bool recurse = true, bool remoteDelete = false) {
    return FOOfflineJobData(remote, local, type, recurse, schedule, "", remoteDelete, false);
}

std::string describe(const FOOfflineJobData& j) {
    std::ostringstream text;
    text << j.localLinkPath << "|" << j.remotePath << "|" << j.syncType << "|" << j.schedule << "|" << j.recurse << "|"
         << j.remoteDelete << "|" << j.sendEmail << "|" << j.lastRun;
    return text.str();
}

TEST(JobEntries, ParseSixFieldsInTheirOrder) {
    FOOfflineJobData parsed;
    JobEntryError error = JobEntryError::None;
    ASSERT_TRUE(Nuvaro::Sync::parseJobEntry("/home/a/Pics|/a/Backups|1|24h|1|0", parsed, error));
    EXPECT_EQ(describe(parsed), "/home/a/Pics|/a/Backups|1|24h|1|0|0|");
    ASSERT_TRUE(Nuvaro::Sync::parseJobEntry("|/x|-3||yes|1", parsed, error));
    EXPECT_EQ(describe(parsed), "|/x|-3||0|1|0|");
}

TEST(JobEntries, BadEntriesAreNamed) {
    struct Case {
        std::string text;
        JobEntryError error;
    };
    for (const Case& c : std::vector<Case>{{"/a|/b|0|1h|1", JobEntryError::BadFieldCount},
                                           {"/a|/b|0|1h|1|0|extra", JobEntryError::BadFieldCount},
                                           {"", JobEntryError::BadFieldCount},
                                           {"/a|/b|zero|1h|1|0", JobEntryError::BadType},
                                           {"/a|/b||1h|1|0", JobEntryError::BadType},
                                           {"/a|/b|1x|1h|1|0", JobEntryError::BadType},
                                           {"/a|/b| 1|1h|1|0", JobEntryError::BadType},
                                           {"/a|/b|99999999999|1h|1|0", JobEntryError::BadType}}) {
        FOOfflineJobData parsed;
        JobEntryError error = JobEntryError::None;
        EXPECT_FALSE(Nuvaro::Sync::parseJobEntry(c.text, parsed, error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(JobEntries, ReadUpToTheCountAndStopAtTheFirstBadOne) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> fields;
        JobEntryError error;
        std::string where;
        size_t count;
    };
    const std::string good = "/l|/r|0|1h|1|0";
    for (const Case& c : std::vector<Case>{
             {{}, JobEntryError::None, "", 0},
             {{{"offline_folder_count", "0"}, {"offline_folder_1", good}}, JobEntryError::None, "", 0},
             {{{"offline_folder_count", ""}}, JobEntryError::None, "", 0},
             {{{"offline_folder_count", "-2"}}, JobEntryError::None, "", 0},
             {{{"offline_folder_count", "2"}, {"offline_folder_1", good}, {"offline_folder_2", good}},
              JobEntryError::None, "", 2},
             {{{"offline_folder_count", "2"}, {"offline_folder_1", good}}, JobEntryError::Missing, "offline_folder_2",
              0},
             {{{"offline_folder_count", "1"}, {"offline_folder_1", "/l|/r|x|1h|1|0"}}, JobEntryError::BadType,
              "offline_folder_1", 0},
             {{{"offline_folder_count", "two"}}, JobEntryError::BadCount, "two", 0}}) {
        Nuvaro::Data::VariantRow config;
        for (const auto& field : c.fields)
            config[field.first] = field.second;
        std::vector<FOOfflineJobData> jobs{job("/stale", "/stale", 0, "1h")};
        std::string where;
        EXPECT_EQ(Nuvaro::Sync::readJobEntries(config, jobs, where), c.error);
        EXPECT_EQ(where, c.where);
        EXPECT_EQ(jobs.size(), c.count);
    }
}

class ReconcileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_db.openDB(m_tmp / "offline.db", "")); }
    void TearDown() override { m_db.closeDB(); }

    std::vector<std::string> storedJobs() {
        std::vector<boost::shared_ptr<FOOfflineJobData>> jobs;
        m_db.getAllFOJobRecord(jobs);
        std::vector<std::string> described;
        for (const auto& j : jobs)
            described.push_back(describe(*j));
        std::sort(described.begin(), described.end());
        return described;
    }

    std::string reconcile(const std::vector<FOOfflineJobData>& entries) {
        std::ostringstream console;
        Nuvaro::Sync::reconcileJobEntries(m_db, entries, console);
        return console.str();
    }

    void store(FOOfflineJobData stored) { ASSERT_TRUE(m_db.FOAddJobRecord(&stored)); }

    CloudSyncTest::TempFolder m_tmp;
    Nuvaro::Sync::FOOfflineDB m_db;
};

TEST_F(ReconcileTest, AddsUpdatesAndDeletesByBothPaths) {
    FOOfflineJobData unchanged = job("/a", "/r/a", 0, "1h");
    unchanged.lastRun = "2020-01-01 10:00:00";
    store(unchanged);
    FOOfflineJobData rescheduled = job("/b", "/r/b", 0, "1h");
    rescheduled.lastRun = "2020-01-01 10:00:00";
    store(rescheduled);
    store(job("/c", "/r/c-old", 1, "24h"));
    store(job("/d", "/r/d", 0, "manual"));

    const std::string console =
        reconcile({job("/a", "/r/a", 0, "1h"), job("/b", "/r/b", 0, "2h"), job("/c", "/r/c", 1, "24h"),
                   job("/e", "/r/e", 1, "30m", false, true)});
    EXPECT_EQ(console, "Deleting Offline Folder: /c <--> /r/c-old\n"
                       "Deleting Offline Folder: /d <--> /r/d\n"
                       "Updating Offline Folder: /b <--> /r/b\n"
                       "Adding New Offline Folder: /c <--> /r/c\n"
                       "Adding New Offline Folder: /e <--> /r/e\n");
    EXPECT_EQ(storedJobs(), (std::vector<std::string>{"/a|/r/a|0|1h|1|0|0|2020-01-01 10:00:00",
                                                     "/b|/r/b|0|2h|1|0|0|", "/c|/r/c|1|24h|1|0|0|",
                                                     "/e|/r/e|1|30m|0|1|0|"}));
}

TEST_F(ReconcileTest, AStoredJobThatMailsIsUpdatedByTheSameEntry) {
    FOOfflineJobData mailing = job("/a", "/r/a", 1, "1h");
    mailing.sendEmail = true;
    store(mailing);
    EXPECT_EQ(reconcile({job("/a", "/r/a", 1, "1h")}), "Updating Offline Folder: /a <--> /r/a\n");
    EXPECT_EQ(storedJobs(), std::vector<std::string>{"/a|/r/a|1|1h|1|0|0|"});
}

TEST_F(ReconcileTest, NoEntriesEmptyTheJobDatabase) {
    store(job("/a", "/r/a", 0, "1h"));
    Nuvaro::Sync::FOOfflineEntry entry("/a/x", 1, "x", "/a", 5, 0, "/a", "", "");
    ASSERT_TRUE(m_db.FOAddRecord(&entry));
    EXPECT_EQ(reconcile({}), "");
    EXPECT_TRUE(storedJobs().empty());
    EXPECT_FALSE(m_db.getFORecord("/a/x"));
}

TEST_F(ReconcileTest, TwoEntriesForOneLocalFolderReportTheOneThatCannotBeStored) {
    const std::string console = reconcile({job("/a", "/r/one", 0, "1h"), job("/a", "/r/two", 0, "1h")});
    EXPECT_EQ(console, "Adding New Offline Folder: /a <--> /r/one\n"
                       "Adding New Offline Folder: /a <--> /r/two\n"
                       "ERROR: Failed to store Offline Folder: /a <--> /r/two\n");
    EXPECT_EQ(storedJobs(), std::vector<std::string>{"/a|/r/one|0|1h|1|0|0|"});
}

} // namespace
