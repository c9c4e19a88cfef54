#pragma once

// The logger of the folder scan and its tree walk, "FolderCacheActivity".
// Loggers live as long as the process, and looking one up by name takes a
// global lock, so the reference is looked up once.

#include <Poco/Logger.h>

namespace Nuvaro {
namespace Sync {

inline Poco::Logger& scanLog() {
    static Poco::Logger& logger = Poco::Logger::get("FolderCacheActivity");
    return logger;
}

} // namespace Sync
} // namespace Nuvaro
