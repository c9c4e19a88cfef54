#include "InotifyWatcher.h"

#include <Poco/NumberFormatter.h>
#include <Poco/Timestamp.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <cstring>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Nuvaro {
namespace Sync {

namespace {

std::string number(long value) {
    return Poco::NumberFormatter::format(value);
}

void closeOnce(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

bool below(const std::string& path, const std::string& folder) {
    return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                              path[folder.size()] == '/');
}

} // namespace

InotifyWatcher::InotifyWatcher(const std::string& root, const Options& options, std::function<void()> onChange)
    : m_root(root),
      m_options(options),
      m_onChange(std::move(onChange)),
      m_log(Poco::Logger::get(options.logger)),
      m_syncLog(Poco::Logger::get("Sync")),
      m_thread("Sync"),
      m_ready(Poco::Event::EVENT_AUTORESET) {}

InotifyWatcher::~InotifyWatcher() {
    try {
        stop();
    } catch (...) {
    }
}

bool InotifyWatcher::start() {
    std::lock_guard<std::mutex> lock(m_lifecycleMutex);
    if (m_started || m_stop.load())
        return false;
    m_log.trace(m_options.startText + m_root);
    if (::pipe2(m_pipe, O_CLOEXEC) != 0) {
        m_log.error(m_options.pipeFailedText);
        m_pipe[0] = m_pipe[1] = -1;
        return false;
    }
    try {
        m_thread.start(*this);
    } catch (const std::exception& e) {
        m_log.error(std::string("start Exception caught : ") + e.what());
        closeOnce(m_pipe[0]);
        closeOnce(m_pipe[1]);
        return false;
    }
    m_started = true;
    m_ready.wait();
    return true;
}

void InotifyWatcher::stop() {
    std::lock_guard<std::mutex> lock(m_lifecycleMutex);
    m_stop = true;
    if (!m_started)
        return;
    m_syncLog.trace(m_options.shutdownText);
    if (m_pipe[1] >= 0) {
        // The thread only needs the pipe to become readable; a full pipe
        // (never the case here) would be readable as well.
        ssize_t written = ::write(m_pipe[1], "shutdown", 8);
        (void)written;
    }
    m_thread.join();
    closeOnce(m_pipe[0]);
    closeOnce(m_pipe[1]);
    m_started = false;
    m_syncLog.trace(m_options.exitedText);
}

void InotifyWatcher::run() {
    try {
        process();
    } catch (const std::exception& e) {
        m_log.error(std::string("process") + " Exception [" + e.what() + "] caught ");
    } catch (...) {
        m_log.error(std::string("process") + " unknown exception caught ");
    }
    // However the loop ended, nothing stays watched or open.
    if (m_fd >= 0) {
        m_watchList.clear();
        m_watchesByPath.clear();
        m_watchedFolders.clear();
        closeOnce(m_fd);
    }
    m_watchCount = 0;
    m_complete = false;
    // When the loop ended before its watches were placed, start() still
    // waits for this.
    m_ready.set();
}

void InotifyWatcher::process() {
    m_log.trace("FS Linux Monitor process starting");
    m_fd = ::inotify_init1(IN_CLOEXEC);
    if (m_fd < 0) {
        m_log.error("inotify init failed with errno " + number(errno));
        return;
    }
    watchTree();
    m_ready.set();

    while (!m_stop.load()) {
        WaitResult ready = waitForEvents(-1);
        if (ready == WAIT_FAILED)
            Poco::Thread::sleep(100);
        if (ready != WAIT_EVENTS)
            continue;
        Findings findings;
        readEvents(findings);
        if (!findings.changed)
            continue;
        // Gather the rest of the burst before telling the owner once.
        Poco::Timestamp began;
        while (!m_stop.load()) {
            long left = m_options.maxSettleMs - static_cast<long>(began.elapsed() / 1000);
            long wait = left < m_options.settleMs ? left : m_options.settleMs;
            if (wait <= 0 || waitForEvents(wait) != WAIT_EVENTS)
                break;
            readEvents(findings);
        }
        if (m_stop.load())
            break;
        if (findings.overflow) {
            removeWatches();
            watchTree();
        }
        m_onChange();
    }
    removeWatches();
    closeOnce(m_fd);
}

InotifyWatcher::WaitResult InotifyWatcher::waitForEvents(long timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(m_fd, &readable);
    FD_SET(m_pipe[0], &readable);
    int highest = m_fd > m_pipe[0] ? m_fd : m_pipe[0];
    timeval timeout{};
    timeval* limit = nullptr;
    if (timeoutMs >= 0) {
        timeout.tv_sec = timeoutMs / 1000;
        timeout.tv_usec = (timeoutMs % 1000) * 1000;
        limit = &timeout;
    }
    int result = ::select(highest + 1, &readable, nullptr, nullptr, limit);
    if (result < 0) {
        if (errno == EINTR)
            return WAIT_TIMEOUT;
        m_syncLog.trace("iNotify: doSelect failed with errno " + number(errno));
        return WAIT_FAILED;
    }
    if (FD_ISSET(m_pipe[0], &readable)) {
        m_syncLog.trace("iNotify: doselect time to die");
        return WAIT_WOKEN;
    }
    return FD_ISSET(m_fd, &readable) ? WAIT_EVENTS : WAIT_TIMEOUT;
}

void InotifyWatcher::readEvents(Findings& findings) {
    alignas(struct inotify_event) char buffer[READ_BUFFER_SIZE];
    ssize_t length = ::read(m_fd, buffer, sizeof buffer);
    if (length < 0) {
        if (errno == EINTR)
            m_syncLog.trace("iNotify: EINTR. Ignoring");
        else
            m_syncLog.error("iNotify: read call failed with errno " + number(errno));
        return;
    }
    if (length == 0) {
        m_syncLog.error("read call failed because buffer supplied is too small");
        return;
    }
    for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        std::string name = event->len > 0 ? std::string(event->name, ::strnlen(event->name, event->len)) : "";
        handleEvent(event->wd, event->mask, name, findings);
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
}

void InotifyWatcher::handleEvent(int wd, unsigned mask, const std::string& name, Findings& findings) {
    if (m_syncLog.trace())
        m_syncLog.trace("iNotify: changed: " + name + " WD: " + number(wd) + " Mask: 0x" +
                        Poco::NumberFormatter::formatHex(mask));
    if (mask & IN_Q_OVERFLOW) {
        m_syncLog.trace("iNotify: Event queue overflow, watching again and asking for a scan");
        findings.overflow = true;
        findings.changed = true;
        return;
    }
    if (mask & IN_IGNORED) {
        forget(wd);
        return;
    }
    findings.changed = true;
    auto watched = m_watchList.find(wd);
    if (!(mask & IN_ISDIR) || name.empty() || watched == m_watchList.end())
        return;
    std::string folder = watched->second.path + "/" + name;
    if (mask & (IN_CREATE | IN_MOVED_TO)) {
        m_syncLog.trace("iNotify: Directory changed, watching " + folder);
        addWatches(folder);
        logWatching();
    } else if (mask & (IN_DELETE | IN_MOVED_FROM)) {
        m_syncLog.trace("iNotify: Directory changed, no longer watching " + folder);
        removeWatchesBelow(folder);
        logWatching();
    }
}

void InotifyWatcher::watchTree() {
    m_cap = watchCap();
    m_unwatchedCount = 0;
    m_complete = true;
    addWatches(m_root);
    if (m_watchList.empty())
        m_complete = false;
    logWatching();
}

void InotifyWatcher::addWatches(const std::string& path) {
    std::vector<std::string> pending{path};
    // Folders this call met without watching them (so a folder reached
    // twice, through a bind mount, is counted and walked once).
    std::set<std::pair<dev_t, ino_t>> unwatched;
    while (!pending.empty() && !m_stop.load()) {
        std::string folder = pending.back();
        pending.pop_back();
        // Only the root may be a link (the user may keep the whole tree
        // elsewhere); a link inside the tree is never followed.
        const bool isRoot = folder == m_root;
        struct stat status;
        if ((isRoot ? ::stat(folder.c_str(), &status) : ::lstat(folder.c_str(), &status)) != 0 ||
            !S_ISDIR(status.st_mode)) {
            m_syncLog.trace("addWatches: error listing children for : " + folder);
            continue;
        }
        std::pair<dev_t, ino_t> identity(status.st_dev, status.st_ino);
        if (m_watchedFolders.count(identity) != 0 || unwatched.count(identity) != 0)
            continue;
        int wd = -1;
        int error = ENOSPC;
        if (m_cap == 0 || m_watchList.size() < m_cap) {
            wd = ::inotify_add_watch(m_fd, folder.c_str(), WATCH_MASK | (isRoot ? 0u : IN_DONT_FOLLOW));
            error = errno;
        }
        if (wd < 0 && error == ENOSPC) {
            // Left unwatched for the limit; its subfolders are counted too.
            watchLimitReached(error);
            unwatched.insert(identity);
            ++m_unwatchedCount;
        } else if (wd < 0) {
            if (error != ENOENT) {
                // The folder stays unwatched: only a scan can see its changes.
                m_complete = false;
                m_syncLog.error("addWatches: failed with errno " + number(error) + " for " + folder);
            }
            continue;
        } else if (m_watchList.emplace(wd, Watch{folder, identity}).second) {
            // The kernel hands out one descriptor per folder; the first path
            // kept.
            m_watchedFolders.insert(identity);
            m_watchesByPath.emplace(folder, wd);
        }
        m_watchCount = m_watchList.size();

        DIR* dir = ::opendir(folder.c_str());
        if (!dir) {
            m_syncLog.trace("addWatches: error listing children for : " + folder);
            continue;
        }
        while (struct dirent* entry = ::readdir(dir)) {
            std::string child = entry->d_name;
            if (child == "." || child == "..")
                continue;
            if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN)
                pending.push_back(folder + "/" + child);
        }
        ::closedir(dir);
    }
}

void InotifyWatcher::watchLimitReached(int error) {
    m_complete = false;
    if (m_limitLogged) {
        m_syncLog.trace("addWatches: watch limit reached, folder left unwatched");
        return;
    }
    m_limitLogged = true;
    m_syncLog.error("addWatches: Possible watch limit reached. failed with errno " + number(error));
}

void InotifyWatcher::removeWatchesBelow(const std::string& path) {
    // The folder's own watches, then the run of "path/..." (names such as
    // "path x" sort between the two and are never looked at).
    auto removeRun = [this](const std::string& from, const std::function<bool(const std::string&)>& inRun) {
        auto it = m_watchesByPath.lower_bound(std::make_pair(from, INT_MIN));
        while (it != m_watchesByPath.end() && inRun(it->first)) {
            auto watched = m_watchList.find(it->second);
            if (watched != m_watchList.end()) {
                ::inotify_rm_watch(m_fd, watched->first);
                m_watchedFolders.erase(watched->second.identity);
                m_watchList.erase(watched);
            }
            it = m_watchesByPath.erase(it);
        }
    };
    removeRun(path, [&path](const std::string& watched) { return watched == path; });
    removeRun(path + "/", [&path](const std::string& watched) { return below(watched, path); });
    m_watchCount = m_watchList.size();
}

void InotifyWatcher::removeWatches() {
    for (const auto& watch : m_watchList)
        ::inotify_rm_watch(m_fd, watch.first);
    m_watchList.clear();
    m_watchesByPath.clear();
    m_watchedFolders.clear();
    m_watchCount = 0;
}

void InotifyWatcher::forget(int wd) {
    auto found = m_watchList.find(wd);
    if (found == m_watchList.end())
        return;
    m_watchedFolders.erase(found->second.identity);
    m_watchesByPath.erase(std::make_pair(found->second.path, wd));
    m_watchList.erase(found);
    m_watchCount = m_watchList.size();
}

std::size_t InotifyWatcher::watchCap() const {
    if (m_options.maxWatches != 0)
        return m_options.maxWatches;
    if (m_options.freeWatchesPercent >= 100)
        return 0;
    unsigned long long limit = 0;
    std::ifstream file(m_options.maxUserWatchesFile);
    if (!(file >> limit) || limit == 0)
        return 0;
    const unsigned long long inUse =
        m_options.countWatchesInUse ? m_options.countWatchesInUse() : watchesInUse();
    const unsigned long long free = limit > inUse ? limit - inUse : 0;
    const unsigned long long cap = free / 100 * m_options.freeWatchesPercent +
                                   free % 100 * m_options.freeWatchesPercent / 100;
    m_syncLog.trace("addWatches: " + number(static_cast<long>(inUse)) + " of " + number(static_cast<long>(limit)) +
                    " watches in use, watching at most " + number(static_cast<long>(cap > 0 ? cap : 1)) +
                    " folders");
    return cap > 0 ? static_cast<std::size_t>(cap) : 1;
}

std::size_t InotifyWatcher::watchesInUse() {
    const uid_t user = ::geteuid();
    std::size_t total = 0;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return 0;
    while (struct dirent* process = ::readdir(proc)) {
        if (process->d_name[0] < '1' || process->d_name[0] > '9')
            continue;
        const std::string base = std::string("/proc/") + process->d_name;
        struct stat owner;
        if (::stat(base.c_str(), &owner) != 0 || owner.st_uid != user)
            continue;
        total += watchesOfProcess(base);
    }
    ::closedir(proc);
    return total;
}

std::size_t InotifyWatcher::watchesOfProcess(const std::string& processFolder) {
    // Every inotify descriptor lists one "inotify wd:" line per watch in its
    // fdinfo.
    std::size_t total = 0;
    DIR* fds = ::opendir((processFolder + "/fd").c_str());
    if (!fds)
        return 0;
    while (struct dirent* fd = ::readdir(fds)) {
        if (fd->d_name[0] == '.')
            continue;
        char target[64];
        const std::string link = processFolder + "/fd/" + fd->d_name;
        ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        if (length <= 0)
            continue;
        target[length] = '\0';
        if (std::strcmp(target, "anon_inode:inotify") != 0)
            continue;
        std::ifstream info(processFolder + "/fdinfo/" + fd->d_name);
        std::string line;
        while (std::getline(info, line))
            if (line.compare(0, 11, "inotify wd:") == 0)
                ++total;
    }
    ::closedir(fds);
    return total;
}

void InotifyWatcher::logWatching() {
    m_log.trace("Watching: " + number(static_cast<long>(m_watchList.size())) + " folders for changes");
}

} // namespace Sync
} // namespace Nuvaro
