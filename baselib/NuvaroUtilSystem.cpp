// Home folder, working folder and desktop opener of Nuvaro::Util (see NuvaroUtil.h).

#include "NuvaroUtil.h"

#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/Process.h>

#include <climits>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace Nuvaro {
namespace Util {

namespace {

std::string withoutEndingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The full path of an executable: as given when it holds "/", else the first
// match on PATH. Empty when there is none.
std::string findExecutable(const std::string& program) {
    if (program.empty()) return std::string();
    if (program.find('/') != std::string::npos)
        return ::access(program.c_str(), X_OK) == 0 ? program : std::string();
    std::string searchPath = Poco::Environment::get("PATH", "/usr/local/bin:/usr/bin:/bin");
    Poco::Path found;
    if (!Poco::Path::find(searchPath, program, found)) return std::string();
    std::string full = found.toString();
    return ::access(full.c_str(), X_OK) == 0 ? full : std::string();
}

} // namespace

std::string getUserHomePath() { return withoutEndingSlash(Poco::Path::home()); }

std::string setWorkingDirectoryToExePath() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n > 0) {
        std::string name, folder;
        splitFolder(std::string(buffer, static_cast<std::size_t>(n)), name, folder);
        if (!folder.empty() && ::chdir(folder.c_str()) == 0) return folder;
    }
    return withoutEndingSlash(Poco::Path::current());
}

bool launchDefaultBrowser(const std::string& target, const std::string& opener) {
    if (target.empty() || target[0] == '-') return false;
    std::string program = findExecutable(opener);
    if (program.empty()) return false;
    try {
        Poco::ProcessHandle handle = Poco::Process::launch(program, std::vector<std::string>{target});
        std::thread([handle]() mutable {
            try {
                handle.wait();
            } catch (...) {
            }
        }).detach();
        return true;
    } catch (const Poco::Exception&) {
        return false;
    } catch (const std::system_error&) {
        return true;  // the opener runs; only the thread to collect its exit is missing
    }
}

} // namespace Util
} // namespace Nuvaro
