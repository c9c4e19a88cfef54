#include "ConsoleNotice.h"

#include <mutex>

namespace Nuvaro {
namespace Sync {

namespace {

// Guards the sink and serialises its calls, so that lines raised by two
// threads are printed whole, one after the other.
std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

ConsoleNoticeSink& installedSink() {
    static ConsoleNoticeSink sink;
    return sink;
}

} // namespace

void consoleNotice(const std::string& line) {
    std::lock_guard<std::mutex> lock(sinkMutex());
    if (!installedSink())
        return;
    try {
        installedSink()(line);
    } catch (...) {
        // A console that cannot be written to loses the line, nothing more.
    }
}

void setConsoleNoticeSink(ConsoleNoticeSink sink) {
    std::lock_guard<std::mutex> lock(sinkMutex());
    installedSink() = std::move(sink);
}

} // namespace Sync
} // namespace Nuvaro
