#include "CoreStatusRequestHandler.h"

#include "FSAppRunner.h"
#include "LocalRequest.h"
#include "XmlText.h"

namespace Nuvaro {
namespace Sync {

CoreStatusRequestHandler::~CoreStatusRequestHandler() = default;

void CoreStatusRequestHandler::handleRequest(Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) {
    try {
        std::string folder = LocalRequest::runner().getSyncFolder();
        LocalRequest::sendXml(response, "<system><status><syncfolder>" + xmlEscapeText(folder) +
                                            "</syncfolder></status></system>");
    } catch (...) {
        LocalRequest::logException("handleRequest");
    }
}

} // namespace Sync
} // namespace Nuvaro
