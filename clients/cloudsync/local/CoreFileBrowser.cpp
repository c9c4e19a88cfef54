#include "CoreFileBrowser.h"

#include "LocalRequest.h"
#include "NuvaroUtil.h"
#include "UIEvent.h"

namespace Nuvaro {
namespace Sync {

CoreFileBrowser::~CoreFileBrowser() = default;

void CoreFileBrowser::handleRequest(Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) {
    try {
        uiPostEvent(static_cast<uiEventType>(9), "", 0);
        LocalRequest::sendXml(response, Nuvaro::Util::HTTP::getXMLResult("filebrowser", true, ""));
    } catch (...) {
        LocalRequest::logException("handleRequest");
    }
}

} // namespace Sync
} // namespace Nuvaro
