#include "CoreUnlock.h"

#include "CoreLock.h"

namespace Nuvaro {
namespace Sync {

CoreUnlock::~CoreUnlock() = default;

void CoreUnlock::handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
    handleLockRequest(request, response, true);
}

} // namespace Sync
} // namespace Nuvaro
