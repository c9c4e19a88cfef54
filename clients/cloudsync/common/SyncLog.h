#pragma once

// The logger of the sync worker and its pass steps, "Sync". Loggers live as
// long as the process, and looking one up by name takes a global lock, so
// the reference is looked up once.

#include <Poco/Logger.h>

namespace Nuvaro {
namespace Sync {

inline Poco::Logger& syncLog() {
    static Poco::Logger& logger = Poco::Logger::get("Sync");
    return logger;
}

} // namespace Sync
} // namespace Nuvaro
