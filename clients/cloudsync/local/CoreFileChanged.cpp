#include "CoreFileChanged.h"

#include "FSAppRunner.h"
#include "LocalRequest.h"
#include "NuvaroUtil.h"

#include <Poco/Net/HTMLForm.h>

namespace Nuvaro {
namespace Sync {

CoreFileChanged::~CoreFileChanged() = default;

void CoreFileChanged::handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
    try {
        FSAppRunner& runner = LocalRequest::runner();
        Poco::Net::HTMLForm query;
        LocalRequest::readQuery(request, query);
        std::string resolved;
        if (query.has("path") && !LocalRequest::resolveLocalPath(runner, query["path"], true, true, resolved)) {
            LocalRequest::sendForbidden(response);
            return;
        }
        runner.fileChanged();
        LocalRequest::sendXml(response, Nuvaro::Util::HTTP::getXMLResult("filechanged", true, ""));
    } catch (...) {
        LocalRequest::logException("handleRequest");
    }
}

} // namespace Sync
} // namespace Nuvaro
