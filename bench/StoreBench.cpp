// Timed program: the sync database's data store against the physical floor.
//
// For each record count it runs, in a child process of its own (so that the
// peak memory is that size's alone):
//   save       saveDataStore of that many new records (one transaction)
//   load       getDataStore of them into a new store
//   children   getFSChildren and getFSAllChildren of a folder of 1,000 items
//   lookup     getFSSyncRecord by server path, averaged over 1,000 paths
//   reference  the same rows inserted by a plain sqlite3 program into the same
//              table and indexes, one prepared statement, one transaction
//   peak RSS   the child's peak resident memory
// Files are written into a fresh folder under the system temp folder.
//
// Usage: store_bench [count ...]   (default: 10000 100000)

#include "DataSyncStore.h"
#include "FSSyncDB.h"
#include "FSSyncRecord.h"

#include "BenchSizes.h"

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/UUIDGenerator.h>

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using Nuvaro::DataSync::DataSyncStore;
using Nuvaro::Sync::FSSyncDB;
using Nuvaro::Sync::FSSyncRecord;

namespace {

using BenchSizes::peakRssKB;
using BenchSizes::secondsSince;

const int kFolderSize = 1000;  // items per local folder: the children query's folder

// Record i lives in local folder "My Files/d<i / 1000>".
boost::shared_ptr<FSSyncRecord> makeRecord(int i) {
    std::string folder = "d" + std::to_string(i / kFolderSize);
    std::string name = "file-" + std::to_string(i) + ".txt";
    Nuvaro::DataSync::DataSyncRecord base(Poco::UUIDGenerator::defaultGenerator().createRandom(), 1, "laptop1", 1,
                                          "laptop1", 0);
    return boost::shared_ptr<FSSyncRecord>(new FSSyncRecord(
        base, 1, name, "/acct1/" + folder, "/acct1/" + folder + "/" + name, 1000 + i, 135000000000000000LL + i, "",
        "", "Owner", "/acct1", "My Files/" + folder, "My Files/" + folder + "/" + name, "0123456789abcdef",
        "2026-01-02 03:04:05"));
}

void check(int rc, sqlite3* db, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "reference: %s: %s\n", what, sqlite3_errmsg(db));
        std::exit(1);
    }
}

// The same rows as the save, written the cheapest way SQLite allows.
double referenceInsert(const std::string& path, const std::vector<boost::shared_ptr<FSSyncRecord>>& records) {
    sqlite3* db = nullptr;
    check(sqlite3_open(path.c_str(), &db), db, "open");
    check(sqlite3_exec(db,
                       "CREATE TABLE OBJECT (OBJID TEXT PRIMARY KEY, TYPE INTEGER, NAME TEXT, PARENT TEXT, "
                       "FULLPATH TEXT, SIZE INTEGER, MODIFIED INTEGER, ATTRIBS TEXT, FLAGS TEXT, FRIENDLY TEXT, "
                       "UPDATEDVERSION integer, UPDATEDPEER TEXT, CREATEDVERSION integer, CREATEDPEER TEXT, "
                       "ISDELETED integer, SYNCFOLDER TEXT, LOCALPARENT TEXT, LOCALFULLPATH TEXT, FILECRC TEXT, "
                       "FILEMOD TEXT);"
                       "CREATE INDEX OBJECT_LOCALFULLPATH_IDX ON OBJECT (LOCALFULLPATH);"
                       "CREATE INDEX OBJECT_LOCALPARENT_IDX ON OBJECT (LOCALPARENT);"
                       "CREATE INDEX OBJECT_FULLPATH_IDX ON OBJECT (FULLPATH);"
                       "CREATE INDEX OBJECT_SYNCFOLDER_IDX ON OBJECT (SYNCFOLDER);",
                       nullptr, nullptr, nullptr),
          db, "schema");
    auto start = std::chrono::steady_clock::now();
    check(sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr), db, "begin");
    sqlite3_stmt* insert = nullptr;
    check(sqlite3_prepare_v2(db, "insert into OBJECT values (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?);", -1, &insert,
                             nullptr),
          db, "prepare");
    for (const auto& r : records) {
        std::string id = r->getId().toString();
        auto text = [&](int column, const std::string& value) {
            sqlite3_bind_text(insert, column, value.c_str(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        };
        text(1, id);
        sqlite3_bind_int(insert, 2, r->getType());
        text(3, r->getName());
        text(4, r->getParent());
        text(5, r->getFullPath());
        sqlite3_bind_int64(insert, 6, r->getSize());
        sqlite3_bind_int64(insert, 7, r->getModified());
        text(8, r->getAttribs());
        text(9, r->getFlags());
        text(10, r->getFriendlyName());
        sqlite3_bind_int64(insert, 11, r->getUpdatedVersion());
        text(12, r->getUpdatedPeer());
        sqlite3_bind_int64(insert, 13, r->getCreatedVersion());
        text(14, r->getCreatedPeer());
        sqlite3_bind_int(insert, 15, r->getIsDeleted());
        text(16, r->getSyncFolderPath());
        text(17, r->getLocalParent());
        text(18, r->getLocalFullPath());
        text(19, r->getFileCRC());
        text(20, r->getFileModTime());
        check(sqlite3_step(insert), db, "insert");
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    check(sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr), db, "commit");
    double seconds = secondsSince(start);
    sqlite3_close(db);
    return seconds;
}

// One size, in the calling (child) process; prints one line.
void runSize(const std::string& folder, int count) {
    std::vector<boost::shared_ptr<FSSyncRecord>> records;
    records.reserve(count);
    for (int i = 0; i < count; ++i)
        records.push_back(makeRecord(i));

    double reference = referenceInsert(folder + "/reference.db", records);

    FSSyncDB db;
    if (!db.openDB(folder + "/syncclient.db", "")) {
        std::fprintf(stderr, "cannot open the sync database\n");
        std::exit(1);
    }
    long savedRecords = 0;
    double save = 0;
    {
        DataSyncStore store;
        for (const auto& r : records)
            store.putChangedRecord(r);  // new rows with the versions they were built with
        records.clear();
        int written = 0;
        auto start = std::chrono::steady_clock::now();
        if (!db.saveDataStore("/acct1", store, written)) {
            std::fprintf(stderr, "saveDataStore failed\n");
            std::exit(1);
        }
        save = secondsSince(start);
        savedRecords = written;
    }

    DataSyncStore loaded;
    std::atomic<bool> abort(false);
    auto start = std::chrono::steady_clock::now();
    if (!db.getDataStore("/acct1", "laptop1", loaded, abort) || static_cast<long>(loaded.size()) != savedRecords) {
        std::fprintf(stderr, "getDataStore failed\n");
        std::exit(1);
    }
    double load = secondsSince(start);

    // Children of the middle folder, averaged over a few runs; each query
    // returns its record count.
    std::string middle = "My Files/d" + std::to_string(count / kFolderSize / 2);
    auto timeQuery = [&](bool (FSSyncDB::*query)(const std::string&, std::vector<boost::shared_ptr<FSSyncRecord>>&),
                         std::size_t& found) {
        const int runs = 20;
        auto begin = std::chrono::steady_clock::now();
        for (int i = 0; i < runs; ++i) {
            std::vector<boost::shared_ptr<FSSyncRecord>> records;
            (db.*query)(middle, records);
            found = records.size();
        }
        return secondsSince(begin) / runs;
    };
    std::size_t found = 0;
    std::size_t foundAll = 0;
    double children = timeQuery(&FSSyncDB::getFSChildren, found);
    double allChildren = timeQuery(&FSSyncDB::getFSAllChildren, foundAll);

    // Lookups by server path spread over the whole table, as the apply step
    // makes them (one per file).
    const int lookups = 1000;
    start = std::chrono::steady_clock::now();
    for (int k = 0; k < lookups; ++k) {
        const int i = static_cast<int>((static_cast<long long>(k) * 7919) % count);
        const std::string name = "file-" + std::to_string(i) + ".txt";
        if (!db.getFSSyncRecord("/acct1/d" + std::to_string(i / kFolderSize) + "/" + name)) {
            std::fprintf(stderr, "getFSSyncRecord found nothing\n");
            std::exit(1);
        }
    }
    double lookup = secondsSince(start) / lookups;
    db.closeDB();

    std::printf("%8d  %9.3f  %9.3f  %6.2fx  %9.3f  %9.2f (%zu)  %9.2f (%zu)  %9.1f  %8.1f\n", count, save,
                reference, save / reference, load, children * 1000, found, allChildren * 1000, foundAll,
                lookup * 1e6, peakRssKB() / 1024.0);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    std::printf("sync database store benchmark (times in seconds unless marked)\n");
    std::printf("%8s  %9s  %9s  %7s  %9s  %14s  %14s  %9s  %8s\n", "records", "save", "reference", "ratio", "load",
                "children ms", "all-children ms", "lookup us", "peak MB");
    return BenchSizes::runEachSizeInChild(BenchSizes::sizesFromArguments(argc, argv), "storebench-", runSize);
}
