#pragma once

// FSWebServerWorker: the loopback HTTP endpoint of the local integration
// service. Programs of this machine (desktop integration, scripts) ask it for
// the sync folder, the overlay state of a file, a sync now, a server lock or
// unlock, a share link, a view of a folder in the server's web interface, a
// quick edit of a server file, or the file browser.
//
// The worker owns a Poco HTTP server on 127.0.0.1 only (never another
// interface), at the port of the setting "ipcport" (default 34320; a value
// that is not a number from 1 to 65535 is logged and the default used).
// Keep-alive is off, so each connection carries one request. The listening
// socket (CallerGateSocket.h) closes another user's connection as soon as it
// is accepted, before any byte of it is read, and lets a connection of this
// user through only once its request head has come in full, which must
// happen within HEAD_DEADLINE_MS of its acceptance (else it is closed); a
// slow caller therefore waits without a thread, and the user's other
// requests go on. At most 10 connections are then served at once, on
// threads of the process-wide default pool, and 20 more wait.
// RequestHandlerFactory picks the handler of each request by the start of
// its raw URI and refuses requests from web pages (RequestOrigin.h).
//
// Owned by an application runner: constructed with the runner, startup()
// after the runner's startup, shutdown() before the runner's shutdown. The
// console program does not make one. One worker per process at a time: the
// handlers reach the runner and the quick-edit root through the globals
// below, which the constructor sets.
//
// Threads: the owner's thread (constructor, startup, shutdown, destructor,
// one at a time); the worker thread "Sync" (run: starts the server, waits on
// `queue` until stopped, stops the server); the server's acceptor thread (the
// gate of the listening socket) and its connection threads (the factory and
// the handlers). The stop flag (in `thread`) and `boundPort` are atomics;
// everything else is set before the thread starts or touched by the worker
// thread only.
//
// Shutdown order: `stop` is set and the queue's waiters are woken, so run
// leaves its wait at once; run then stops the server (no new connection is
// accepted, connections in progress are cut off) and waits until no
// connection thread runs any more, then releases the server with its socket
// (connections still waiting for their heads are closed); the worker thread
// is joined. When shutdown returns, no handler runs and none will: the
// runner may go.

#include <Poco/Net/HTTPServer.h>
#include <Poco/NotificationQueue.h>
#include <Poco/Runnable.h>
#include <Poco/Types.h>

#include "StatusCache.h"
#include "WorkerThread.h"

#include <atomic>
#include <memory>
#include <string>

namespace Nuvaro {
namespace Sync {

class FSAppRunner;

// ---- Globals of the handlers (set by the worker's constructor) ----

// The owning runner; null until a worker is constructed, and again after it
// is destroyed.
extern std::atomic<FSAppRunner*> gAppRunner;
// The quick-edit root; written by the constructor before anything starts,
// read by the handlers.
extern std::string gWebEditPath;
// The overlay-status cache: local path -> status text, each entry kept for
// gStatusCacheExpiryMs (10000 ms) after it was added, at most
// kStatusCacheCapacity entries (the oldest goes first). Each get and each add
// is atomic on its own.
extern const std::size_t kStatusCacheCapacity;
extern StatusCache gStatusCache;
extern std::atomic<long> gStatusCacheExpiryMs;

// Called with the port text once the server listens; nothing to register on
// this platform.
void RegisterIPC(std::string port);

// The port of an "ipcport" setting: empty gives 34320; text that is not a
// decimal number from 1 to 65535 is logged at error level on the logger
// "Sync" and gives 34320 too.
Poco::UInt16 ipcPortFromSetting(const std::string& text);

class FSWebServerWorker : public Poco::Runnable {
public:
    static constexpr Poco::UInt16 DEFAULT_PORT = 34320;
    // How long a connection may take to send its request head.
    static constexpr long HEAD_DEADLINE_MS = 5000;

    // Builds the thread "Sync" and the queue, and sets
    // gAppRunner and gWebEditPath. Nothing listens yet. `initText` is kept and
    // not read.
    FSWebServerWorker(const std::string& initText, const std::string& editPath, FSAppRunner* runner);
    // Stops a running worker (as shutdown, without its log lines) and clears
    // gAppRunner when it still names this worker's runner.
    ~FSWebServerWorker() override;
    FSWebServerWorker(const FSWebServerWorker&) = delete;
    FSWebServerWorker& operator=(const FSWebServerWorker&) = delete;

    // Starts the worker thread and returns once the server listens, or once
    // it failed to start (port taken, ...; logged with the prefix "run"):
    // port() then gives 0. Always true; a second call does nothing.
    bool startup();
    // Stops the server and the thread (see the shutdown order above); true.
    // Harmless before startup and twice.
    bool shutdown();
    // True while the worker thread waits on its queue, that is while the
    // server runs.
    bool isIdle();
    // The port the server listens on; 0 while it does not listen.
    Poco::UInt16 port() const { return boundPort.load(); }

    // The thread body: starts the server, sets `ready`, waits until stopped,
    // stops the server.
    void run() override;

    // Listens on `port` instead of the "ipcport" setting, 0 for any free port.
    // Before startup.
    void setListenPortForTesting(int port) { portOverride = port; }
    // Gives connections `ms` instead of HEAD_DEADLINE_MS for their heads.
    // Before startup.
    void setHeadDeadlineForTesting(long ms) { headDeadlineMs = ms; }

private:
    // Steps of run: the server listening (true) or the failure logged.
    bool startServer();
    void stopServer();

    const std::string initText;
    const std::string editPath;
    FSAppRunner* const appRunner;
    // Nothing is posted to it: run waits on it so that shutdown can wake it.
    Poco::NotificationQueue queue;
    // The thread, its ready event and the stop flag.
    WorkerThread thread;

    // ---- Owner's thread, before startup ----
    int portOverride = -1;
    long headDeadlineMs = HEAD_DEADLINE_MS;

    // ---- Worker thread (created by run, stopped and released by it) ----
    std::unique_ptr<Poco::Net::HTTPServer> server;

    // ---- Any thread ----
    std::atomic<Poco::UInt16> boundPort{0};
};

} // namespace Sync
} // namespace Nuvaro
