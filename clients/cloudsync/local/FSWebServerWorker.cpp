#include "FSWebServerWorker.h"

#include "CallerGateSocket.h"
#include "FSAppRunner.h"
#include "RequestHandlerFactory.h"
#include "RequestText.h"
#include "SyncLog.h"

#include <Poco/AutoPtr.h>
#include <Poco/Exception.h>
#include <Poco/LogStream.h>
#include <Poco/Logger.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/NumberFormatter.h>

namespace Nuvaro {
namespace Sync {

std::atomic<FSAppRunner*> gAppRunner{nullptr};
std::string gWebEditPath;
const std::size_t kStatusCacheCapacity = 1000;
StatusCache gStatusCache(kStatusCacheCapacity);
std::atomic<long> gStatusCacheExpiryMs{10000};

namespace {

// How long run waits on its queue at a time; shutdown wakes it earlier.
const long kQueueWaitMs = 5000;
// How long a connection thread waits for each read or write once the head
// has come (CallerGateSocket keeps callers whose head has not come away from
// the threads).
const Poco::Timespan kIdleConnectionTimeout(5, 0);

} // namespace

void RegisterIPC(std::string port) {
    (void)port;
}

Poco::UInt16 ipcPortFromSetting(const std::string& text) {
    if (text.empty())
        return FSWebServerWorker::DEFAULT_PORT;
    long port = 0;
    bool digits = text.size() <= 5;
    for (char c : text) {
        digits = digits && c >= '0' && c <= '9';
        port = port * 10 + (c - '0');
    }
    if (digits && port >= 1 && port <= 65535)
        return static_cast<Poco::UInt16>(port);
    syncLog().error("Invalid ipcport setting \"" + text + "\", using port " +
                    Poco::NumberFormatter::format(FSWebServerWorker::DEFAULT_PORT));
    return FSWebServerWorker::DEFAULT_PORT;
}

FSWebServerWorker::FSWebServerWorker(const std::string& initText, const std::string& editPath, FSAppRunner* runner)
    : initText(initText), editPath(editPath), appRunner(runner), thread(queue) {
    gAppRunner = runner;
    gWebEditPath = editPath;
}

FSWebServerWorker::~FSWebServerWorker() {
    thread.stop();
    FSAppRunner* mine = appRunner;
    gAppRunner.compare_exchange_strong(mine, nullptr);
}

bool FSWebServerWorker::startup() {
    syncLog().debug("Starting FSWebServerWorker Thread");
    thread.start(*this);
    return true;
}

bool FSWebServerWorker::shutdown() {
    syncLog().debug("Shutdown FSWebServerWorker Thread");
    thread.stop();
    syncLog().debug("FSWebServerWorker Thread exited");
    return true;
}

bool FSWebServerWorker::isIdle() {
    return queue.hasIdleThreads();
}

void FSWebServerWorker::run() {
    if (!startServer()) {
        thread.setReady();
        return;
    }
    thread.setReady();
    while (!thread.stopping()) {
        Poco::AutoPtr<Poco::Notification> taken(queue.waitDequeueNotification(kQueueWaitMs));
    }
    stopServer();
}

bool FSWebServerWorker::startServer() {
    Poco::LogStream log(syncLog(), Poco::Message::PRIO_INFORMATION);
    try {
        Poco::AutoPtr<Poco::Net::HTTPServerParams> params(new Poco::Net::HTTPServerParams);
        params->setKeepAlive(false);
        params->setMaxQueued(20);
        params->setMaxThreads(10);
        params->setTimeout(kIdleConnectionTimeout);

        std::string portText;
        Poco::UInt16 port = 0;
        if (portOverride >= 0) {
            port = static_cast<Poco::UInt16>(portOverride);
        } else {
            Nuvaro::RecordList settings = appRunner ? appRunner->getSettings() : Nuvaro::RecordList();
            port = ipcPortFromSetting(settings.empty() ? std::string()
                                                       : RequestText::recordValue(settings[0], "ipcport"));
        }

        CallerGateSocket socket(Poco::Timespan(headDeadlineMs * 1000));
        socket.bind(Poco::Net::SocketAddress("127.0.0.1", port), true, false);
        socket.listen(64);
        socket.setLinger(false, 0);
        server.reset(new Poco::Net::HTTPServer(new RequestHandlerFactory, socket, params));
        log << "Starting IPC Server on " << socket.address().toString() << std::endl;
        server->start();
        portText = Poco::NumberFormatter::format(socket.address().port());
        boundPort = socket.address().port();
        RegisterIPC(portText);
        return true;
    } catch (const Poco::Exception& e) {
        syncLog().error("run " + e.displayText());
    } catch (...) {
        syncLog().error("run: Unknown Exception starting IPC server ");
    }
    server.reset();
    return false;
}

void FSWebServerWorker::stopServer() {
    boundPort = 0;
    if (!server)
        return;
    // Refuses new connections and cuts off the ones in progress; a handler
    // that is working finishes its work (its reply then fails). Until no
    // connection thread runs, one may still be using the runner.
    server->stopAll(true);
    while (server->currentThreads() > 0)
        Poco::Thread::sleep(10);
    server.reset();
}

} // namespace Sync
} // namespace Nuvaro
