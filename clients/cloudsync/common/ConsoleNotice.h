#pragma once

// Lines for the user at the console, raised by the workers where the user
// must learn of something while the program runs (the console program
// prints nothing else after "Starting Sync..."; everything else goes to the
// log). The console program installs a sink that prints each line; without a
// sink (a hosting application, most tests) the lines are dropped.
//
// Any thread may raise a line or install the sink; the sink is called on the
// raising thread, one call at a time, and must not raise a line itself. A
// worker that raises a line once per condition keeps track of that itself.

#include <functional>
#include <string>

namespace Nuvaro {
namespace Sync {

using ConsoleNoticeSink = std::function<void(const std::string& line)>;

// Hands line to the sink, if one is installed.
void consoleNotice(const std::string& line);

// Installs the sink (an empty function removes it). Returns once no call
// to the previous sink runs any more.
void setConsoleNoticeSink(ConsoleNoticeSink sink);

} // namespace Sync
} // namespace Nuvaro
