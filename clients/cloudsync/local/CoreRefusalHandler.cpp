#include "CoreRefusalHandler.h"

namespace Nuvaro {
namespace Sync {

CoreRefusalHandler::CoreRefusalHandler(Reply reply) : reply(reply) {}

CoreRefusalHandler::~CoreRefusalHandler() = default;

void CoreRefusalHandler::handleRequest(Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) {
    reply(response);
}

} // namespace Sync
} // namespace Nuvaro
