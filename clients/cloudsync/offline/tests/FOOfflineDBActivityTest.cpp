// FOOfflineDB: the jobs' activity log (ACTIVITY).

#include "OfflineDBFixture.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include <functional>
#include <string>
#include <vector>

using Nuvaro::Sync::FSActivity;
using Strings = std::vector<std::string>;

namespace {

typedef boost::shared_ptr<FSActivity> ActivityPtr;

class OfflineDBActivity : public OfflineTest::OfflineDBTest {
protected:
    static ActivityPtr activity(FSActivity::Type type, const std::string& message, const std::string& path) {
        return boost::make_shared<FSActivity>(FSActivity::LevelNormal, type, message, path, "Cloud Sync");
    }
    // Stores one row per (type, message) with the date of its position:
    // 2020-01-01 00:00:00 plus i seconds.
    void insertRows(const std::vector<std::pair<int, std::string>>& typeAndMessage, const std::string& path = "/p") {
        std::string statements = "BEGIN;";
        for (std::size_t i = 0; i < typeAndMessage.size(); ++i)
            statements += "INSERT INTO ACTIVITY (DATE, LEVEL, TYPE, MESSAGE, FULLPATH, FRIENDLY) VALUES (" +
                          dateAfter(static_cast<int>(i)) + ", 2, " + std::to_string(typeAndMessage[i].first) +
                          ", '" + typeAndMessage[i].second + "', '" + path + "', 'Cloud Sync');";
        sql(statements + "COMMIT;");
    }
    static std::string dateAfter(int seconds) {
        return "datetime('2020-01-01 00:00:00', '+" + std::to_string(seconds) + " seconds')";
    }
    Strings listed(int filter, const std::string& basePath = "") {
        std::vector<ActivityPtr> out;
        EXPECT_TRUE(m_db.activityCollectionGet(out, basePath, filter));
        Strings messages;
        for (const ActivityPtr& a : out)
            messages.push_back(a->message);
        return messages;
    }
};

TEST_F(OfflineDBActivity, AddStoresTheEntryAndSetsItsId) {
    ActivityPtr first = activity(FSActivity::TypeDownload, "O'Brien's 100%_file", "/home/u/docs/it's");
    ActivityPtr second = activity(FSActivity::TypeError, "failed", "/acct/docs/x");
    ASSERT_TRUE(m_db.activityAdd(first));
    ASSERT_TRUE(m_db.activityAdd(second));
    EXPECT_GT(first->itemId, 0);
    EXPECT_EQ(second->itemId, first->itemId + 1);
    EXPECT_EQ(rows("select ITEMID, LEVEL, TYPE, MESSAGE, FULLPATH, FRIENDLY, DATE = '" + first->dateText() +
                   "' from ACTIVITY where TYPE = 1;"),
              Strings{std::to_string(first->itemId) + "|2|1|O'Brien's 100%_file|/home/u/docs/it's|Cloud Sync|1"});

    std::vector<ActivityPtr> out;
    ASSERT_TRUE(m_db.activityCollectionGet(out, "/home/u/docs", 1));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->itemId, first->itemId);
    EXPECT_EQ(out[0]->type, FSActivity::TypeDownload);
    EXPECT_EQ(out[0]->level, FSActivity::LevelNormal);
    EXPECT_EQ(out[0]->fullPath, "it's");  // relative to the base path
    EXPECT_EQ(out[0]->friendlyName, "Cloud Sync");
    EXPECT_EQ(out[0]->dateText(), first->dateText());
}

TEST_F(OfflineDBActivity, AddWithoutTheTableFails) {
    sql("DROP TABLE ACTIVITY;");
    ActivityPtr entry = activity(FSActivity::TypeDownload, "m", "/p");
    EXPECT_FALSE(m_db.activityAdd(entry));
    EXPECT_EQ(entry->itemId, 0);
}

TEST_F(OfflineDBActivity, FiltersChooseTypesNewestFirst) {
    // One entry per type 1..7, the newest last; messages name their type.
    insertRows({{1, "t1"}, {2, "t2"}, {3, "t3"}, {4, "t4"}, {5, "t5"}, {6, "t6"}, {7, "t7"}});
    struct Case {
        int filter;
        Strings messages;
    } cases[] = {
        {-1, {"t7", "t4", "t3", "t2", "t1"}},
        {-2, {"t5", "t3"}},
        {-3, {"t6", "t5", "t4", "t3", "t2", "t1"}},
        {5, {"t5"}},
        {7, {"t7"}},
        {9, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(listed(c.filter), c.messages) << c.filter;
}

TEST_F(OfflineDBActivity, ListingHoldsAtMostTheFiveHundredNewest) {
    std::vector<std::pair<int, std::string>> many;
    for (int i = 0; i < 510; ++i)
        many.push_back({1, "m" + std::to_string(i)});
    insertRows(many);
    Strings messages = listed(-3);
    ASSERT_EQ(messages.size(), 500u);
    EXPECT_EQ(messages.front(), "m509");
    EXPECT_EQ(messages.back(), "m10");
}

TEST_F(OfflineDBActivity, PathsAreMadeRelativeToTheBase) {
    sql("INSERT INTO ACTIVITY (DATE, LEVEL, TYPE, MESSAGE, FULLPATH, FRIENDLY) VALUES "
        "('2020-01-01 00:00:01', 2, 1, 'inside', '/home/u/docs/sub/a', ''),"
        "('2020-01-01 00:00:02', 2, 1, 'sibling', '/home/u/docs2/a', ''),"
        "('2020-01-01 00:00:03', 2, 1, 'remote', '/acct/docs/a', '');");
    std::vector<ActivityPtr> out;
    ASSERT_TRUE(m_db.activityCollectionGet(out, "/home/u/docs", -1));
    Strings paths;
    for (const ActivityPtr& a : out)
        paths.push_back(a->message + "=" + a->fullPath);
    EXPECT_EQ(paths, (Strings{"remote=/acct/docs/a", "sibling=/home/u/docs2/a", "inside=sub/a"}));
}

TEST_F(OfflineDBActivity, RowWithAnUnreadableDateIsSkipped) {
    sql("INSERT INTO ACTIVITY (DATE, LEVEL, TYPE, MESSAGE, FULLPATH, FRIENDLY) VALUES "
        "('garbage', 2, 1, 'bad', '/p', ''), ('2020-01-01 00:00:01', 2, 1, 'good', '/p', '');");
    CloudSyncTest::LogCapture capture({"Sync"});
    EXPECT_EQ(listed(-1), Strings{"good"});
    EXPECT_TRUE(capture.contains("unreadable date \"garbage\"", "Sync"));
}

// At 2001 rows an add removes the rows older than the 201st oldest, whatever
// their type.
TEST_F(OfflineDBActivity, AddPrunesTheOldestBeyondTwoThousand) {
    struct Case {
        const char* what;
        int rowsBefore;
        int sharedOldest;  // how many of the oldest rows share one date
        int rowsAfter;
    } cases[] = {
        {"below the limit", 1999, 0, 2000},
        {"at the limit", 2000, 0, 1801},
        {"cut date shared", 2000, 250, 2001},
        {"some share the first date", 2000, 100, 1801},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sql("DELETE FROM ACTIVITY;");
        std::vector<std::pair<int, std::string>> old;
        for (int i = 0; i < c.rowsBefore; ++i)
            old.push_back({i % 2 ? 5 : 1, "old" + std::to_string(i)});  // errors pruned alike
        insertRows(old);
        if (c.sharedOldest > 0)
            sql("UPDATE ACTIVITY SET DATE = '2019-12-31 00:00:00' WHERE MESSAGE IN (SELECT MESSAGE FROM ACTIVITY "
                "ORDER BY DATE LIMIT " +
                std::to_string(c.sharedOldest) + ");");

        ActivityPtr entry = activity(FSActivity::TypeUpload, "new", "/p");
        EXPECT_TRUE(m_db.activityAdd(entry));
        EXPECT_EQ(count("ACTIVITY"), c.rowsAfter);
        EXPECT_EQ(count("ACTIVITY WHERE MESSAGE = 'new'"), 1);
        if (c.rowsAfter == 1801) {
            EXPECT_EQ(count("ACTIVITY WHERE MESSAGE = 'old199'"), 0);
            EXPECT_EQ(count("ACTIVITY WHERE MESSAGE = 'old200'"), 1);
        }
    }
}

TEST_F(OfflineDBActivity, DeletesRemoveTheirRowsOnly) {
    struct Case {
        const char* what;
        std::function<bool()> remove;
        Strings left;
    } cases[] = {
        {"by type", [&] { return m_db.activityDeleteAllErrors(FSActivity::TypeError); }, {"c", "d"}},
        {"by path and type", [&] { return m_db.activityDeleteForPaths("/it's", FSActivity::TypeError); },
         {"a", "c", "d"}},
        {"by id", [&] { return m_db.activityDelete(1); }, {"b", "c", "d"}},
        {"all", [&] { return m_db.activityDeleteAll(); }, {}},
        {"nothing matches", [&] { return m_db.activityDelete(99); }, {"a", "b", "c", "d"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sql("DELETE FROM ACTIVITY; DELETE FROM sqlite_sequence WHERE name = 'ACTIVITY';"
            "INSERT INTO ACTIVITY (DATE, LEVEL, TYPE, MESSAGE, FULLPATH) VALUES "
            "('2020-01-01 00:00:00', 2, 5, 'a', '/other'), ('2020-01-01 00:00:01', 2, 5, 'b', '/it''s'),"
            "('2020-01-01 00:00:02', 2, 1, 'c', '/it''s'), ('2020-01-01 00:00:03', 2, 6, 'd', '/it''s');");
        EXPECT_TRUE(c.remove());
        EXPECT_EQ(rows("select MESSAGE from ACTIVITY order by ITEMID;"), c.left);
    }
}

TEST_F(OfflineDBActivity, FailedDeleteIsReportedAsFailure) {
    insertRows({{5, "e"}});
    refuse("DELETE", "ACTIVITY");
    CloudSyncTest::LogCapture capture({"Sync"});
    EXPECT_FALSE(m_db.activityDeleteAllErrors(FSActivity::TypeError));
    EXPECT_FALSE(m_db.activityDeleteAll());
    EXPECT_TRUE(capture.contains("ACTIVITY refused", "Sync"));
    EXPECT_EQ(count("ACTIVITY"), 1);
}

} // namespace
