#include "CoreForbiddenRequestHandler.h"

#include "LocalRequest.h"

namespace Nuvaro {
namespace Sync {

CoreForbiddenRequestHandler::~CoreForbiddenRequestHandler() = default;

void CoreForbiddenRequestHandler::handleRequest(Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) {
    LocalRequest::sendForbidden(response);
}

} // namespace Sync
} // namespace Nuvaro
