#include "DesktopOpener.h"

#include "NuvaroUtil.h"

#include <Poco/Logger.h>

#include <mutex>

namespace Nuvaro {
namespace Sync {

namespace {

std::mutex& launcherMutex() {
    static std::mutex mutex;
    return mutex;
}

DesktopLauncher& installedLauncher() {
    static DesktopLauncher launcher;
    return launcher;
}

DesktopLauncher currentLauncher() {
    std::lock_guard<std::mutex> lock(launcherMutex());
    if (installedLauncher())
        return installedLauncher();
    return [](const std::string& target) { return Nuvaro::Util::launchDefaultBrowser(target); };
}

} // namespace

bool openWithDesktop(const std::string& target) {
    Poco::Logger& log = Poco::Logger::get("Sync");
    if (target.empty() || target[0] == '-') {
        log.error("Refused to open \"" + target + "\" on the desktop: not a URL or a file path");
        return false;
    }
    if (currentLauncher()(target))
        return true;
    log.error("Failed to open on the desktop: " + target);
    return false;
}

void setDesktopLauncherForTesting(DesktopLauncher launcher) {
    std::lock_guard<std::mutex> lock(launcherMutex());
    installedLauncher() = std::move(launcher);
}

} // namespace Sync
} // namespace Nuvaro
