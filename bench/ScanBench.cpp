// Timed program: the folder scan against the floor of reading the same tree.
//
// For each file count it builds, in a fresh temp folder, a sync folder whose
// "My Files" holds that many files, about 10 per folder (groups of 100
// folders of 10 files), and a sync database. Then, in a child process of its
// own, it measures with a warm cache:
//   find       find DIR -printf '%s %T@\n' > /dev/null (best of 3): the floor
//   walk       FSMemoryFSCache::initFromPath of the same tree (best of 3)
//   first      the first scan (every item new), and the save of its records
//   no change  a whole scan against the database holding every record
//   1% changed a whole scan after every 100th file was rewritten
//   memory     the peak memory the walk alone, and a whole no-change scan,
//              add to the process, per file (measured in a fresh child,
//              after the first scan's memory went back to the system); the
//              scan holds the tree picture and every loaded sync record at
//              once
// Scans run with no start pause. Aims: walk within 1.5x of find, the
// no-change scan within 4x, memory linear and below 1 KB per file.
//
// Usage: scan_bench [count ...]   (default: 10000 100000)

#include "DataSyncStore.h"
#include "FSMemoryFSCache.h"
#include "FSSyncDB.h"
#include "FolderCacheActivity.h"

#include "BenchSizes.h"

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/ThreadPool.h>
#include <Poco/UUIDGenerator.h>

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

using Nuvaro::Sync::FSMemoryFSCache;
using Nuvaro::Sync::FSSyncDB;
using Nuvaro::Sync::FolderCacheActivity;

namespace {

using BenchSizes::peakRssKB;
using BenchSizes::bestOf;
using BenchSizes::secondsSince;

long currentRssKB() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

std::string fileName(int i) {
    char name[64];
    std::snprintf(name, sizeof name, "My Files/g%03d/folder%05d/file%02d.dat", i / 1000, i / 10, i % 10);
    return name;
}

void buildTree(const std::string& root, int count) {
    for (int i = 0; i < count; ++i) {
        const std::string path = root + "/" + fileName(i);
        if (i % 10 == 0)
            Poco::File(Poco::Path(path).parent()).createDirectories();
        std::ofstream(path, std::ios::binary) << std::string(static_cast<std::size_t>(i % 97), 'x');
    }
}

// One whole scan on a pool of its own (no threads outlive it, so the
// process can fork afterwards); returns the number of changes.
std::size_t runScan(const std::string& root, boost::shared_ptr<FSSyncDB>& db,
                    FolderCacheActivity::Settings& settings, FolderCacheActivity::ChangeList* changes = nullptr) {
    volatile bool quit = false;
    Poco::ThreadPool pool(1, 1);
    FolderCacheActivity scan(root, db, "laptop1", "Owner", "Linux", "acct1", "Network Folders", "Team Folders",
                             "teamacct", false, settings, quit);
    scan.setStartDelay(0);
    scan.activity().start(pool);
    scan.activity().wait();
    FolderCacheActivity::ChangeList found;
    scan.getChangeList(found);
    if (changes)
        *changes = found;
    return found.size();
}

void fail(const std::string& what) {
    std::fprintf(stderr, "scan_bench: %s\n", what.c_str());
    std::exit(1);
}

// Runs `body` in a child process and returns the peak memory it added (KB)
// and the number it returned.
template <typename Body>
std::pair<long, long> measureInChild(Body body) {
    int fds[2];
    if (pipe(fds) != 0)
        fail("pipe");
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        long before = currentRssKB();
        long value = body();
        long result[2] = {peakRssKB() - before, value};
        bool sent = write(fds[1], result, sizeof result) == static_cast<ssize_t>(sizeof result);
        std::_Exit(sent ? 0 : 1);
    }
    long result[2] = {0, -1};
    bool received = read(fds[0], result, sizeof result) == static_cast<ssize_t>(sizeof result);
    waitpid(child, nullptr, 0);
    close(fds[0]);
    close(fds[1]);
    if (!received)
        fail("measuring child failed");
    return {result[0], result[1]};
}

void runSize(const std::string& folder, int count) {
    const std::string root = folder + "/sync";
    buildTree(root, count);
    boost::shared_ptr<FSSyncDB> db(new FSSyncDB());
    if (!db->openDB(folder + "/syncclient.db", "") || !db->setStatusSet("/acct1", ""))
        fail("cannot open the database");
    FolderCacheActivity::Settings settings{Nuvaro::Record(new std::map<std::string, std::string>{
        {"profile", "acct1"}, {"checkmodtime", "0"}, {"checkcrc", "0"}, {"skipinusecheck", "0"}})};

    const std::string findCommand = "find '" + root + "' -printf '%s %T@\\n' > /dev/null";
    if (std::system(findCommand.c_str()) != 0)  // warms the cache
        fail("find failed");
    double find = bestOf(3, [&] {
        if (std::system(findCommand.c_str()) != 0)
            fail("find failed");
    });
    double walk = bestOf(3, [&] {
        FSMemoryFSCache cache;
        cache.initFromPath(root, false);
        if (cache.fileCount != count)
            fail("the walk missed files");
    });

    FolderCacheActivity::ChangeList changes;
    auto start = std::chrono::steady_clock::now();
    runScan(root, db, settings, &changes);
    double first = secondsSince(start);
    start = std::chrono::steady_clock::now();
    Nuvaro::DataSync::DataSyncStore store;
    for (const auto& record : changes)
        store.putChangedRecord(record);
    int saved = 0;
    if (!db->saveDataStore("/acct1", store, saved))
        fail("save failed");
    double save = secondsSince(start);
    changes.clear();
    store = Nuvaro::DataSync::DataSyncStore();

    // Memory of the walk alone and of a no-change scan, each in a child that
    // starts with the first scan's memory handed back.
    malloc_trim(0);
    long walkAdded = measureInChild([&] {
        FSMemoryFSCache cache;
        cache.initFromPath(root, false);
        return 0L;
    }).first;
    std::pair<long, long> scanMemory = measureInChild([&] { return static_cast<long>(runScan(root, db, settings)); });

    std::size_t unchangedFound = 0;
    double noChange = bestOf(2, [&] { unchangedFound = runScan(root, db, settings); });
    if (unchangedFound != 0 || scanMemory.second != 0)
        fail("the no-change scan found changes");

    for (int i = 0; i < count; i += 100)
        std::ofstream(root + "/" + fileName(i), std::ios::binary) << std::string(200, 'y');
    start = std::chrono::steady_clock::now();
    std::size_t changed = runScan(root, db, settings);
    double onePercent = secondsSince(start);
    if (changed != static_cast<std::size_t>((count + 99) / 100))
        fail("the 1% scan found " + std::to_string(changed) + " changes");
    db->closeDB();

    std::printf("%8d  %7.3f  %7.3f %5.2fx  %7.3f  %6.3f  %9.3f %5.2fx  %9.3f %5.2fx  %10.0f  %10.0f  %8.1f\n", count,
                find, walk, walk / find, first, save, noChange, noChange / find, onePercent, onePercent / find,
                walkAdded * 1024.0 / count, scanMemory.first * 1024.0 / count, scanMemory.first / 1024.0);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    std::printf("folder scan benchmark (times in seconds, warm cache; ratios against find)\n");
    std::printf("%8s  %7s  %7s %6s  %7s  %6s  %9s %6s  %9s %6s  %10s  %10s  %8s\n", "files", "find", "walk", "ratio",
                "first", "save", "no change", "ratio", "1% change", "ratio", "walk B/file", "scan B/file",
                "scan MB");
    return BenchSizes::runEachSizeInChild(BenchSizes::sizesFromArguments(argc, argv), "scanbench-", runSize);
}
