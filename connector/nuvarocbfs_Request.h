#pragma once

// The small tables that the connector's requests hand to its one request
// procedure (NuvaroConnector::runRequest / runExchange), and what the
// procedure hands back. A request operation fills a RequestSpec, runs it, and
// applies its result rule to the Reply; everything in between (session,
// proxy, headers, cookies, timeout, encoding, logging, parsing, exceptions)
// is the procedure's job.

#include "nuvarocbfs_XmlParser.h"

#include <Poco/Exception.h>
#include <Poco/Message.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPResponse.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Nuvaro {

// One name=value pair of a form body or of a GET query. The value is always
// sent encoded with Poco::URI::encode and URL_SPECIAL_CHARS, so "+", "&" or "="
// inside it reach the server intact. A secret value (password, password hash,
// device code, two-factor code or token, security answer) is written as "***"
// wherever the request is logged.
struct FormField {
    std::string name;
    std::string value;
    bool secret = false;
    // The value is sent as given, not encoded (it was encoded by the caller
    // or is sent verbatim as it always was).
    bool encoded = false;
};

// Lets another thread cut one exchange short (RequestSpec::cancelHook, or the
// connector's own hook, NuvaroConnector::setCancelHook). The request
// procedure calls attach with the session before it sends anything, sent once
// the request head is written (the connection then stands), and detach
// before the session is destroyed, all on the request's thread; between sent
// and detach the hook's owner may shut the session's socket down from any
// thread, which makes a wait for the reply, a body being read and a body
// being written fail at once. A session that sends several requests (the
// pieces of an upload) is attached again before each of them: attach may be
// called for a session that is attached already.
class RequestCancelHook {
public:
    virtual ~RequestCancelHook() = default;
    // False: the request was cancelled before it started; nothing is sent.
    virtual bool attach(Poco::Net::HTTPClientSession* session) = 0;
    // False: cancelled while sending; the reply is not waited for.
    virtual bool sent(Poco::Net::HTTPClientSession* session) = 0;
    // Harmless for a session that is not attached.
    virtual void detach(Poco::Net::HTTPClientSession* session) = 0;
    // True once the owner cancelled: a request that failed then failed
    // because of the cancel, not because of the server or the network.
    virtual bool cancelled() const { return false; }
};

// Thrown inside the request procedure when a cancel hook refuses a request
// (before its head is sent, or once it was sent); the procedure turns it into
// Reply::Outcome::Canceled or a transfer's "Canceled by user".
POCO_DECLARE_EXCEPTION(, RequestCanceledException, Poco::IOException)

// Which HTTP status codes count as an answer to be parsed. Any other status
// fails the request, with the server's message (or the status line) as the
// connector's last error.
enum class StatusRule {
    Any,        // the XML decides (command requests)
    Success2xx, // 200 to 299 (requests that return records)
    Only200,    // exactly 200
};

// Everything one request operation tells the request procedure.
struct RequestSpec {
    // Name of the operation as it appears at the start of its log lines.
    std::string operation;
    // Poco::Net::HTTPRequest::HTTP_GET or HTTP_POST.
    std::string method = Poco::Net::HTTPRequest::HTTP_GET;
    // Absolute path, possibly with a query already ("?nousage=0").
    std::string path;
    // POST: the form body, in order. GET: appended to the path as its query
    // ("?" or "&" depending on whether the path already has one).
    std::vector<FormField> fields;
    // Session timeout in seconds; 0 keeps Poco's default.
    int timeoutSeconds = 0;
    // Element name of the reply's records; empty: the body is not parsed.
    std::string recordName;
    // When the expected records are missing, also look for a "command" record
    // refusing the request (result other than "1") and fail with its message.
    bool detectRefusal = false;
    StatusRule statusRule = StatusRule::Any;
    // Empty the last error before the request (command requests, login flows).
    bool clearLastError = false;
    // Error text logged when the connector is not logged in; empty: no gate.
    std::string notAuthenticatedText;
    // Trace the request line and body / the response status line.
    bool traceRequest = true;
    bool traceStatus = true;
    std::string httpVersion = Poco::Net::HTTPMessage::HTTP_1_1;
    // Start of the error line for an exception during the exchange; the
    // exception's display text follows. Defaults to operation + " : Caught Exception ".
    std::optional<std::string> exceptionPrefix;
    // Login flows keep a transport or parse failure as the last error and its
    // exception class; other requests only log it.
    bool keepExceptionAsLastError = false;

    // ---- Used by the command, listing and lock requests ----
    // Replaces the one-line request trace: called with the body as logged
    // (secrets masked) when the request is sent.
    std::function<void(const std::string& loggedBody)> traceRequestWith;
    // Not empty: the whole reply body is traced as this prefix + body.
    std::string traceBodyPrefix;
    // Text after the exception's display text in the exception's error line.
    std::string exceptionSuffix;
    // Offer "Accept-Encoding: gzip"; a reply whose "Content-Encoding" is
    // exactly "gzip" is inflated before it is parsed or handed back.
    bool acceptGzip = false;
    // Transfers report failures through their own error text: a refusal or a
    // bad status then only fills Reply::error, never the last error.
    bool lastErrorUntouched = false;

    // ---- Used by callers of NuvaroConnector::exchange ----
    // The Device-Info header of a POST ends in an encoded line feed; false
    // sends the bare device text, as prepareHTTPRequest does.
    bool postLineFeed = true;
    // Reads the reply body instead of the procedure (which then leaves
    // Reply::body empty): the caller's size cap, a parse as a stream. Gets
    // the session (a chunked body is read through it), the raw body stream
    // (neither de-chunked by the checked reader nor inflated) and the
    // received head. Its exceptions reach the caller of exchange.
    std::function<void(Poco::Net::HTTPClientSession&, std::istream&, const Poco::Net::HTTPResponse&)> readBody;
    // The head of a POST gives Content-Type, Content-Length and then
    // Accept-Encoding (the sync worker's order); false: Accept-Encoding,
    // Content-Length, Content-Type (the connector's own requests).
    bool contentTypeFirst = false;
    // Not null: the exchange is registered with this hook while it runs, so
    // that another thread can cut it short (Reply::Outcome::Canceled).
    RequestCancelHook* cancelHook = nullptr;
    // Unset: the session gets the proxy of the connector's settings. Set:
    // called on the new session instead (after the time-out of
    // timeoutSeconds was set), to give it the caller's own set-up; one that
    // does nothing sends without a proxy. What it throws fails the exchange
    // before anything is sent.
    std::function<void(Poco::Net::HTTPClientSession&)> setupSession;

    RequestSpec(std::string op, std::string method_, std::string path_)
        : operation(std::move(op)), method(std::move(method_)), path(std::move(path_)) {}

    RequestSpec& field(const std::string& name, const std::string& value, bool secret = false) {
        fields.push_back(FormField{name, value, secret});
        return *this;
    }
    RequestSpec& exceptionLine(const std::string& prefix, const std::string& suffix = "") {
        exceptionPrefix = prefix;
        exceptionSuffix = suffix;
        return *this;
    }
};

// A POST of a form body whose reply holds records named recordName; a gate
// with notAuthenticatedText when it is not empty.
inline RequestSpec postSpec(const std::string& operation, const std::string& path, int timeoutSeconds,
                            const std::string& recordName, const std::string& notAuthenticatedText) {
    RequestSpec spec(operation, Poco::Net::HTTPRequest::HTTP_POST, path);
    spec.timeoutSeconds = timeoutSeconds;
    spec.recordName = recordName;
    spec.notAuthenticatedText = notAuthenticatedText;
    return spec;
}

// What came back from one request.
struct Reply {
    enum class Outcome {
        NotSent,   // not logged in, bad server URL or proxy setting: nothing was sent
        Failed,    // an exception ended the exchange (already logged)
        BadStatus, // the status broke the request's StatusRule (last error set)
        Refused,   // a "command" record refused a records request (last error set)
        Parsed,    // the reply was parsed; records hold the result
        Canceled,  // exchange: the cancel hook refused; nothing sent or no reply read
    };
    Outcome outcome = Outcome::NotSent;
    Poco::Net::HTTPResponse response;
    RecordList records;
    // The handler that parsed the reply, for printParsedData() and meta records.
    std::shared_ptr<NuvaroXmlHandler> handler;
    // The reply body (inflated when it came gzip-encoded).
    std::string body;
    // Why the request failed, for any outcome but Parsed: the "Not
    // authenticated" text, the exception's display text, the status line or
    // the server's message.
    std::string error;

    bool parsed() const { return outcome == Outcome::Parsed; }
};

// How a "command" reply is judged. Exactly one record is expected: result "1"
// is success (successText traced when not empty); another result is a refusal
// whose message becomes the last error (failureText + " result=" + result +
// " message: " + message logged at failureLevel, unless failureText is empty).
// Zero records log NO_RECORDS_TEXT, several unexpectedText (both at error
// level, unless logUnexpected is false), and leave the last error as it was.
struct CommandRule {
    static constexpr const char* NO_RECORDS_TEXT = "Unexpected XML response. No records received!";

    explicit CommandRule(std::string success = "", std::string failure = "",
                         Poco::Message::Priority level = Poco::Message::PRIO_ERROR)
        : successText(std::move(success)), failureText(std::move(failure)), failureLevel(level) {}

    std::string successText;
    std::string failureText;
    Poco::Message::Priority failureLevel;
    std::string unexpectedText = "Unexpected XML response. More than the expected records received!";
    bool logUnexpected = true;
    // Also write the parsed records to the log after the unexpected-reply line.
    bool printUnexpected = false;
};

} // namespace Nuvaro
