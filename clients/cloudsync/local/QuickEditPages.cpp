#include "QuickEditPages.h"

#include "LocalRequest.h"

#include <string>

namespace Nuvaro {
namespace Sync {

namespace {

// Between the pieces of the page: two tabs and three blanks.
const std::string kGap = "\t\t   ";

const std::string kStyle =
    "body { font-family: sans-serif; font-size: 14px; }"
    " h2 { border-bottom: 1px solid; }"
    " #statustag { display: inline-block; text-align: center; white-space: nowrap; cursor: pointer;"
    " -webkit-user-select: none; -moz-user-select: none; user-select: none; -webkit-user-drag: none;"
    " padding: 0.5em 1em; color: #444; color: rgba(0, 0, 0, 0.80); border: none;"
    " background-color: #E6E6E6; border-radius: 2px; }";

} // namespace

void sendEditHTMLResponse(bool ok, Poco::Net::HTTPServerResponse& response) {
    try {
        std::string page = "<!DOCTYPE html>" + kGap + "<html>" + kGap + "<head>" + kGap + "<style>" + kStyle +
                           "</style>" + kGap + "</head>";
        page += ok ? "<body onload=\"javascript:window.close();\">" : "<body>";
        page += kGap + "<h2 class=\"btn\">Quick Editing</h2>" + kGap +
                "<p>For document editing to work properly, you need the latest sync app installed and running on "
                "your computer. Make sure you are also logged in as the same user account as in the web site.</p>" +
                kGap + "<div id=\"statustag\">Load ";
        page += ok ? "OK" : "FAILED";
        page += "</div>" + kGap + "</body></html>";
        LocalRequest::sendText(response, Poco::Net::HTTPResponse::HTTP_OK, "text/html", page);
    } catch (...) {
        LocalRequest::logException("sendEditHTMLResponse");
    }
}

void sendEditResponse(bool ok, Poco::Net::HTTPServerResponse& response) {
    try {
        std::string page =
            "<!DOCTYPE html><html><head><script type=\"text/javascript\">window.onmessage = function(event) {  "
            "event.source.postMessage(\"";
        page += ok ? "OK" : "FAIL";
        page += "\", event.origin); };</script></head><body ></body></html>";
        LocalRequest::sendText(response, Poco::Net::HTTPResponse::HTTP_OK, "text/html", page);
    } catch (...) {
        LocalRequest::logException("sendEditResponse");
    }
}

} // namespace Sync
} // namespace Nuvaro
