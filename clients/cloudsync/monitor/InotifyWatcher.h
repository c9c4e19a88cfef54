#pragma once

// The watching mechanism of the change monitors: one folder tree watched with
// Linux inotify on a thread of its own (named "Sync"), woken for shutdown by a
// pipe. It only says *that* something changed, through a callback run on its
// thread once per burst of changes; what changed is for the receiver to find
// out (the sync worker scans the whole tree). FSMonitor (the sync folder) and
// the web-edit monitor of the local services are thin owners of one each, with
// their own log texts, so two monitors live side by side in one process:
// descriptors, pipe and watch list belong to the object.
//
// Watches (mask IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE |
// IN_DELETE | IN_DELETE_SELF) are placed on the root and every folder below
// it; a link inside the tree is never followed (only the root itself may be
// one), and a folder (device + inode) is never watched twice. Every event of
// every read is handled:
//   - a folder created or moved in: it and its subfolders are watched;
//   - a folder deleted or moved away: its watches and those below it go
//     (IN_IGNORED, sent when the kernel drops a watch, also forgets it);
//   - IN_Q_OVERFLOW (the kernel dropped events): every watch is placed anew
//     from the root, and the callback runs, since anything may have changed;
//   - anything else: the callback runs.
// A burst ends when no event came for settleMs (or maxSettleMs after it
// began); the callback runs once per burst.
//
// When a folder cannot be watched because the watch limit is reached (ENOSPC,
// or the cap), the error line is logged once and complete() turns false: the
// owner then has to fall back to periodic scans. The walk goes on below it
// without watching, to count the folders left unwatched (unwatchedCount()),
// which the owner tells the user.
//
// The cap: Options::maxWatches when set; otherwise the watcher takes at most
// freeWatchesPercent of the user's free watches (the system's
// fs.inotify.max_user_watches, read from Options::maxUserWatchesFile, minus
// the watches the user's programs hold now), leaving the rest to other
// programs. Worked example: max_user_watches 8192, 1192 in use, 75 percent:
// at most 5250 folders are watched. The cap is worked out whenever the whole
// tree is watched anew (start, and after an overflow); at least the root is
// always tried.
//
// Watches are also kept by path, in path order, so that the watches at and
// below a removed folder are found without looking at any other watch.
//
// Lifecycle: construct (no I/O) -> start() -> stop() (also from the
// destructor). stop() may be called before start(), after a failed start()
// and twice. Threads: start(), stop() and the destructor on the owner's
// thread; run() and everything it calls on the watch thread, which alone
// touches the inotify descriptor and the watch list. complete(), isRunning()
// and watchCount() may be read from any thread.

#include <Poco/Event.h>
#include <Poco/Logger.h>
#include <Poco/Runnable.h>
#include <Poco/Thread.h>

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace Nuvaro {
namespace Sync {

class InotifyWatcher : public Poco::Runnable {
public:
    static const unsigned WATCH_MASK = 0x7C2;
    static const std::size_t READ_BUFFER_SIZE = 32768;

    struct Options {
        // Logger of the start, the loop and its errors ("FSMonitor",
        // "FSMonitorWebEdit"); the watch and wait lines, and the shutdown
        // lines, go to "Sync".
        std::string logger;
        // Trace line of start(): this text + the root path.
        std::string startText;
        // Error line when the wake-up pipe cannot be made.
        std::string pipeFailedText;
        // Trace lines of stop(), before and after the thread is joined.
        std::string shutdownText;
        std::string exitedText;
        // A burst of events ends after settleMs without one, or maxSettleMs
        // after its first event.
        long settleMs = 200;
        long maxSettleMs = 2000;
        // Most folders watched (0: the share of the free watches below).
        // Reaching it is handled as the kernel's ENOSPC.
        std::size_t maxWatches = 0;
        // Without maxWatches: the percentage of the user's free watches
        // taken (100: all of them), and where the system's limit is read.
        // When the limit cannot be read, only the kernel's limit applies.
        unsigned freeWatchesPercent = 75;
        std::string maxUserWatchesFile = "/proc/sys/fs/inotify/max_user_watches";
        // The watches the user's programs hold now; empty: watchesInUse().
        std::function<std::size_t()> countWatchesInUse;
    };

    // No I/O. onChange runs on the watch thread, once per burst.
    InotifyWatcher(const std::string& root, const Options& options, std::function<void()> onChange);
    ~InotifyWatcher() override;
    InotifyWatcher(const InotifyWatcher&) = delete;
    InotifyWatcher& operator=(const InotifyWatcher&) = delete;

    // Makes the wake-up pipe, starts the thread and waits until it has
    // placed its watches (or ended early), so that every change after the
    // return is seen.
    // False (no thread) when the pipe or the thread cannot be made, and after
    // stop().
    bool start();
    // Sets the stop flag, wakes the thread, joins it and closes every
    // descriptor. Returns when no thread of this object runs.
    void stop();

    bool isRunning() const { return m_thread.isRunning(); }
    // True while the thread watches every folder of the tree; false before
    // start, after the thread ended early (inotify unavailable, an
    // exception) and once a folder could not be watched for the watch limit.
    bool complete() const { return m_complete.load(); }
    // Folders watched now.
    std::size_t watchCount() const { return m_watchCount.load(); }
    // Folders of the tree left unwatched for the watch limit, as counted when
    // the tree was last watched anew, plus those made since then (folders
    // removed since are not taken off). 0 while every folder is watched.
    std::size_t unwatchedCount() const { return m_unwatchedCount.load(); }

    // Watches held now by the programs of this user (every inotify
    // descriptor's watches, as /proc shows them); 0 when /proc cannot be read.
    static std::size_t watchesInUse();
    // Watches held by one process, given its folder in /proc ("/proc/self",
    // "/proc/1234"); 0 when it cannot be read.
    static std::size_t watchesOfProcess(const std::string& processFolder);

    // The thread body: places the watches, sets the ready event, then runs
    // the watch loop.
    void run() override;

private:
    // One watched folder.
    struct Watch {
        std::string path;
        std::pair<dev_t, ino_t> identity;
    };
    // What the events of one read asked for.
    struct Findings {
        bool changed = false;
        bool overflow = false;
    };

    void process();
    // Waits until the inotify descriptor or the pipe is readable, at most
    // timeoutMs (-1: no limit).
    enum WaitResult { WAIT_EVENTS, WAIT_TIMEOUT, WAIT_WOKEN, WAIT_FAILED };
    WaitResult waitForEvents(long timeoutMs);
    // Reads once and handles every event of the read.
    void readEvents(Findings& findings);
    void handleEvent(int wd, unsigned mask, const std::string& name, Findings& findings);
    // Watches the whole tree from the root; complete() tells whether every
    // folder of it is watched.
    void watchTree();
    // Watches `path` and every folder below it (not followed into a folder
    // already watched).
    void addWatches(const std::string& path);
    // Removes the watches of `path` and of every folder below it.
    void removeWatchesBelow(const std::string& path);
    // Removes every watch.
    void removeWatches();
    void forget(int wd);
    void watchLimitReached(int error);
    // The cap for the next watchTree (see the class comment); 0: none.
    std::size_t watchCap() const;
    void logWatching();

    const std::string m_root;
    const Options m_options;
    const std::function<void()> m_onChange;
    Poco::Logger& m_log;
    Poco::Logger& m_syncLog;

    // ---- Owner's thread (start, stop) ----
    Poco::Thread m_thread;
    Poco::Event m_ready;
    std::mutex m_lifecycleMutex;
    bool m_started = false;
    // Wake-up pipe: [0] read end (watched by the thread), [1] write end.
    int m_pipe[2] = {-1, -1};

    // ---- Any thread ----
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_complete{false};
    std::atomic<std::size_t> m_watchCount{0};
    std::atomic<std::size_t> m_unwatchedCount{0};

    // ---- Watch thread only ----
    int m_fd = -1;
    std::map<int, Watch> m_watchList;
    // The same watches by (path, descriptor): a folder's own watch and those
    // below it ("path/...") sit together.
    std::set<std::pair<std::string, int>> m_watchesByPath;
    std::set<std::pair<dev_t, ino_t>> m_watchedFolders;
    std::size_t m_cap = 0;
    bool m_limitLogged = false;
};

} // namespace Sync
} // namespace Nuvaro
