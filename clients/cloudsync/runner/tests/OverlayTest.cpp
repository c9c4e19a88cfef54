// The overlay state of local paths: the sync folder's own and outside paths,
// the top folders, files against their sync records, conflict copies, job
// folders and rows, and items shared with the user.

#include "RunnerFixture.h"

namespace RunnerTest {
namespace {

using Nuvaro::Sync::FOOfflineEntry;
using Nuvaro::Sync::FOOfflineJobData;

const time_t kT = 1494928800;  // 2017-05-16 10:00:00 UTC

class OverlayTest : public RunnerTest {
protected:
    void SetUp() override {
        RunnerTest::SetUp();
        TestRunner& runner = makeRunner(noPolling());
        runner.getSyncDatabase()->setConfigValue("config", "networkfoldername", "Netz Ordner");
        runner.getSyncDatabase()->setConfigValue("config", "teamfoldername", "Our Teams");

        // Files with sync records.
        addSyncRecord("My Files", "/user1", 0, 0, kT);
        addSyncRecord("My Files/docs", "/user1/docs", 0, 0, kT);
        put("sync/My Files/docs/a.txt", "12345", kT);
        addSyncRecord("My Files/docs/a.txt", "/user1/docs/a.txt", 1, 5, kT);
        put("sync/My Files/docs/longer.txt", "edited, longer now", kT);
        addSyncRecord("My Files/docs/longer.txt", "/user1/docs/longer.txt", 1, 5, kT);
        put("sync/My Files/docs/touched.txt", "12345", kT + 10);
        addSyncRecord("My Files/docs/touched.txt", "/user1/docs/touched.txt", 1, 5, kT);
        addSyncRecord("My Files/docs/gone.txt", "/user1/docs/gone.txt", 1, 5, kT);
        put("sync/My Files/docs/b(Conflict_pc_2017-05-16-10-00-00).txt", "12345", kT);
        addSyncRecord("My Files/docs/b(Conflict_pc_2017-05-16-10-00-00).txt",
                      "/user1/docs/b(Conflict_pc_2017-05-16-10-00-00).txt", 1, 5, kT);
        put("sync/My Files/docs/deleted.txt", "12345", kT);
        addSyncRecord("My Files/docs/deleted.txt", "/user1/docs/deleted.txt", 1, 5, kT, true);

        // Files without records.
        put("sync/My Files/docs/c(Conflict_pc_2017-05-16-10-00-00).txt", "x", kT);
        put("sync/My Files/docs/new.txt", "x", kT);
        put("sync/My Files/docs/Conflict_Analysis.xlsx", "x", kT);

        // A network-folder job inside the sync folder, with rows.
        FOOfflineJobData job("/EXTERNAL/share", syncRoot() + "/Projects", 0, true, "1h", "", false, false);
        runner.getOfflineDatabase()->FOAddJobRecord(&job);
        jobRow("Projects/sub", FOOfflineEntry::TYPE_FOLDER, 0, kT);
        put("sync/Projects/sub/p.txt", "123", kT);
        jobRow("Projects/sub/p.txt", FOOfflineEntry::TYPE_FILE, 3, kT);
        put("sync/Projects/sub/q.txt", "1234", kT);
        jobRow("Projects/sub/q.txt", FOOfflineEntry::TYPE_FILE, 3, kT);
        jobRow("Projects/sub/gone.txt", FOOfflineEntry::TYPE_FILE, 3, kT);
        put("sync/Projects/sub/unlisted.txt", "1", kT);

        // Items shared with the user: records below "ann", none below "bob".
        addSyncRecord("Shared with Me/ann/doc.txt", "/SHARED/ann/doc.txt", 1, 3, kT);
        addSyncRecord("Shared with Meta/x.txt", "/user1/x.txt", 1, 3, kT);
    }

    void put(const std::string& relative, const std::string& content, time_t modified) {
        m_tmp.write(relative, content, modified);
    }

    void jobRow(const std::string& relative, int type, Poco::Int64 size, time_t modified) {
        const std::string path = syncRoot() + "/" + relative;
        const std::string::size_type slash = path.rfind('/');
        FOOfflineEntry row(path, type, path.substr(slash + 1), path.substr(0, slash), size,
                           Poco::Timestamp::fromEpochTime(modified).utcTime(), syncRoot() + "/Projects", "", "");
        ASSERT_TRUE(m_runner->getOfflineDatabase()->FOAddRecord(&row));
    }
};

struct OverlayCase {
    const char* what;
    // The path, with "{S}" standing for the sync folder and "{T}" for the
    // test's temp folder that holds it.
    std::string path;
    std::string state;
};

// One table, one runner: every case reads the same folders and databases.
TEST_F(OverlayTest, StatesFollowRecordsRowsAndFiles) {
    const std::vector<OverlayCase> cases{
        // The sync folder and paths outside it.
        OverlayCase{"SyncFolderItself", "{S}", "none"},
        OverlayCase{"SyncFolderWithASlash", "{S}/", "none"},
        OverlayCase{"Outside", "{T}/elsewhere/x", "none"},
        OverlayCase{"OnlyContainsTheSyncPath", "/data{S}/My Files/docs/a.txt", "none"},
        OverlayCase{"BeginsWithTheSyncPathText", "{S}Old/My Files/docs/a.txt", "none"},
        OverlayCase{"LeavesTheSyncFolderByDotDot", "{S}/../elsewhere/x", "none"},
        // The top folders by their lower-cased names; the real names go by
        // their records.
        OverlayCase{"MyFilesLowerCase", "{S}/my files", "ok"},
        OverlayCase{"NetworkFolderLowerCase", "{S}/netz ordner", "ok"},
        OverlayCase{"TeamFolderLowerCase", "{S}/our teams", "ok"},
        OverlayCase{"SharedWithMeLowerCase", "{S}/shared with me", "ok"},
        OverlayCase{"MyFilesByItsRecord", "{S}/My Files", "ok"},
        OverlayCase{"NetworkFolderWithoutARecord", "{S}/Netz Ordner", "unknown"},
        // Files and folders against their sync records.
        OverlayCase{"FolderRecord", "{S}/My Files/docs", "ok"},
        OverlayCase{"FileUnchanged", "{S}/My Files/docs/a.txt", "ok"},
        OverlayCase{"FileOfAnotherSize", "{S}/My Files/docs/longer.txt", "modified"},
        OverlayCase{"FileOfTheSameSizeTouchedLater", "{S}/My Files/docs/touched.txt", "modified"},
        OverlayCase{"FileMissing", "{S}/My Files/docs/gone.txt", "unknown"},
        OverlayCase{"ConflictCopyWithARecord", "{S}/My Files/docs/b(Conflict_pc_2017-05-16-10-00-00).txt", "conflict"},
        OverlayCase{"ConflictCopyWithoutARecord", "{S}/My Files/docs/c(Conflict_pc_2017-05-16-10-00-00).txt",
                    "conflict"},
        OverlayCase{"NotAConflictCopyName", "{S}/My Files/docs/Conflict_Analysis.xlsx", "unknown"},
        OverlayCase{"FileWithoutARecord", "{S}/My Files/docs/new.txt", "unknown"},
        OverlayCase{"FileUnderADeletedRecord", "{S}/My Files/docs/deleted.txt", "unknown"},
        OverlayCase{"MissingWithoutARecord", "{S}/My Files/docs/never.txt", "unknown"},
        // A network-folder job's folder and rows.
        OverlayCase{"JobsLocalFolder", "{S}/Projects", "ok"},
        OverlayCase{"JobFolderRow", "{S}/Projects/sub", "ok"},
        OverlayCase{"JobFileUnchanged", "{S}/Projects/sub/p.txt", "ok"},
        OverlayCase{"JobFileChanged", "{S}/Projects/sub/q.txt", "modified"},
        OverlayCase{"JobFileMissing", "{S}/Projects/sub/gone.txt", "unknown"},
        OverlayCase{"JobFileWithoutARow", "{S}/Projects/sub/unlisted.txt", "unknown"},
        // Shared with the user: known by the records at or below the path.
        OverlayCase{"SharedFolderWithRecordsBelow", "{S}/Shared with Me/ann", "ok"},
        OverlayCase{"SharedFileRecordWithoutItsFile", "{S}/Shared with Me/ann/doc.txt", "unknown"},
        OverlayCase{"SharedFolderWithoutRecords", "{S}/Shared with Me/bob", "unknown"},
        OverlayCase{"NameThatOnlyBeginsLikeSharedWithMe", "{S}/Shared with Meta", "unknown"}};
    for (const OverlayCase& c : cases) {
        std::string path = c.path;
        for (const auto& place : {std::make_pair(std::string("{S}"), syncRoot()),
                                  std::make_pair(std::string("{T}"), m_tmp.path())}) {
            const std::string::size_type at = path.find(place.first);
            if (at != std::string::npos)
                path.replace(at, place.first.size(), place.second);
        }
        EXPECT_EQ(m_runner->getOverlayForPath(path), c.state) << c.what << ": " << path;
    }
}

} // namespace
} // namespace RunnerTest
