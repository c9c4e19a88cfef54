// Timed program: the sync worker's passes against the test server, which
// runs as a process of its own (vaultpine-testserver on loopback, files on
// disk), so that the figures of this process are the worker's alone.
//
// For each file count (default 10,000 and 100,000; about 10 files per
// folder, as in scan_bench), in a child process of its own:
//   first pass  the first pass of a device whose sync folder already holds
//               the server's files (same sizes and seconds): the whole delta
//               is recorded, nothing is downloaded
//   no change   a whole pass with no change, best of 3: a scan of the sync
//               folder (without the scan's start pause) and the pass
//               (folder list and an empty delta); also both parts alone
//   find        find DIR -printf '%s %T@\n' > /dev/null of the same tree
//               (best of 3, warm cache), and one round trip (the folder-list
//               request, best of 5)
//   memory      peak resident memory above the logged-in worker's, per
//               tracked file: during the first pass, and during no-change
//               passes (with everything the worker keeps resident)
//   idle CPU    a worker started as the runner starts it (thread, change
//               monitor, real intervals, passes every 120 s): after its
//               first pass and scan have settled, the CPU time of this
//               process over a window between passes (/proc/self/stat), as a
//               share of one core
// Then the apply step of a first sync of 10,000 files of 4 KiB in one
// folder, beside the same count over 1,000 folders (10 per folder): the
// receiving device's apply step alone (the delta and the downloads before
// it are not timed); the ratio shows whether the step stays linear in the
// size of a folder.
// Then, on fresh servers: the first sync of 1,000 files of 4 KiB and of
// one 256 MiB file (uploaded by one device, then received by a second one),
// beside the same transfers through a plain connector, one file after the
// other (the transfer benchmark's figures for the same bytes: uploadFile,
// chunkedUploadFile in the worker's 10 MiB pieces, downloadFile). Engine and
// plain rounds take turns (3 of each, each on a server of its own), so that
// a slow spell of the machine weighs on both; the median of each is printed.
//
// Aims: a no-change pass within 4x of find plus one round trip, an idle
// worker under 1% of one core, under 1 KB per tracked file, a first sync
// within 1.5x of the plain transfers.
//
// Usage: sync_bench [--idle-seconds S] [--small N] [--big MiB] [--rounds R]
//                   [--apply N] [count ...]
//        (defaults: 60 s, 1000 files, 256 MiB, 3 rounds (also the least),
//        10000 files, counts 10000 100000; --small 0 --big 0 leaves the
//        first-sync part out, --apply 0 the apply step)
//
// A failure stops the test servers of the failing process before it exits.
// SYNC_BENCH_LOG=FILE writes the worker's trace log to FILE (with times, to
// see where a pass spends them; it slows the figures down).

#include "FSSyncDB.h"
#include "FSWorker.h"
#include "FolderCacheActivity.h"
#include "nuvarocbfs_Network.h"

#include "BenchSizes.h"

#include <Poco/File.h>
#include <Poco/AutoPtr.h>
#include <Poco/FileChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/PatternFormatter.h>
#include <Poco/Message.h>
#include <Poco/Path.h>
#include <Poco/Thread.h>
#include <Poco/Timestamp.h>

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#ifndef SYNC_BENCH_TESTSERVER
#error "SYNC_BENCH_TESTSERVER names the test server program"
#endif

extern char** environ;

using Nuvaro::Sync::FSSyncDB;
using Nuvaro::Sync::FSWorker;

namespace {

using BenchSizes::bestOf;
using BenchSizes::secondsSince;

const char* const kUser = "user1";
const char* const kPassword = "pass1";
const Poco::Int64 kPiece = 10485760;  // the worker's upload pieces

struct Options {
    int idleSeconds = 60;
    int smallFiles = 1000;
    int bigMiB = 256;
    int rounds = 3;
    int applyFiles = 10000;
    std::vector<int> counts;
};
Options options;

// The test servers this process started and has not stopped yet.
std::vector<pid_t> runningServers;

void stopServer(pid_t pid) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    runningServers.erase(std::remove(runningServers.begin(), runningServers.end(), pid), runningServers.end());
}

// Ends the process at once (no destructors run), its test servers stopped
// first so that none is left running.
[[noreturn]] void fail(const std::string& what) {
    while (!runningServers.empty())
        stopServer(runningServers.back());
    std::fprintf(stderr, "sync_bench: %s\n", what.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

template <typename Body>
double timed(Body body) {
    auto start = std::chrono::steady_clock::now();
    body();
    return secondsSince(start);
}

// A line "Name:   N kB" of /proc/self/status, in KB.
long statusKB(const char* name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(name) + ":";
    while (std::getline(status, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    return -1;
}
long residentKB() { return statusKB("VmRSS"); }
long peakKB() { return statusKB("VmHWM"); }
// Starts a new peak at the current resident size.
void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// CPU time (user + system) of this process so far, in seconds.
double processCpuSeconds() {
    std::ifstream in("/proc/self/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(all.substr(all.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields 3 to 13 come before utime (14) and stime (15).
    for (int i = 3; i <= 13; ++i)
        fields >> field;
    fields >> utime >> stime;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ---- The test server, a process of its own ----

class ServerProcess {
public:
    // Starts the server with the account user1/pass1, its files kept in
    // `dataDir`, the account's own files loaded from `seed` when given.
    ServerProcess(const std::string& dataDir, const std::string& seed) {
        const std::string portFile = dataDir + ".port";
        std::vector<std::string> words{SYNC_BENCH_TESTSERVER, "--data", dataDir, "--port-file", portFile,
                                       "--account", std::string(kUser) + ":" + kPassword};
        if (!seed.empty()) {
            words.push_back("--seed");
            words.push_back(std::string(kUser) + "=" + seed);
        }
        Poco::File(dataDir).createDirectories();
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(&word[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, (dataDir + ".log").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int spawned = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0)
            fail("cannot start the test server " + words[0]);
        runningServers.push_back(m_pid);
        // Loading 100,000 files takes a while.
        for (int i = 0; i < 6000 && !Poco::File(portFile).exists(); ++i) {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                runningServers.erase(std::remove(runningServers.begin(), runningServers.end(), m_pid),
                                     runningServers.end());
                m_pid = -1;
                fail("the test server ended (see " + dataDir + ".log)");
            }
            Poco::Thread::sleep(100);
        }
        int port = 0;
        std::ifstream(portFile) >> port;
        if (port == 0)
            fail("the test server did not start");
        url = "http://127.0.0.1:" + std::to_string(port);
    }
    ~ServerProcess() {
        if (m_pid > 0)
            stopServer(m_pid);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    std::string url;

private:
    pid_t m_pid = -1;
};

// ---- A device ----

class BenchWorker : public FSWorker {
public:
    using FSWorker::FSWorker;
    using FSWorker::folderCheck;
    using FSWorker::doDownloadFiles;
    using FSWorker::doEndSync;
    using FSWorker::doGetSyncDelta;
    using FSWorker::doGetSyncFolderList;
    using FSWorker::harvestFolderCheck;
    using FSWorker::localChanges;
    using FSWorker::pass;
    using FSWorker::passesStarted;
    using FSWorker::restartFolderCheckActivity;
    using FSWorker::runSyncPass;
    using FSWorker::serverHalf;
};

Nuvaro::Record deviceSettings(const std::string& url, const std::string& device) {
    return Nuvaro::Record(new std::map<std::string, std::string>{{"url", url},
                                                                 {"profile", kUser},
                                                                 {"password", kPassword},
                                                                 {"hostname", device},
                                                                 {"friendlyname", device},
                                                                 {"os", "Linux"},
                                                                 {"networkfoldername", "Network Folders"},
                                                                 {"teamfoldername", "Team Folders"},
                                                                 {"teamfolderaccount", "teamacct"},
                                                                 {"maxthreads", "5"},
                                                                 {"skipinusecheck", "1"},
                                                                 {"skipdeleteapproval", "1"}});
}

// A device's folders (root/sync, root/data) and database.
class Device {
public:
    Device(const std::string& root, const std::string& url, const std::string& name)
        : m_root(root), m_url(url), m_name(name), m_db(new FSSyncDB()) {
        Poco::File(myFiles()).createDirectories();
        Poco::File(root + "/data").createDirectories();
        if (!m_db->openDB(root + "/data/syncclient.db", ""))
            fail("cannot open the database of " + name);
    }
    ~Device() {
        if (m_worker)
            m_worker->shutdown();
    }
    std::string syncRoot() const { return m_root + "/sync"; }
    std::string myFiles() const { return syncRoot() + "/My Files"; }

    // A worker without its thread, logged in; the test's thread drives it.
    // Scans start without their pause.
    BenchWorker& driven() {
        make();
        FSWorker::Intervals intervals;
        intervals.scanStartDelayMs = 0;
        m_worker->setIntervalsForTesting(intervals);
        Nuvaro::RecordList settings{deviceSettings(m_url, m_name)};
        if (!m_worker->configureAndLogInForTesting(settings, false, "Network Folders", "Team Folders", "teamacct"))
            fail("login of " + m_name + " failed");
        return *m_worker;
    }
    // A worker started as the runner starts it.
    BenchWorker& started() {
        make();
        Nuvaro::RecordList settings{deviceSettings(m_url, m_name)};
        if (!m_worker->startup(settings, true, "Network Folders", "Team Folders", "teamacct"))
            fail("start of " + m_name + " failed");
        return *m_worker;
    }

    // A whole scan, harvested as the run loop does; the number of changes.
    std::size_t scan() {
        BenchWorker& w = *m_worker;
        w.restartFolderCheckActivity();
        if (!w.folderCheck)
            fail("no scan started");
        w.folderCheck->activity().wait();
        w.harvestFolderCheck();
        return w.localChanges.size();
    }

private:
    void make() {
        if (m_worker)
            m_worker->shutdown();
        m_worker.reset();
        m_worker.reset(new BenchWorker(syncRoot(), m_root + "/data", m_db, false));
    }

    std::string m_root, m_url, m_name;
    boost::shared_ptr<FSSyncDB> m_db;
    std::unique_ptr<BenchWorker> m_worker;
};

// ---- Passes over 10,000 and 100,000 files ----

std::string treeFile(int i) {
    char name[64];
    std::snprintf(name, sizeof name, "g%03d/folder%05d/file%02d.dat", i / 1000, i / 10, i % 10);
    return name;
}

void buildTree(const std::string& root, int count) {
    const Poco::Timestamp modified = Poco::Timestamp::fromEpochTime(1709287200);
    for (int i = 0; i < count; ++i) {
        const std::string path = root + "/" + treeFile(i);
        if (i % 10 == 0)
            Poco::File(Poco::Path(path).parent()).createDirectories();
        std::ofstream(path, std::ios::binary) << std::string(static_cast<std::size_t>(i % 97), 'x');
        Poco::File(path).setLastModified(modified);
    }
}

void runSize(const std::string& folder, int count) {
    const std::string myFiles = folder + "/laptop/sync/My Files";
    buildTree(myFiles, count);
    ServerProcess server(folder + "/server", myFiles);
    Device laptop(folder + "/laptop", server.url, "laptop");
    BenchWorker& worker = laptop.driven();
    const long base = residentKB();
    resetPeak();

    double first = timed([&] { worker.runSyncPass(); });
    if (!worker.serverHalf.complete || !worker.serverHalf.deltaHadRecords)
        fail("the first pass did not record the server's files");
    if (laptop.scan() != 0)
        fail("the scan after the first pass found changes");
    const long firstPeak = peakKB();

    // What the first pass freed goes back to the system first, so that the
    // peak of the no-change passes is their own.
    malloc_trim(0);
    resetPeak();
    double scanOnly = 1e9, serverOnly = 1e9;
    double noChange = bestOf(3, [&] {
        auto start = std::chrono::steady_clock::now();
        if (laptop.scan() != 0)
            fail("the no-change scan found changes");
        scanOnly = std::min(scanOnly, secondsSince(start));
        start = std::chrono::steady_clock::now();
        worker.runSyncPass();
        serverOnly = std::min(serverOnly, secondsSince(start));
        if (!worker.serverHalf.complete || worker.serverHalf.deltaHadRecords)
            fail("the no-change pass failed or brought records");
    });
    const long noChangePeak = peakKB();

    double roundTrip = bestOf(5, [&] {
        bool gotReply = false;
        worker.pass.syncFolders.clear();
        if (!worker.doGetSyncFolderList(gotReply))
            fail("folder list failed");
    });
    const std::string findCommand = "find '" + laptop.myFiles() + "' -printf '%s %T@\\n' > /dev/null";
    double find = bestOf(3, [&] {
        if (std::system(findCommand.c_str()) != 0)
            fail("find failed");
    });

    // The idle worker: started, first pass and scan settled, then a window
    // without a pass.
    BenchWorker& idle = laptop.started();
    for (int i = 0; i < 1200 && idle.passesStarted.load() == 0; ++i)
        Poco::Thread::sleep(100);
    if (idle.passesStarted.load() == 0)
        fail("the started worker ran no pass");
    Poco::Thread::sleep(20000);  // the scan asked for after the first reply
    const int passesBefore = idle.passesStarted.load();
    const double cpuBefore = processCpuSeconds();
    const auto windowStart = std::chrono::steady_clock::now();
    Poco::Thread::sleep(static_cast<long>(options.idleSeconds) * 1000);
    const double idleShare = (processCpuSeconds() - cpuBefore) / secondsSince(windowStart);
    const int passesDuring = idle.passesStarted.load() - passesBefore;

    const double aim = 4 * find + roundTrip;
    std::printf("%8d  %7.3f  %7.3f  %7.3f %7.3f %7.3f  %7.3f %7.4f  %6.2fx %-4s  %7.0f  %7.0f  %7.3f%% %s\n", count,
                first, noChange, scanOnly, serverOnly, find, aim, roundTrip, noChange / (find + roundTrip),
                noChange <= aim ? "ok" : "OVER", (firstPeak - base) * 1024.0 / count,
                (noChangePeak - base) * 1024.0 / count, idleShare * 100.0,
                passesDuring == 0 ? "" : "(a pass ran in the window)");
    std::fflush(stdout);
}

// ---- The apply step: many files in one folder ----

// The first sync of `count` files of 4 KiB that the server holds under
// /user1/apply: spread over folders of 10 files, or all in one folder. The
// folder list, the delta and the downloads run as in a pass; only the apply
// step (doEndSync) is timed.
std::string applyFile(int i, bool oneFolder) {
    char name[64];
    if (oneFolder)
        std::snprintf(name, sizeof name, "apply/f%05d.txt", i);
    else
        std::snprintf(name, sizeof name, "apply/d%04d/f%05d.txt", i / 10, i);
    return name;
}

double firstApply(const std::string& folder, int count, bool oneFolder) {
    const std::string seed = folder + "/seed";
    const std::string content(4096, 'a');
    for (int i = 0; i < count; ++i) {
        const std::string path = seed + "/" + applyFile(i, oneFolder);
        if (oneFolder ? i == 0 : i % 10 == 0)
            Poco::File(Poco::Path(path).parent()).createDirectories();
        std::ofstream(path, std::ios::binary) << content;
    }
    ServerProcess server(folder + "/server", seed);
    Device desktop(folder + "/desktop", server.url, "desktop");
    BenchWorker& worker = desktop.driven();
    bool gotReply = false;
    worker.pass.syncFolders.clear();
    if (!worker.doGetSyncFolderList(gotReply) || worker.pass.syncFolders.empty())
        fail("folder list failed");
    double apply = 0;
    for (const auto& synced : std::vector<std::pair<std::string, bool>>(worker.pass.syncFolders)) {
        std::string name = synced.first;
        if (!worker.doGetSyncDelta(name, gotReply))
            fail("the delta of " + name + " failed");
        if (!worker.doDownloadFiles(name, synced.second))
            fail("the downloads of " + name + " failed");
        apply += timed([&] {
            if (!worker.doEndSync(name))
                fail("the apply step of " + name + " failed");
        });
    }
    if (!Poco::File(desktop.myFiles() + "/" + applyFile(count - 1, oneFolder)).exists())
        fail("the files to apply did not reach the device");
    return apply;
}

void runApply(const std::string& folder, int count) {
    const double spread = firstApply(folder + "/spread", count, false);
    const double one = firstApply(folder + "/one", count, true);
    std::printf("\napply step of a first sync (seconds; delta and downloads not timed)\n");
    std::printf("%-38s one folder %8.3f s   %d folders %8.3f s   ratio %.2f\n",
                (std::to_string(count) + " x 4 KiB").c_str(), one, (count + 9) / 10, spread, one / spread);
    std::fflush(stdout);
}

// ---- First sync beside plain transfers ----

void writeSmallFiles(const std::string& dir, int count) {
    Poco::File(dir).createDirectories();
    const std::string content(4096, 's');
    for (int i = 0; i < count; ++i)
        std::ofstream(dir + "/f" + std::to_string(i) + ".txt", std::ios::binary) << content;
}

void writeBigFile(const std::string& path, Poco::Int64 bytes) {
    // Sparse: reading it costs no disk time.
    std::ofstream(path, std::ios::binary).close();
    if (::truncate(path.c_str(), static_cast<off_t>(bytes)) != 0)
        fail("cannot make " + path);
}

struct Pair {
    double engine = 0, plain = 0;
};

void printPair(const char* what, const Pair& pair, double mib) {
    std::printf("%-38s engine %8.2f s %8.1f MiB/s   plain %8.2f s %8.1f MiB/s   ratio %.2f %s\n", what, pair.engine,
                mib / pair.engine, pair.plain, mib / pair.plain, pair.engine / pair.plain,
                pair.engine <= 1.5 * pair.plain ? "ok" : "OVER");
}

// The four timings of one round, engine or plain (seconds; 0: left out).
struct Transfers {
    double smallUp = 0, smallDown = 0, bigUp = 0, bigDown = 0;
};

// One engine round in `folder`, on a server of its own: a device sends the
// small files, then the big one, and a second device receives each.
Transfers engineRound(const std::string& folder) {
    const Poco::Int64 bigBytes = static_cast<Poco::Int64>(options.bigMiB) * 1024 * 1024;
    Transfers round;
    ServerProcess server(folder + "/server", "");
    Device laptop(folder + "/laptop", server.url, "laptop");
    Device desktop(folder + "/desktop", server.url, "desktop");
    BenchWorker& up = laptop.driven();
    BenchWorker& down = desktop.driven();
    up.runSyncPass();
    down.runSyncPass();
    if (options.smallFiles > 0) {
        writeSmallFiles(laptop.myFiles() + "/small", options.smallFiles);
        if (laptop.scan() == 0)
            fail("the scan found no small files");
        round.smallUp = timed([&] { up.runSyncPass(); });
        round.smallDown = timed([&] { down.runSyncPass(); });
        if (!Poco::File(desktop.myFiles() + "/small/f" + std::to_string(options.smallFiles - 1) + ".txt").exists())
            fail("the small files did not reach the second device");
    }
    if (bigBytes > 0) {
        writeBigFile(laptop.myFiles() + "/big.bin", bigBytes);
        if (laptop.scan() == 0)
            fail("the scan found no big file");
        round.bigUp = timed([&] { up.runSyncPass(); });
        round.bigDown = timed([&] { down.runSyncPass(); });
        if (!Poco::File(desktop.myFiles() + "/big.bin").exists() ||
            static_cast<Poco::Int64>(Poco::File(desktop.myFiles() + "/big.bin").getSize()) != bigBytes)
            fail("the big file did not reach the second device");
    }
    return round;
}

// One plain round in `folder`: the same bytes through a plain connector, one
// file after the other, into a folder the seed made, on a server of its own.
Transfers plainRound(const std::string& folder) {
    const Poco::Int64 bigBytes = static_cast<Poco::Int64>(options.bigMiB) * 1024 * 1024;
    Transfers round;
    const std::string seed = folder + "/plain-seed";
    Poco::File(seed + "/plain").createDirectories();
    ServerProcess server(folder + "/plain-server", seed);
    Nuvaro::RecordList settings{deviceSettings(server.url, "plain")};
    Nuvaro::NuvaroConnector connector(settings, false, "Cloud Sync");
    if (!connector.Authenticate(true))
        fail("plain login failed: " + connector.getLastError());
    const std::string local = folder + "/plain-local";
    std::string error;
    if (options.smallFiles > 0) {
        writeSmallFiles(local, options.smallFiles);
        round.smallUp = timed([&] {
            for (int i = 0; i < options.smallFiles; ++i)
                if (!connector.uploadFile("/user1/plain", local + "/f" + std::to_string(i) + ".txt", error, "sync",
                                          -1))
                    fail("plain upload: " + error);
        });
        round.smallDown = timed([&] {
            for (int i = 0; i < options.smallFiles; ++i) {
                const std::string name = "f" + std::to_string(i) + ".txt";
                if (!connector.downloadFile("/user1/plain", name, local + "/down-" + name, error, "sync", -1, -1))
                    fail("plain download: " + error);
            }
        });
    }
    if (bigBytes > 0) {
        writeBigFile(local + "/big.bin", bigBytes);
        std::atomic<bool> cancel{false};
        round.bigUp = timed([&] {
            if (!connector.chunkedUploadFile("/user1/plain", local + "/big.bin", error, cancel, "sync", kPiece, ""))
                fail("plain chunked upload: " + error);
        });
        round.bigDown = timed([&] {
            if (!connector.downloadFile("/user1/plain", "big.bin", local + "/down-big.bin", error, "sync", -1, -1))
                fail("plain download: " + error);
        });
    }
    return round;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The median of one timing over the rounds, engine beside plain.
Pair medianPair(const std::vector<Transfers>& engine, const std::vector<Transfers>& plain,
                double Transfers::*timing) {
    std::vector<double> e, p;
    for (const Transfers& round : engine)
        e.push_back(round.*timing);
    for (const Transfers& round : plain)
        p.push_back(round.*timing);
    return {median(e), median(p)};
}

void runFirstSync(const std::string& folder, int) {
    // Engine and plain rounds take turns; each round's folder (its server's
    // files and the devices' copies) goes before the next round starts.
    std::vector<Transfers> engine, plain;
    for (int round = 0; round < options.rounds; ++round) {
        const std::string engineFolder = folder + "/engine" + std::to_string(round);
        engine.push_back(engineRound(engineFolder));
        Poco::File(engineFolder).remove(true);
        const std::string plainFolder = folder + "/plain" + std::to_string(round);
        plain.push_back(plainRound(plainFolder));
        Poco::File(plainFolder).remove(true);
    }

    std::printf("\nfirst sync beside plain connector transfers (one file after the other; seconds, wall time; "
                "median of %d interleaved rounds each)\n",
                options.rounds);
    const double smallMiB = options.smallFiles * 4096.0 / (1024 * 1024);
    if (options.smallFiles > 0) {
        const std::string up = std::to_string(options.smallFiles) + " x 4 KiB, upload (scan excluded)";
        const std::string down = std::to_string(options.smallFiles) + " x 4 KiB, second device receives";
        printPair(up.c_str(), medianPair(engine, plain, &Transfers::smallUp), smallMiB);
        printPair(down.c_str(), medianPair(engine, plain, &Transfers::smallDown), smallMiB);
    }
    if (options.bigMiB > 0) {
        const std::string up = std::to_string(options.bigMiB) + " MiB file, upload in pieces";
        const std::string down = std::to_string(options.bigMiB) + " MiB file, second device receives";
        printPair(up.c_str(), medianPair(engine, plain, &Transfers::bigUp), options.bigMiB);
        printPair(down.c_str(), medianPair(engine, plain, &Transfers::bigDown), options.bigMiB);
    }
    std::fflush(stdout);
}

void parse(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&] {
            if (i + 1 >= argc)
                fail("missing value after " + arg);
            return std::atoi(argv[++i]);
        };
        if (arg == "--idle-seconds")
            options.idleSeconds = value();
        else if (arg == "--small")
            options.smallFiles = value();
        else if (arg == "--big")
            options.bigMiB = value();
        else if (arg == "--rounds")
            options.rounds = std::max(3, value());
        else if (arg == "--apply")
            options.applyFiles = value();
        else if (!arg.empty() && arg[0] != '-' && std::atoi(arg.c_str()) > 0)
            options.counts.push_back(std::atoi(arg.c_str()));
        else
            fail("usage: sync_bench [--idle-seconds S] [--small N] [--big MiB] [--rounds R] [--apply N] "
                 "[count ...]");
    }
    if (options.counts.empty())
        options.counts = {10000, 100000};
}

} // namespace

int main(int argc, char** argv) {
    parse(argc, argv);
    Poco::Logger::root().setLevel("error");
    Poco::Logger::setLevel("", Poco::Message::PRIO_ERROR);
    if (const char* logFile = std::getenv("SYNC_BENCH_LOG")) {
        Poco::AutoPtr<Poco::FormattingChannel> channel(new Poco::FormattingChannel(
            new Poco::PatternFormatter("%H:%M:%S.%i %s %I %t"), new Poco::FileChannel(logFile)));
        Poco::Logger::root().setChannel(channel);
        Poco::Logger::root().setLevel("trace");
        for (const char* name : {"Sync", "FSMonitor", "FolderCacheActivity"}) {
            Poco::Logger::get(name).setChannel(channel);
            Poco::Logger::get(name).setLevel("trace");
        }
    }

    std::printf("sync worker benchmark (seconds; test server in its own process on loopback; warm cache)\n");
    std::printf("memory: peak resident above the logged-in worker, per tracked file; idle: CPU of the started worker "
                "over %d s between passes\n",
                options.idleSeconds);
    std::printf("%8s  %7s  %7s  %7s %7s %7s  %7s %7s  %7s      %7s  %7s  %8s\n", "files", "first", "nochange", "scan",
                "pass", "find", "4f+rtt", "rtt", "vs f+rtt", "B/file1", "B/file", "idle");
    if (BenchSizes::runEachSizeInChild(options.counts, "syncbench-", runSize) != 0)
        return 1;
    if (options.applyFiles > 0 &&
        BenchSizes::runEachSizeInChild({options.applyFiles}, "syncbench-apply-", runApply) != 0)
        return 1;
    if (options.smallFiles > 0 || options.bigMiB > 0)
        return BenchSizes::runEachSizeInChild({1}, "syncbench-first-", runFirstSync);
    return 0;
}
