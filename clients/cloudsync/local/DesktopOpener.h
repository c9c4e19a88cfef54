#pragma once

// How the local services hand a URL or a file to the desktop: the web view of
// a server folder goes to the default browser, a quick-edit copy to the
// application the desktop opens its kind of file with.
//
// The target travels as one element of an argument vector (by default
// Nuvaro::Util::launchDefaultBrowser: "xdg-open" started without a shell), so
// no character of it is ever read by a shell. A target that is empty or
// begins with "-" is refused before any launcher sees it: the opener would
// read it as an option.
//
// Tests replace the launcher to record what would have been opened instead of
// starting a program. Any thread may open; the launcher is swapped under a
// lock and called outside it.

#include <functional>
#include <string>

namespace Nuvaro {
namespace Sync {

// Starts the desktop's opener on one target; true when it was started.
using DesktopLauncher = std::function<bool(const std::string& target)>;

// Opens `target` (a URL or an absolute file path). False for a refused target
// and when the launcher could not start the opener; a false result is logged
// at error level on the logger "Sync".
bool openWithDesktop(const std::string& target);

// Replaces the launcher for the whole process; an empty function brings the
// real one back. For tests.
void setDesktopLauncherForTesting(DesktopLauncher launcher);

} // namespace Sync
} // namespace Nuvaro
