// cloudsync: the console sync client. Takes no arguments. Reads
// syncconconfig.xml and syncclientconfig.xml beside the executable, starts
// syncing and runs until SIGINT or SIGTERM, which stop it in order (exit code
// 0). Start-up failures print one line and exit with code 1 (see
// CloudSyncConsole.h for every console line).

#include "CloudSyncConsole.h"
#include "NuvaroException.h"
#include "NuvaroUtil.h"
#include "ProductGlobals.h"
#include "StopSignalWatcher.h"

#include <Poco/Exception.h>

#include <csignal>
#include <exception>
#include <iostream>

int main(int /*argc*/, char** /*argv*/) {
    using namespace Nuvaro::Sync;
    // Before any thread exists, so that every thread inherits the mask and
    // only the watcher takes the stop signals (also when a shell started the
    // program in the background with SIGINT ignored). A peer that closes a
    // connection must fail the request, not end the process.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    StopSignalWatcher::blockStopSignals();
    std::signal(SIGPIPE, SIG_IGN);

    std::cout << "Cloud Sync Client v" << CLIENT_VERSION << std::endl;
    const std::string resourcePath = Nuvaro::Util::setWorkingDirectoryToExePath();
    Custom::setProductGlobals();

    StopSignalWatcher stops;
    try {
        CloudSyncConsole console(resourcePath, std::cout, stops);
        return console.run();
    } catch (const Poco::Exception& e) {
        std::cout << "Error: " << e.displayText() << std::endl;
    } catch (const Nuvaro::Exception& e) {
        std::cout << "Error: " << e.message() << std::endl;
    } catch (const std::exception& e) {
        std::cout << "Error: " << e.what() << std::endl;
    }
    return 1;
}
