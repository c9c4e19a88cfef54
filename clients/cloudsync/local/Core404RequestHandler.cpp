#include "Core404RequestHandler.h"

#include "LocalRequest.h"

namespace Nuvaro {
namespace Sync {

Core404RequestHandler::~Core404RequestHandler() = default;

void Core404RequestHandler::handleRequest(Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) {
    LocalRequest::sendNotFound(response);
}

} // namespace Sync
} // namespace Nuvaro
