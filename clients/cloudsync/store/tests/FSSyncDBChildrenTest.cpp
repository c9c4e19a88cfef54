// The children queries of the sync database.

#include "SyncDBFixture.h"

#include "LogCapture.h"

#include <algorithm>
#include <set>

using StoreTest::RecordPtr;

namespace {

class ChildrenTest : public StoreTest::SyncDBTest {
protected:
    void SetUp() override {
        StoreTest::SyncDBTest::SetUp();
        // Local paths are "My Files/" + each of these.
        for (const char* rel : {"A/B", "A/B/c", "A/B/d", "A/B/d/e", "A/BC/x", "A/B0/z", "X/A/B/y", "a/b/c",
                                "a_b", "a_b/x", "axb", "axb/y", "50%", "50%/f", "5000/g", "O'Brien",
                                "O'Brien/doc", "O'Briens/doc"}) {
            std::string s = rel;
            int type = (s == "A/B" || s == "A/B/d" || s == "a_b" || s == "axb" || s == "50%" || s == "O'Brien") ? 0 : 1;
            add({makeRecord("/acct1", rel, type)});
        }
        RecordPtr gone = makeRecord("/acct1", "A/B/gone");
        gone->setIsDeleted(true);
        add({gone});
    }

    // The local paths of the records, without the "My Files/" prefix.
    static std::vector<std::string> rels(const std::vector<RecordPtr>& records, std::size_t from = 0) {
        std::vector<std::string> out;
        for (std::size_t i = from; i < records.size(); ++i)
            out.push_back(records[i]->getLocalFullPath().substr(std::string("My Files/").size()));
        return out;
    }
    static std::vector<std::string> sorted(std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    }
};

TEST_F(ChildrenTest, AllChildrenMatchALiteralPrefix) {
    struct Case {
        const char* path;
        std::vector<std::string> expected;  // the item itself first, then the rest in any order
    } cases[] = {
        {"A/B", {"A/B", "A/B/c", "A/B/d", "A/B/d/e"}},  // not A/BC/x, A/B0/z, X/A/B/y, a/b/c, the deleted A/B/gone
        {"a_b", {"a_b", "a_b/x"}},                      // "_" is no wildcard: not axb
        {"50%", {"50%", "50%/f"}},                      // "%" is no wildcard: not 5000
        {"O'Brien", {"O'Brien", "O'Brien/doc"}},
        {"A/B/d/e", {"A/B/d/e"}},
        {"A", {"A/B", "A/B/c", "A/B/d", "A/B/d/e", "A/BC/x", "A/B0/z"}},  // A itself has no record
        {"nothing/here", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::vector<RecordPtr> records;
        m_db.getFSAllChildren(std::string("My Files/") + c.path, records);
        std::vector<std::string> got = rels(records);
        EXPECT_EQ(sorted(got), sorted(c.expected));
        if (!c.expected.empty() && c.expected.front() == c.path) {
            ASSERT_FALSE(got.empty());
            EXPECT_EQ(got.front(), c.path);
        }
        for (const RecordPtr& r : records)
            EXPECT_EQ(r->getIsDeleted(), 0);
    }
}

TEST_F(ChildrenTest, DirectChildrenOnly) {
    struct Case {
        const char* parent;
        std::vector<std::string> expected;
    } cases[] = {
        {"My Files/A/B", {"A/B/c", "A/B/d"}},  // not A/B/d/e, A/B itself or the deleted A/B/gone
        {"My Files/a_b", {"a_b/x"}},
        {"My Files/50%", {"50%/f"}},
        {"My Files/O'Brien", {"O'Brien/doc"}},
        {"My Files/a/B", {}},  // no case folding
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.parent);
        std::vector<RecordPtr> records;
        m_db.getFSChildren(c.parent, records);
        EXPECT_EQ(sorted(rels(records)), sorted(c.expected));
    }
}

TEST_F(ChildrenTest, ResultsAreAppendedToWhatTheVectorHolds) {
    std::vector<RecordPtr> records{makeRecord("/x", "earlier")};
    m_db.getFSAllChildren("My Files/a_b", records);
    m_db.getFSChildren("My Files/axb", records);
    EXPECT_EQ(rels(records), (std::vector<std::string>{"earlier", "a_b", "a_b/x", "axb/y"}));
}

// A damaged row used to throw out of getFSAllChildren (Poco's UUID parser);
// it is skipped with an error line and the rest still come back.
TEST_F(ChildrenTest, DamagedRowIsSkippedWithAnErrorLine) {
    sql("insert into OBJECT (OBJID, TYPE, NAME, LOCALPARENT, LOCALFULLPATH, ISDELETED, SYNCFOLDER) values "
        "('not-a-uuid', 1, 'bad', 'My Files/A/B', 'My Files/A/B/bad', 0, '/acct1');");
    CloudSyncTest::LogCapture capture({"Sync"});
    std::vector<RecordPtr> all, direct;
    EXPECT_TRUE(m_db.getFSAllChildren("My Files/A/B", all));
    EXPECT_TRUE(m_db.getFSChildren("My Files/A/B", direct));
    EXPECT_EQ(sorted(rels(all)), (std::vector<std::string>{"A/B", "A/B/c", "A/B/d", "A/B/d/e"}));
    EXPECT_EQ(sorted(rels(direct)), (std::vector<std::string>{"A/B/c", "A/B/d"}));
    EXPECT_TRUE(capture.contains("Skipping a damaged sync record: OBJECT row with a malformed identity 'not-a-uuid' "
                                 "(My Files/A/B/bad)",
                                 "Sync"))
        << capture.dump();
}

// A query that could not run used to look like an empty folder.
TEST_F(ChildrenTest, FailedQueryIsToldFromNoChildren) {
    std::vector<RecordPtr> records;
    EXPECT_TRUE(m_db.getFSAllChildren("My Files/nothing/here", records));
    EXPECT_TRUE(m_db.getFSChildren("My Files/nothing/here", records));
    EXPECT_TRUE(records.empty());

    // Another connection holds the file locked past the busy time-out.
    m_db.setBusyTimeout(0);
    wxSQLite3Database writer;
    writer.Open(path());
    writer.Begin(WXSQLITE_TRANSACTION_EXCLUSIVE);
    CloudSyncTest::LogCapture capture({"Sync"});
    EXPECT_FALSE(m_db.getFSAllChildren("My Files/A/B", records));
    EXPECT_FALSE(m_db.getFSChildren("My Files/A/B", records));
    EXPECT_TRUE(capture.contains("database is locked", "Sync")) << capture.dump();
    writer.Rollback();
    writer.Close();

    m_db.closeDB();
    EXPECT_FALSE(m_db.getFSAllChildren("My Files/A/B", records));
    EXPECT_FALSE(m_db.getFSChildren("My Files/A/B", records));
    EXPECT_TRUE(records.empty());
}

TEST_F(ChildrenTest, QueriesRunOnTheirIndexes) {
    const std::string plan = queryPlan(Nuvaro::Sync::FSSyncDB::descendantsQuery("My Files/A/B"));
    EXPECT_NE(plan.find("USING INDEX OBJECT_LOCALFULLPATH_IDX (LOCALFULLPATH>? AND LOCALFULLPATH<?)"),
              std::string::npos)
        << plan;
    EXPECT_NE(queryPlan("select * FROM OBJECT WHERE ISDELETED='0' AND LOCALPARENT='My Files/A/B';")
                  .find("USING INDEX OBJECT_LOCALPARENT_IDX (LOCALPARENT=?)"),
              std::string::npos);
}

} // namespace
