#pragma once

// Small wire-format helpers of the test server: percent decoding of query and
// form fields, server-path normalisation, and the XML reply builder. Pure
// functions and a value class; safe on any thread.

#include "TestServerTypes.h"

#include <string>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

// Decodes %XX escapes. A "+" stays a "+" (the client always sends a plus as
// %2B); a malformed escape is kept as it stands.
std::string percentDecode(const std::string& text);

// Splits "a=1&b=2" into decoded pairs, in order. A piece without "=" becomes a
// field with an empty value; empty pieces are skipped.
Fields parseFields(const std::string& text);

// First value of a field, "" when absent.
std::string fieldValue(const Fields& fields, const std::string& name);
bool hasField(const Fields& fields, const std::string& name);

// Case-insensitive ASCII comparison.
bool equalsNoCase(const std::string& a, const std::string& b);

// Normalises a server path: must start with "/", "//" collapses, a trailing
// "/" goes (except for "/" itself). Returns false for "." or ".." segments, a
// NUL byte, or a path not starting with "/".
bool normaliseServerPath(const std::string& path, std::string& out);

// Joins a folder path (with or without a trailing "/") and a name.
std::string joinServerPath(const std::string& folder, const std::string& name);

// Parent folder of a normalised path ("/" for "/a"), and the last segment.
std::string parentOf(const std::string& path);
std::string lastSegment(const std::string& path);

// True when path equals folder or lies below it.
bool isAtOrBelow(const std::string& path, const std::string& folder);

// Request target to routing path: "http://h:p/x?y" and "/x?y" both give "/x",
// with the raw query text in `query`.
std::string routingPath(const std::string& target, std::string& query);

// Escapes &, <, >, " and ' for XML text.
std::string xmlEscape(const std::string& text);

// Builds one XML reply: a root element holding records, each record an element
// whose children are the given keys in order.
//
//   XmlReply r("commands");
//   r.record("command", {{"type", "lock"}, {"result", "1"}, {"message", ""}});
//   r.str() == "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<commands><command>"
//              "<type>lock</type><result>1</result><message></message></command></commands>\n"
class XmlReply {
public:
    explicit XmlReply(std::string root);
    XmlReply& record(const std::string& name, const Fields& fields);
    std::string str() const;

private:
    std::string m_root;
    std::string m_records;
};

// A one-record "command" reply: type, result, message.
std::string commandReply(const std::string& type, const std::string& result, const std::string& message);

// The reply every authenticated endpoint gives without a valid session cookie.
std::string authFailedReply();

// The status-set text of a sync folder at a server version: "server:<version>"
// (letters, digits, ":" and "," only, like every status-set text).
std::string syncStatusText(Poco::Int64 version);
// The server version in a status-set text: the number of its "server" entry;
// 0 when it has none (an empty or foreign text asks for everything).
Poco::Int64 syncStatusVersion(const std::string& text);

// UTC time in the sortable format "YYYY-MM-DD HH:MM:SS".
std::string sortableTime(const Poco::Timestamp& t);

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
