#pragma once

// What the request handlers of the loopback endpoint share: reading the
// query, the shared replies, the log line of a failed reply, and the rules
// for the local paths a request names. Stateless; any thread (handlers run on
// the HTTP server's connection threads, several at a time).

#include <Poco/Net/HTMLForm.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

#include <string>

namespace Nuvaro {
namespace Sync {

class FSAppRunner;

namespace LocalRequest {

// ---- The query ----

// Fills `form` with the names and values of the request's query, decoded
// ("/lock?path=%2Fa%20b" gives path "/a b"). Only the query counts, whatever
// the method; a body is not read.
void readQuery(const Poco::Net::HTTPServerRequest& request, Poco::Net::HTMLForm& form);
// The value of `key` in the query; throws Poco::NotFoundException when the
// query has no such key (the handler's work then fails).
std::string queryValue(const Poco::Net::HTTPServerRequest& request, const std::string& key);

// ---- Replies ----

// Sets the status and the content type and writes `body` as the whole reply;
// throws when the connection fails.
void sendText(Poco::Net::HTTPServerResponse& response, Poco::Net::HTTPResponse::HTTPStatus status,
              const std::string& contentType, const std::string& body);
// The replies of the handlers. An exception while writing one is
// logged (logException("handleRequest")) and ends the reply.
// 404, "text/html", "404 Sorry, Page Not Found!".
void sendNotFound(Poco::Net::HTTPServerResponse& response);
// 403, "text/html", "404 Sorry, Forbidden" (the text does begin with 404).
void sendForbidden(Poco::Net::HTTPServerResponse& response);
// 400, "text/html", "400 Sorry, Bad Request".
void sendBadRequest(Poco::Net::HTTPServerResponse& response);
// 200, "text/xml" and `xml`.
void sendXml(Poco::Net::HTTPServerResponse& response, const std::string& xml);
// The reply of a command handler: "<commands><command><type>" + type +
// "</type><result>1</result><message></message></command></commands>".
std::string commandReply(const std::string& type);

// Logs the exception being handled (call it only inside a catch block) on
// the root logger at error level:
//   "Caught Poco::Exception : " display text ": " class name " : " message
//   "Caught Nuvaro::Exception : " what ": " class name " : " message
//   function + "Unknown Exception caught : " for anything else.
void logException(const std::string& function);

// ---- Paths named by a request ----

// The runner of the endpoint's owner; throws Nuvaro::Exception when no
// endpoint worker was made (the handler's work then fails).
FSAppRunner& runner();

// True when `path` is within the system's path limit (shorter than
// PATH_MAX, 4096 bytes on Linux); a longer one names nothing that can exist
// and is refused.
bool withinPathLimit(const std::string& path);

// Resolves `path` against `folder` (both absolute local paths): "//" is read
// as "/" and trailing "/" are dropped; then the path must be `folder` + "/" +
// at least one name, no name "." or "..", within the path limit (before it
// is resolved). `folderItself` also admits the
// folder itself. True with the resolved path in `resolved`, false otherwise.
//     folder "/home/u/Sync": "/home/u/Sync//docs/a.txt/" -> "/home/u/Sync/docs/a.txt"
//     refused: "/home/u/Sync2/a", "/x/home/u/Sync/a", "/home/u/Sync/../etc", "home/u/Sync/a"
bool resolveInside(const std::string& path, const std::string& folder, bool folderItself, std::string& resolved);

// resolveInside the runner's sync folder (the folder itself too with
// `syncFolderItself`) or, with `quickEditRoot`, the quick-edit root
// (gWebEditPath, when set).
bool resolveLocalPath(FSAppRunner& runner, const std::string& path, bool syncFolderItself, bool quickEditRoot,
                      std::string& resolved);

// The server path of a local path that resolveInside accepted under the sync
// folder, with the runner's account and folder names; "" when it maps to none.
std::string serverPathFor(FSAppRunner& runner, const std::string& resolvedLocalPath);

} // namespace LocalRequest
} // namespace Sync
} // namespace Nuvaro
