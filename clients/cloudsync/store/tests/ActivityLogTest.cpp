#include "FSActivity.h"
#include "FSSyncDB.h"
#include "TempFolder.h"

#include "LogCapture.h"

#include <Poco/AutoPtr.h>
#include <Poco/DOM/DOMParser.h>
#include <Poco/DOM/Document.h>
#include <Poco/DOM/Element.h>
#include <Poco/DOM/NodeList.h>
#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/Exception.h>
#include <Poco/Timespan.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace Nuvaro::Sync;

namespace {

typedef boost::shared_ptr<FSActivity> ActivityPtr;

std::string utcText(const Poco::DateTime& when) {
    return Poco::DateTimeFormatter::format(when, Poco::DateTimeFormat::SORTABLE_FORMAT);
}

// Sortable UTC text of now minus the given span.
std::string ago(const Poco::Timespan& span) { return utcText(Poco::DateTime() - span); }

// Sortable text of a fixed base date plus `seconds`; distinct and ordered for
// distinct arguments.
std::string dateAt(int seconds) { return utcText(Poco::DateTime(2024, 1, 1) + Poco::Timespan(seconds, 0)); }

ActivityPtr makeEntry(FSActivity::Type type, const std::string& date, const std::string& message = "m",
                      const std::string& path = "/p", const std::string& friendly = "Local File",
                      FSActivity::Level level = FSActivity::LevelNormal) {
    return ActivityPtr(new FSActivity(0, level, type, message, path, date, friendly));
}

// The parsed document; a document that is not well-formed fails the test.
Poco::AutoPtr<Poco::XML::Document> parseXml(const std::string& xml) {
    Poco::XML::DOMParser parser;
    try {
        return parser.parseString(xml);
    } catch (const Poco::Exception& e) {
        ADD_FAILURE() << "not well-formed: " << e.displayText() << "\n" << xml;
        return Poco::AutoPtr<Poco::XML::Document>();
    }
}

std::string childText(Poco::XML::Node* activity, const std::string& name) {
    Poco::XML::Element* child = static_cast<Poco::XML::Element*>(activity)->getChildElement(name);
    return child ? child->innerText() : "<missing " + name + ">";
}

// One listing of a rendering: the total and, per <activity>, the text of one
// chosen child element.
struct Rendered {
    std::string total;
    std::vector<std::string> values;
};

Rendered readRendering(const std::string& xml, const std::string& child) {
    Rendered r;
    Poco::AutoPtr<Poco::XML::Document> doc = parseXml(xml);
    if (!doc) return r;
    Poco::AutoPtr<Poco::XML::NodeList> totals = doc->getElementsByTagName("total");
    if (totals->length() == 1) r.total = totals->item(0)->innerText();
    Poco::AutoPtr<Poco::XML::NodeList> list = doc->getElementsByTagName("activity");
    for (unsigned long i = 0; i < list->length(); ++i) r.values.push_back(childText(list->item(i), child));
    return r;
}

} // namespace

// A fresh syncclient.db in a temporary folder, opened through FSSyncDB, and a
// second plain SQLite connection to the same file for seeding rows in bulk,
// reading the table behind the object's back and injecting faults.
class ActivityLog : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string path = m_dir / "syncclient.db";
        ASSERT_TRUE(db.openDB(path, ""));
        ASSERT_EQ(sqlite3_open(path.c_str(), &m_raw), SQLITE_OK);
    }
    void TearDown() override {
        sqlite3_close(m_raw);
        db.closeDB();
    }

    void exec(const std::string& sql) {
        char* error = nullptr;
        ASSERT_EQ(sqlite3_exec(m_raw, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "") << sql;
    }
    long long scalar(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(m_raw, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
        long long value = -1;
        if (st && sqlite3_step(st) == SQLITE_ROW) value = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        return value;
    }
    std::string text(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(m_raw, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
        std::string value;
        if (st && sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0))
            value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        return value;
    }
    long long rows(const std::string& where = "1") { return scalar("select COUNT(*) from ACTIVITY where " + where); }
    long long ordinaryRows() { return rows("TYPE not in (3,5,6,7)"); }

    // Inserts `n` rows of one type in one transaction, row i dated
    // dateAt(first + i) unless `sameDate` is given.
    void seed(int n, int type, int first, const std::string& sameDate = "") {
        exec("begin");
        for (int i = 0; i < n; ++i) {
            const std::string date = sameDate.empty() ? dateAt(first + i) : sameDate;
            exec("insert into ACTIVITY (DATE, LEVEL, TYPE, MESSAGE, FULLPATH, FRIENDLY) values ('" + date + "', 2, " +
                 std::to_string(type) + ", 'seeded', '/seeded', 'x')");
        }
        exec("commit");
    }

    bool add(const ActivityPtr& entry) {
        ActivityPtr e = entry;
        return db.activityAdd(e);
    }
    std::vector<int> listTypes(int filter) {
        std::vector<ActivityPtr> out;
        EXPECT_TRUE(db.activityCollectionGet(out, filter));
        std::vector<int> types;
        for (const ActivityPtr& e : out) types.push_back(e->type);
        return types;
    }

    FSSyncDB db;
    sqlite3* m_raw = nullptr;

private:
    CloudSyncTest::TempFolder m_dir;
};

// ---- activityAdd ----------------------------------------------------------

TEST_F(ActivityLog, AddSetsTheItemIdOfTheNewRowAndStoresTextsExactly) {
    ActivityPtr e(new FSActivity(FSActivity::LevelNormal, FSActivity::TypeDownload, "it's (1 KB)", "/a/it's.txt",
                                 "O'Brien"));
    ASSERT_TRUE(db.activityAdd(e));
    EXPECT_GT(e->itemId, 0);
    EXPECT_EQ(e->itemId, scalar("select max(ITEMID) from ACTIVITY"));
    EXPECT_EQ(text("select DATE from ACTIVITY"), e->dateText());

    std::vector<ActivityPtr> out;
    ASSERT_TRUE(db.activityCollectionGet(out, FSActivity::TypeDownload));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->itemId, e->itemId);
    EXPECT_EQ(out[0]->message, "it's (1 KB)");
    EXPECT_EQ(out[0]->fullPath, "/a/it's.txt");
    EXPECT_EQ(out[0]->friendlyName, "O'Brien");
    EXPECT_EQ(out[0]->level, FSActivity::LevelNormal);
}

TEST_F(ActivityLog, OneMoreThan2000OrdinaryEntriesDropsThe200OldestAndNoLastingOnes) {
    seed(5, FSActivity::TypeError, 0);          // lasting, older than everything
    seed(5, FSActivity::TypeSkippedLocal, 5);
    seed(2000, FSActivity::TypeDownload, 100);  // dates dateAt(100) .. dateAt(2099)
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeUpload, dateAt(5000))));
    EXPECT_EQ(ordinaryRows(), 1801);
    EXPECT_EQ(text("select min(DATE) from ACTIVITY where TYPE=1"), dateAt(300));
    EXPECT_EQ(rows("TYPE in (5,7)"), 10);
}

TEST_F(ActivityLog, PruningKeepsEntriesThatShareTheCutDate) {
    // The oldest 150 have their own dates; the next 100 (places 151 to 250,
    // so the 201st too) share one date; all of those 100 stay.
    seed(150, FSActivity::TypeDownload, 0);
    seed(100, FSActivity::TypeDelete, 0, dateAt(500));
    seed(1750, FSActivity::TypeDownload, 1000);
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeDownload, dateAt(9000))));
    EXPECT_EQ(ordinaryRows(), 2001 - 150);
    EXPECT_EQ(rows("TYPE=4"), 100);
    EXPECT_EQ(text("select min(DATE) from ACTIVITY"), dateAt(500));
}

TEST_F(ActivityLog, LastingEntriesNeverCountTowardsPruning) {
    for (int type : {3, 5, 6, 7}) seed(1250, type, type * 2000);
    seed(10, FSActivity::TypeDownload, 0);
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeDownload, dateAt(20000))));
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeConflict, dateAt(20001), "new conflict")));
    EXPECT_EQ(rows(), 5000 + 10 + 2);
}

TEST_F(ActivityLog, RepeatedErrorRefreshesTheNewestTwinInsteadOfAddingRows) {
    ActivityPtr first = makeEntry(FSActivity::TypeError, ago(Poco::Timespan(2, 0, 0, 0, 0)), "Failed", "/a");
    ASSERT_TRUE(db.activityAdd(first));
    for (int pass = 0; pass < 5; ++pass) {
        ActivityPtr again(new FSActivity(FSActivity::LevelNormal, FSActivity::TypeError, "Failed", "/a", "Local File"));
        ASSERT_TRUE(db.activityAdd(again));
        EXPECT_EQ(again->itemId, first->itemId);
        EXPECT_EQ(text("select DATE from ACTIVITY"), again->dateText());
    }
    EXPECT_EQ(rows(), 1);

    // Anything that differs is a new entry; ordinary entries are never merged.
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeError, dateAt(1), "Failed", "/b")));
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeError, dateAt(1), "Failed again", "/a")));
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeSkippedLocal, dateAt(1), "Failed", "/a")));
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeError, dateAt(1), "Failed", "/a", "Someone")));
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeDownload, dateAt(1), "f (1 KB)", "/a")));
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeDownload, dateAt(1), "f (1 KB)", "/a")));
    EXPECT_EQ(rows(), 7);
}

TEST_F(ActivityLog, RepeatedErrorRefreshesOnlyTheNewestOfSeveralTwins) {
    exec("insert into ACTIVITY (DATE, LEVEL, TYPE, MESSAGE, FULLPATH, FRIENDLY) values "
         "('2024-01-01 00:00:00', 2, 6, 'send failed', '/x', 'w'), ('2024-01-02 00:00:00', 2, 6, 'send failed', "
         "'/x', 'w')");
    ActivityPtr e = makeEntry(FSActivity::TypeUploadFailure, "2024-03-01 00:00:00", "send failed", "/x", "w");
    ASSERT_TRUE(db.activityAdd(e));
    EXPECT_EQ(rows(), 2);
    EXPECT_EQ(text("select group_concat(DATE, ',') from (select DATE from ACTIVITY order by ITEMID)"),
              "2024-01-01 00:00:00,2024-03-01 00:00:00");
}

TEST_F(ActivityLog, AddWithoutActivityTableFailsSilently) {
    exec("drop table ACTIVITY");
    CloudSyncTest::LogCapture log({"Sync"});
    EXPECT_FALSE(add(makeEntry(FSActivity::TypeDownload, dateAt(0))));
    EXPECT_TRUE(log.channel().entries().empty()) << log.dump();
}

TEST_F(ActivityLog, FailedInsertIsLoggedAndLeavesTheEntryUnstored) {
    exec("create trigger refuse before insert on ACTIVITY begin select raise(abort, 'activity insert refused'); end");
    CloudSyncTest::LogCapture log({"Sync"});
    ActivityPtr e = makeEntry(FSActivity::TypeDownload, dateAt(0));
    EXPECT_FALSE(db.activityAdd(e));
    EXPECT_EQ(e->itemId, 0);
    EXPECT_EQ(rows(), 0);
    EXPECT_TRUE(log.contains("activity insert refused", "Sync")) << log.dump();
}

TEST(ActivityLogClosed, EveryOperationFailsWithoutAnOpenDatabase) {
    FSSyncDB db;
    ActivityPtr e(new FSActivity(FSActivity::LevelNormal, FSActivity::TypeDownload, "m", "/p", "w"));
    std::vector<ActivityPtr> out;
    EXPECT_FALSE(db.activityAdd(e));
    std::vector<ActivityPtr> batch{e};
    EXPECT_FALSE(db.activityAddAll(batch));
    EXPECT_FALSE(db.activityDelete(1));
    EXPECT_FALSE(db.activityDeleteForPaths("/p", FSActivity::TypeError));
    EXPECT_FALSE(db.activityDeleteAllErrors(FSActivity::TypeError));
    EXPECT_FALSE(db.activityDeleteAll());
    EXPECT_FALSE(db.activityCollectionGet(out, -1));
    EXPECT_EQ(db.activityCollectionGetXML(-1, 0, 0), "<activities></activities>");
    EXPECT_EQ(db.activityCollectionGetXMLByLevel(2, 0, 0), "<activities></activities>");
}

TEST_F(ActivityLog, AddsFromSeveralThreadsEachGetTheirOwnRow) {
    // The insert and the read of the new id form one step under the lock.
    const int threads = 4, perThread = 50;
    std::vector<std::vector<int>> ids(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                ActivityPtr e(new FSActivity(FSActivity::LevelNormal, FSActivity::TypeUpload,
                                             "t" + std::to_string(t) + "-" + std::to_string(i), "/p", "w"));
                if (db.activityAdd(e)) ids[t].push_back(e->itemId);
            }
        });
    for (std::thread& w : workers) w.join();

    std::set<int> distinct;
    for (int t = 0; t < threads; ++t) {
        ASSERT_EQ(ids[t].size(), static_cast<std::size_t>(perThread));
        for (int i = 0; i < perThread; ++i) {
            EXPECT_EQ(text("select MESSAGE from ACTIVITY where ITEMID=" + std::to_string(ids[t][i])),
                      "t" + std::to_string(t) + "-" + std::to_string(i));
            distinct.insert(ids[t][i]);
        }
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(threads * perThread));
}

// ---- activityAddAll ---------------------------------------------------------

TEST_F(ActivityLog, AddAllStoresEachEntryAsAddWouldOneAfterTheOther) {
    // The same rows, added one by one into a second log and in one batch into
    // this one, must end alike: twins found inside the batch and among the
    // stored rows, and the pruning run per entry (1999 ordinary rows, so the
    // third entry of the batch is the one that passes 2000).
    CloudSyncTest::TempFolder otherDir;
    FSSyncDB other;
    ASSERT_TRUE(other.openDB(otherDir / "syncclient.db", ""));
    auto makeBatch = [] {
        return std::vector<ActivityPtr>{
            makeEntry(FSActivity::TypeError, dateAt(5000), "Failed", "/a"),
            makeEntry(FSActivity::TypeDownload, dateAt(5001), "d1"),
            makeEntry(FSActivity::TypeError, dateAt(5002), "Failed", "/a"),
            makeEntry(FSActivity::TypeUploadFailure, dateAt(5003), "stored twin", "/s"),
            makeEntry(FSActivity::TypeDownload, dateAt(5004), "d2"),
            ActivityPtr(),
            makeEntry(FSActivity::TypeUpload, dateAt(5005), "u1"),
        };
    };
    seed(1999, FSActivity::TypeUpload, 0);
    exec("insert into ACTIVITY (DATE, LEVEL, TYPE, MESSAGE, FULLPATH, FRIENDLY) values "
         "('2023-01-01 00:00:00', 2, 6, 'stored twin', '/s', 'Local File')");
    std::vector<ActivityPtr> batch = makeBatch();
    ASSERT_TRUE(db.activityAddAll(batch));

    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open((otherDir / "syncclient.db").c_str(), &raw), SQLITE_OK);
    std::swap(raw, m_raw);
    seed(1999, FSActivity::TypeUpload, 0);
    exec("insert into ACTIVITY (DATE, LEVEL, TYPE, MESSAGE, FULLPATH, FRIENDLY) values "
         "('2023-01-01 00:00:00', 2, 6, 'stored twin', '/s', 'Local File')");
    std::vector<ActivityPtr> oneByOne = makeBatch();
    for (ActivityPtr& e : oneByOne)
        if (e) ASSERT_TRUE(other.activityAdd(e));
    const std::string listing = "select group_concat(ITEMID || ' ' || DATE || ' ' || TYPE || ' ' || MESSAGE, ';') "
                                "from (select * from ACTIVITY order by ITEMID)";
    const std::string expected = text(listing);
    std::swap(raw, m_raw);
    sqlite3_close(raw);
    other.closeDB();

    EXPECT_EQ(text(listing), expected);
    EXPECT_EQ(ordinaryRows(), 1802) << "pruned once, as the fifth entry passed 2000";
    EXPECT_EQ(rows(), 1802 + 2) << "one new error row and the refreshed stored twin";
    for (std::size_t i = 0; i < batch.size(); ++i)
        if (batch[i]) EXPECT_EQ(batch[i]->itemId, oneByOne[i]->itemId) << "entry " << i;
    EXPECT_EQ(batch[0]->itemId, batch[2]->itemId);
}

TEST_F(ActivityLog, AddAllIsOneTransactionThatAFailureUndoesWhole) {
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeDownload, dateAt(0), "before")));
    exec("create trigger refuse before insert on ACTIVITY when new.MESSAGE = 'bad' "
         "begin select raise(abort, 'activity insert refused'); end");
    CloudSyncTest::LogCapture log({"Sync"});
    std::vector<ActivityPtr> batch{makeEntry(FSActivity::TypeDownload, dateAt(1), "good"),
                                   makeEntry(FSActivity::TypeDownload, dateAt(2), "bad"),
                                   makeEntry(FSActivity::TypeDownload, dateAt(3), "after")};
    EXPECT_FALSE(db.activityAddAll(batch));
    EXPECT_EQ(rows(), 1);
    EXPECT_TRUE(log.contains("activity insert refused", "Sync")) << log.dump();

    std::vector<ActivityPtr> none;
    EXPECT_TRUE(db.activityAddAll(none));
    exec("drop table ACTIVITY");
    std::vector<ActivityPtr> one{makeEntry(FSActivity::TypeDownload, dateAt(4))};
    EXPECT_FALSE(db.activityAddAll(one));
}

// ---- deletes ------------------------------------------------------------------

TEST_F(ActivityLog, DeletesRemoveExactlyTheirRows) {
    for (int type = 1; type <= 7; ++type) {
        ASSERT_TRUE(add(makeEntry(FSActivity::Type(type), dateAt(type), "m", "/it's")));
        ASSERT_TRUE(add(makeEntry(FSActivity::Type(type), dateAt(type), "m", "/other")));
    }
    ASSERT_TRUE(db.activityDeleteAllErrors(FSActivity::TypeUploadFailure));
    EXPECT_EQ(rows("TYPE=6"), 0);
    EXPECT_EQ(rows(), 12);

    ASSERT_TRUE(db.activityDeleteForPaths("/it's", FSActivity::TypeError));
    EXPECT_EQ(rows("TYPE=5"), 1);
    EXPECT_EQ(rows("FULLPATH='/it''s'"), 5);

    const long long id = scalar("select ITEMID from ACTIVITY where TYPE=1 and FULLPATH='/other'");
    ASSERT_TRUE(db.activityDelete(static_cast<int>(id)));
    EXPECT_EQ(rows("ITEMID=" + std::to_string(id)), 0);
    EXPECT_EQ(rows(), 10);

    ASSERT_TRUE(db.activityDeleteAll());
    EXPECT_EQ(rows(), 0);
}

TEST_F(ActivityLog, FailedDeleteReportsFalse) {
    exec("insert into ACTIVITY (DATE, LEVEL, TYPE, MESSAGE, FULLPATH, FRIENDLY) values "
         "('2024-01-01 00:00:00', 2, 5, 'm', '/p', 'w')");
    exec("create trigger refuse before delete on ACTIVITY begin select raise(abort, 'activity delete refused'); end");
    CloudSyncTest::LogCapture log({"Sync"});
    EXPECT_FALSE(db.activityDelete(1));
    EXPECT_FALSE(db.activityDeleteForPaths("/p", FSActivity::TypeError));
    EXPECT_FALSE(db.activityDeleteAllErrors(FSActivity::TypeError));
    EXPECT_FALSE(db.activityDeleteAll());
    EXPECT_EQ(rows(), 1);
    EXPECT_TRUE(log.contains("activity delete refused", "Sync")) << log.dump();
}

TEST_F(ActivityLog, ItemIdsKeepGrowingAfterDeleteAll) {
    ActivityPtr e = makeEntry(FSActivity::TypeDownload, dateAt(0));
    ASSERT_TRUE(db.activityAdd(e));
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeDownload, dateAt(1))));
    ActivityPtr last = makeEntry(FSActivity::TypeDownload, dateAt(2));
    ASSERT_TRUE(db.activityAdd(last));
    ASSERT_TRUE(db.activityDeleteAll());
    ActivityPtr next = makeEntry(FSActivity::TypeDownload, dateAt(3));
    ASSERT_TRUE(db.activityAdd(next));
    EXPECT_GT(next->itemId, last->itemId);
}

// ---- activityCollectionGet ---------------------------------------------------

TEST_F(ActivityLog, FiltersSelectTheirTypesNewestFirst) {
    // Type t is dated t seconds after the base, so newest first is 7, 6, ...
    for (int type = 1; type <= 7; ++type) ASSERT_TRUE(add(makeEntry(FSActivity::Type(type), dateAt(type))));
    struct Case {
        int filter;
        std::vector<int> types;
    } cases[] = {
        {-1, {4, 2, 1}}, {-2, {6, 5, 3}}, {-3, {6, 5, 4, 3, 2, 1}}, {7, {7}}, {2, {2}}, {0, {}}, {9, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(listTypes(c.filter), c.types) << "filter " << c.filter;
}

TEST_F(ActivityLog, ListingAppendsAtMost500NewestEntries) {
    seed(600, FSActivity::TypeUpload, 0);
    std::vector<ActivityPtr> out(1);
    ASSERT_TRUE(db.activityCollectionGet(out, -1));
    ASSERT_EQ(out.size(), 501u);
    EXPECT_FALSE(out[0]); // what was there stays
    EXPECT_EQ(out[1]->dateText(), dateAt(599));
    EXPECT_EQ(out[500]->dateText(), dateAt(100));
}

TEST_F(ActivityLog, RowWithUnreadableDateIsSkippedAndLogged) {
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeDownload, dateAt(1), "good one")));
    exec("insert into ACTIVITY (DATE, LEVEL, TYPE, MESSAGE, FULLPATH, FRIENDLY) values "
         "('garbage', 2, 1, 'bad', '/p', 'w'), ('2024-01-01 99:00:00', 2, 1, 'bad', '/p', 'w')");
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeDownload, dateAt(2), "good two")));
    CloudSyncTest::LogCapture log({"Sync"});

    std::vector<ActivityPtr> out;
    EXPECT_TRUE(db.activityCollectionGet(out, -1));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]->message, "good two");
    EXPECT_EQ(out[1]->message, "good one");
    EXPECT_TRUE(log.contains("with unreadable date \"garbage\"", "Sync")) << log.dump();

    Rendered r = readRendering(db.activityCollectionGetXML(-1, 0, 0), "message");
    EXPECT_EQ(r.total, "4");
    EXPECT_EQ(r.values, (std::vector<std::string>{"good two", "good one"}));
}

TEST_F(ActivityLog, ListingFailureIsLoggedAndReported) {
    exec("drop table ACTIVITY");
    CloudSyncTest::LogCapture log({"Sync"});
    std::vector<ActivityPtr> out;
    EXPECT_FALSE(db.activityCollectionGet(out, -3));
    EXPECT_EQ(db.activityCollectionGetXML(-1, 0, 0), "<activities></activities>");
    EXPECT_EQ(db.activityCollectionGetXMLByLevel(2, 0, 0), "<activities></activities>");
    EXPECT_TRUE(log.contains("ACTIVITY", "Sync")) << log.dump();
}

// ---- XML renderings ---------------------------------------------------------------

TEST_F(ActivityLog, EmptyLogRendersAnEmptyListWithTotalZero) {
    const std::string empty = "<activities><meta> <total>0</total></meta></activities>";
    EXPECT_EQ(db.activityCollectionGetXML(-1, 0, 0), empty);
    EXPECT_EQ(db.activityCollectionGetXMLByLevel(2, 0, 0), empty);
    EXPECT_EQ(db.activityCollectionGetXMLByLevel(-1, 5, 10), empty);
}

TEST_F(ActivityLog, RenderingsStayWellFormedWhateverTheTexts) {
    const std::string message = "a & b <c> \"d\" 'e' &#x41; &#x<f> &amp;";
    const std::string path = "/x & y/<z>/\"q\"/it's &#x3C;";
    const std::string who = "O'Brien & <Sons>";
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeConflict, ago(Poco::Timespan(0, 1, 0, 0, 0)), message, path, who)));

    Poco::AutoPtr<Poco::XML::Document> doc = parseXml(db.activityCollectionGetXML(-1, 0, 0));
    ASSERT_TRUE(doc);
    Poco::AutoPtr<Poco::XML::NodeList> list = doc->getElementsByTagName("activity");
    ASSERT_EQ(list->length(), 1u);
    EXPECT_EQ(childText(list->item(0), "message"), message);
    EXPECT_EQ(childText(list->item(0), "path"), path);
    EXPECT_EQ(childText(list->item(0), "who"), who);
    EXPECT_EQ(childText(list->item(0), "type"), "Conflict");
    EXPECT_EQ(childText(list->item(0), "level"), "2");
    EXPECT_FALSE(childText(list->item(0), "when").empty());

    doc = parseXml(db.activityCollectionGetXMLByLevel(2, 0, 0));
    ASSERT_TRUE(doc);
    list = doc->getElementsByTagName("activity");
    ASSERT_EQ(list->length(), 1u);
    EXPECT_EQ(childText(list->item(0), "message"), message);
    EXPECT_EQ(childText(list->item(0), "type"), "3");
    EXPECT_FALSE(childText(list->item(0), "elapsed").empty());
    EXPECT_EQ(static_cast<Poco::XML::Element*>(list->item(0))->getChildElement("path"), nullptr);
}

TEST_F(ActivityLog, RenderingsNameTypesTheirOwnWay) {
    for (int type = 1; type <= 7; ++type)
        ASSERT_TRUE(add(makeEntry(FSActivity::Type(type), ago(Poco::Timespan(0, 0, 8 - type, 0, 0)))));
    // Newest first: types 7 down to 1.
    EXPECT_EQ(readRendering(db.activityCollectionGetXML(-1, 0, 0), "type").values,
              (std::vector<std::string>{"Download", "Error", "Error", "Delete", "Conflict", "Upload", "Download"}));
    EXPECT_EQ(readRendering(db.activityCollectionGetXMLByLevel(2, 0, 0), "type").values,
              (std::vector<std::string>{"7", "6", "5", "4", "3", "2", "1"}));
}

TEST_F(ActivityLog, RenderingsPageNewestFirstAndCountEveryMatchingRow) {
    for (int i = 0; i < 15; ++i)
        ASSERT_TRUE(add(makeEntry(FSActivity::TypeUpload, ago(Poco::Timespan(0, 0, 0, 100 - i, 0)),
                                  "m" + std::to_string(i))));
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeUpload, ago(Poco::Timespan(0, 0, 0, 200, 0)), "low",
                              "/p", "w", FSActivity::LevelLow)));
    struct Case {
        int level, start, count;
        std::string total;
        std::vector<std::string> messages;
    } cases[] = {
        {-1, 10, 0, "16", {"m4", "m3", "m2", "m1", "m0", "low"}},
        {-1, 2, 3, "16", {"m12", "m11", "m10"}},
        {2, 12, -5, "15", {"m2", "m1", "m0"}},
        {1, 0, 0, "1", {"low"}},
        {2, 20, 5, "15", {}},
    };
    for (const Case& c : cases) {
        Rendered r = readRendering(db.activityCollectionGetXMLByLevel(c.level, c.start, c.count), "message");
        EXPECT_EQ(r.total, c.total) << c.level << " " << c.start << " " << c.count;
        EXPECT_EQ(r.values, c.messages) << c.level << " " << c.start << " " << c.count;
        if (c.level == -1) {
            Rendered all = readRendering(db.activityCollectionGetXML(-1, c.start, c.count), "message");
            EXPECT_EQ(all.total, c.total);
            EXPECT_EQ(all.values, c.messages);
        }
    }
}

TEST_F(ActivityLog, LevelRenderingLeavesOutEntriesOlderThanSevenDays) {
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeDownload, ago(Poco::Timespan(1, 0, 0, 0, 0)), "1 day")));
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeDownload, ago(Poco::Timespan(7, 23, 0, 0, 0)), "7 days 23 h")));
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeDownload, ago(Poco::Timespan(8, 1, 0, 0, 0)), "8 days 1 h")));
    ASSERT_TRUE(add(makeEntry(FSActivity::TypeDownload, ago(Poco::Timespan(30, 0, 0, 0, 0)), "30 days")));

    Rendered r = readRendering(db.activityCollectionGetXMLByLevel(2, 0, 0), "message");
    EXPECT_EQ(r.total, "4");
    EXPECT_EQ(r.values, (std::vector<std::string>{"1 day", "7 days 23 h"}));
    // The other rendering has no age cut.
    EXPECT_EQ(readRendering(db.activityCollectionGetXML(-1, 0, 0), "message").values.size(), 4u);

    ASSERT_TRUE(db.activityDelete(static_cast<int>(scalar("select ITEMID from ACTIVITY where MESSAGE='1 day'"))));
    ASSERT_TRUE(db.activityDelete(static_cast<int>(scalar("select ITEMID from ACTIVITY where MESSAGE='7 days 23 h'"))));
    r = readRendering(db.activityCollectionGetXMLByLevel(2, 0, 0), "message");
    EXPECT_EQ(r.total, "2");
    EXPECT_TRUE(r.values.empty());
}
