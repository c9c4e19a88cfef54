#include "CoreSyncNow.h"

#include "FSAppRunner.h"
#include "FSWebServerWorker.h"
#include "LocalRequest.h"
#include "NuvaroUtil.h"

namespace Nuvaro {
namespace Sync {

CoreSyncNow::~CoreSyncNow() = default;

void CoreSyncNow::handleRequest(Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) {
    try {
        if (FSAppRunner* runner = gAppRunner.load()) {
            runner->checkForFSChanges();
            runner->runAllOfflineJobs();
        }
        LocalRequest::sendXml(response, Nuvaro::Util::HTTP::getXMLResult("syncnow", true, ""));
    } catch (...) {
        LocalRequest::logException("handleRequest");
    }
}

} // namespace Sync
} // namespace Nuvaro
