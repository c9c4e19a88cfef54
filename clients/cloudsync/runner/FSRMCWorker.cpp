#include "FSRMCWorker.h"

#include "FSAppRunner.h"
#include "LoginFailure.h"
#include "NuvaroException.h"
#include "nuvarocbfs_Network.h"

#include <Poco/AutoPtr.h>
#include <Poco/DateTime.h>
#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <exception>

namespace Nuvaro {
namespace Sync {

namespace {

Poco::Logger& syncLog() {
    static Poco::Logger& logger = Poco::Logger::get("Sync");
    return logger;
}

// A value of the settings map, "" when absent.
std::string value(const Nuvaro::Record& map, const std::string& key) {
    if (!map)
        return std::string();
    auto found = map->find(key);
    return found == map->end() ? std::string() : found->second;
}

// A list of its own: the connector shares its maps, and the runner builds a
// new list at every call anyway.
Nuvaro::RecordList copyOf(const Nuvaro::RecordList& settings) {
    Nuvaro::RecordList copy;
    for (const Nuvaro::Record& map : settings)
        copy.push_back(Nuvaro::Record(new std::map<std::string, std::string>(map ? *map : std::map<std::string, std::string>())));
    return copy;
}

const Poco::Timestamp kLongAgo = Poco::DateTime(2006, 5, 5).timestamp();

} // namespace

FSRMCWorker::FSRMCWorker(FSAppRunner* runner) : FSRMCWorker(runner, Timing()) {}

FSRMCWorker::FSRMCWorker(FSAppRunner* runner, Timing timing)
    : runner(runner),
      timing(std::move(timing)),
      thread("Sync"),
      ready(Poco::Event::EVENT_AUTORESET),
      lastRmcCheck(kLongAgo),
      lastStatusUpdate(kLongAgo) {}

FSRMCWorker::~FSRMCWorker() {
    try {
        stop = true;
        queue.wakeUpAll();
        std::lock_guard<std::mutex> lock(lifecycleMutex);
        if (started)
            thread.join();
    } catch (...) {
    }
}

bool FSRMCWorker::startup() {
    syncLog().trace("Startup FSRMCWorker Thread");
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (started)
        return true;
    thread.start(*this);
    started = true;
    ready.wait();
    return true;
}

bool FSRMCWorker::shutdown() {
    syncLog().trace("Shutdown FSRMCWorker Thread");
    stop = true;
    queue.wakeUpAll();
    {
        std::lock_guard<std::mutex> lock(lifecycleMutex);
        if (started) {
            thread.join();
            started = false;
        }
    }
    syncLog().trace("FSRMCWorker Thread exited");
    return true;
}

bool FSRMCWorker::isIdle() {
    return queue.hasIdleThreads();
}

Poco::Timestamp FSRMCWorker::now() const {
    return timing.clock ? timing.clock() : Poco::Timestamp();
}

void FSRMCWorker::run() {
    ready.set();
    while (!stop.load()) {
        Poco::AutoPtr<Poco::Notification> notification(queue.waitDequeueNotification(timing.tickMs));
        if (stop.load())
            break;
        if (notification)
            continue;
        try {
            processTick();
        } catch (const Poco::Exception& e) {
            syncLog().error(std::string("run") + " Poco Exception caught : " + e.displayText());
        } catch (const Nuvaro::Exception& e) {
            syncLog().error(std::string("run") + "Exception caught : " + e.message());
        } catch (const std::exception& e) {
            syncLog().error(std::string("run") + "Exception caught : " + e.what());
        } catch (...) {
            syncLog().error(std::string("run") + "Unknown Exception caught : ");
        }
    }
}

void FSRMCWorker::processTick() {
    const Poco::Timestamp tick = now();
    if (tick - lastRmcCheck < timing.pollDue.totalMicroseconds())
        return;
    lastRmcCheck = tick;

    Nuvaro::RecordList settings = runner->getSettings();
    const Nuvaro::Record map = settings.empty() ? Nuvaro::Record() : settings[0];
    if (value(map, "url").empty() || value(map, "profile").empty() ||
        (value(map, "password").empty() && value(map, "devauthcode").empty()))
        return;

    NuvaroConnector connector(copyOf(settings), true, "Cloud Connector");
    if (!connector.Authenticate(true)) {
        // The connector logged why; a refusal is told at the console too
        // (once for all workers, see LoginRefusalNotice).
        runner->loginRefusalNotice().loginFailed(connector, classifyLoginFailure(connector));
        return;
    }
    runner->loginRefusalNotice().loggedIn();
    syncLog().trace(" **** RMC CHECK **** ");

    Nuvaro::RecordList commands;
    if (!connector.getRmcCommands(commands)) {
        syncLog().error("RMC Check Error. Message: " + connector.getLastError());
        return;
    }
    Nuvaro::RecordList carriedOut;
    std::string message;
    runner->processRMC(commands, message, &carriedOut);
    // Only what was carried out is acknowledged: the rest comes again.
    if (!connector.ackRmcCommands(carriedOut)) {
        syncLog().error("RMC Ack Error. Message: " + connector.getLastError());
        return;
    }

    if (tick - lastStatusUpdate >= timing.statusDue.totalMicroseconds()) {
        lastStatusUpdate = tick;
        runner->updateServerStatus(false);
    }
}

} // namespace Sync
} // namespace Nuvaro
