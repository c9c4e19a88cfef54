// The test driver of the kill tests: one device of the test server's user
// (SyncDevice) run as a program of its own, through the worker's real run
// loop, so that a test can kill it with SIGKILL in the middle of a pass and
// start it again on the same folders. Test code, not a program feature.
//
// Usage: engine_worker_driver SERVER_URL DEVICE_ROOT DEVICE_ID [PLACEMENT_PAUSE_MS]
// With PLACEMENT_PAUSE_MS the worker waits that long before it places each
// file of an apply step (a slow apply, for a kill in its middle). The
// device's sync folder, data folder and database lie in DEVICE_ROOT (made
// when missing, reused when there). Passes come about every 100 ms
// (syncfrequency 5 in run-loop seconds of 20 ms). Prints "running" once the
// worker runs; on SIGTERM or SIGINT it shuts the worker down, prints
// "stopped" and exits 0. The log goes to DEVICE_ROOT/driver.log.

#include "SyncDevice.h"

#include <Poco/AutoPtr.h>
#include <Poco/FileChannel.h>
#include <Poco/Logger.h>
#include <Poco/Thread.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <pthread.h>

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::cerr << "usage: engine_worker_driver SERVER_URL DEVICE_ROOT DEVICE_ID [PLACEMENT_PAUSE_MS]\n";
        return 2;
    }
    // The stop signals are taken by sigwait below, so every thread started
    // from here on has them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const std::string root = argv[2];
    Poco::File(root).createDirectories();
    Poco::AutoPtr<Poco::FileChannel> log(new Poco::FileChannel(root + "/driver.log"));
    Poco::Logger::root().setChannel(log);
    Poco::Logger::root().setLevel("debug");
    for (const char* name : {"Sync", "FSMonitor", "FolderCacheActivity"}) {
        Poco::Logger::get(name).setChannel(log);
        Poco::Logger::get(name).setLevel("debug");
    }

    EngineTest::SyncDevice device(root, argv[1], argv[3]);
    device.settings["syncfrequency"] = "5";
    device.settings["skipdeleteapproval"] = "1";
    if (argc == 5) {
        const long pauseMs = std::atol(argv[4]);
        device.beforePlacement = [pauseMs](const std::string&) { Poco::Thread::sleep(pauseMs); };
    }
    if (!device.databaseOpened() || !device.start()) {
        std::cout << "start failed" << std::endl;
        return 1;
    }
    std::cout << "running" << std::endl;
    int received = 0;
    sigwait(&stopSignals, &received);
    device.stop();
    std::cout << "stopped" << std::endl;
    return 0;
}
