#include "CoreViewWebFile.h"

#include "DesktopOpener.h"
#include "FSAppRunner.h"
#include "LocalRequest.h"
#include "NuvaroUtil.h"

#include <Poco/File.h>

namespace Nuvaro {
namespace Sync {

namespace {

// The work stage: false for the forbidden reply.
bool viewInBrowser(Poco::Net::HTTPServerRequest& request) {
    FSAppRunner& runner = LocalRequest::runner();
    std::string path;
    if (!LocalRequest::resolveLocalPath(runner, LocalRequest::queryValue(request, "path"), false, false, path))
        return false;
    // A file is shown in its folder; a path that cannot be examined (one
    // that does not exist) is shown as it is.
    try {
        if (!Poco::File(path).isDirectory()) {
            std::string name, folder;
            Nuvaro::Util::splitFolder(path, name, folder);
            path = folder;
        }
    } catch (...) {
    }
    openWithDesktop(runner.getServerURL() + "#expl-tabl." + LocalRequest::serverPathFor(runner, path));
    return true;
}

} // namespace

CoreViewWebFile::~CoreViewWebFile() = default;

void CoreViewWebFile::handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
    bool answered = false;
    try {
        answered = viewInBrowser(request);
    } catch (...) {
        answered = false;
    }
    if (answered)
        LocalRequest::sendXml(response, LocalRequest::commandReply("viewwebfile"));
    else
        LocalRequest::sendForbidden(response);
}

} // namespace Sync
} // namespace Nuvaro
