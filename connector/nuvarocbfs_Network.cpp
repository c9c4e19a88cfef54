// NuvaroConnector: the object, its state, request heads and the request
// procedure that every request of the connector runs.

#include "nuvarocbfs_Network.h"

#include "nuvarocbfs_ChunkedBody.h"

#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/InflatingStream.h>
#include <Poco/Logger.h>
#include <Poco/Net/FTPStreamFactory.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/HTTPStreamFactory.h>
#include <Poco/Net/NameValueCollection.h>
#include <Poco/Net/NetException.h>
#include <Poco/NumberParser.h>
#include <Poco/SAX/SAXException.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>
#include <Poco/URIStreamOpener.h>

#include <cstdlib>
#include <cxxabi.h>
#include <mutex>
#include <sstream>

namespace Nuvaro {

namespace {

Poco::Logger& rootLog() { return Poco::Logger::get("root"); }

// Registers one URI stream factory; one that is already registered for its
// scheme (by an earlier registration in this process or by other code) is
// left in place. The scheme is looked up first: a second registerFactory
// would throw and leave its new factory behind unfreed.
template <typename Factory>
void registerFactoryOnce(const std::string& scheme) {
    if (Poco::URIStreamOpener::defaultOpener().supportsScheme(scheme))
        return;
    try {
        Factory::registerFactory();
    } catch (const Poco::ExistsException&) {
    }
}

std::once_flag g_streamFactoriesOnce;

// "Poco::Net::ConnectionRefusedException" rather than the compiler's mangled type name.
std::string exceptionClassName(const Poco::Exception& e) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(e.className(), nullptr, nullptr, &status),
                                                std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(e.className());
}

} // namespace

std::atomic<bool> NuvaroConnector::m_registered{false};
const char* const NuvaroConnector::TRANSFER_CANCELED_ERROR = "Canceled by user";
POCO_IMPLEMENT_EXCEPTION(RequestCanceledException, Poco::IOException, "Request canceled")
const int NuvaroConnector::CANCELLABLE_CONNECT_SECONDS;

NuvaroConnector::NuvaroConnector(RecordList config, bool registerStreamFactories, std::string userAgent)
    : m_config(std::move(config)), m_userAgent(std::move(userAgent)) {
    if (registerStreamFactories) {
        std::call_once(g_streamFactoriesOnce, [] {
            registerFactoryOnce<Poco::Net::HTTPStreamFactory>("http");
            registerFactoryOnce<Poco::Net::FTPStreamFactory>("ftp");
            m_registered = true;
        });
    }
}

std::unique_ptr<NuvaroConnector> NuvaroConnector::copyForRequests() const {
    RecordList settings;
    for (const auto& record : m_config)
        settings.push_back(record ? Record(new std::map<std::string, std::string>(*record)) : Record());
    std::unique_ptr<NuvaroConnector> copy(new NuvaroConnector(std::move(settings), false, m_userAgent));
    copy->m_authenticated = m_authenticated;
    copy->m_cookies = m_cookies;
    copy->m_lanDetected = m_lanDetected;
    copy->m_lanURL = m_lanURL;
    copy->m_timeoutLimit = m_timeoutLimit;
    return copy;
}

NuvaroConnector::~NuvaroConnector() { rootLog().trace("~NuvaroConnector"); }

std::string NuvaroConnector::getLastError() {
    std::string error = m_lastError;
    m_lastError.clear();
    m_lastErrorClass.clear();
    return error;
}

std::string NuvaroConnector::getLastErrorClass() {
    std::string errorClass = m_lastErrorClass;
    m_lastErrorClass.clear();
    return errorClass;
}

void NuvaroConnector::setLastError(const std::string& text, const std::string& errorClass) {
    m_lastError = text;
    m_lastErrorClass = errorClass;
}

// Every login flag except the admin-approval flag, which only a device-access
// request changes.
void NuvaroConnector::clearLoginFlags() {
    m_authenticated = false;
    m_badLogin = false;
    m_2FARequired = false;
    m_devAuthCodeRequired = false;
    m_devAuthSessionTimeout = false;
    m_devAuthInvalidCode = false;
}

void NuvaroConnector::resetSession() {
    clearLoginFlags();
    m_lanDetected = false;
    m_config.clear();
    m_cookies.clear();
    m_lanURL.clear();
}

std::string NuvaroConnector::getServerURI() const { return m_lanDetected ? m_lanURL : setting(URL_KEY); }

std::string NuvaroConnector::setting(const std::string& key) const {
    if (m_config.empty() || !m_config[0]) return std::string();
    return recordValue(m_config[0], key);
}

bool NuvaroConnector::hasSetting(const std::string& key) const {
    return !m_config.empty() && m_config[0] && m_config[0]->find(key) != m_config[0]->end();
}

std::string NuvaroConnector::recordValue(const Record& record, const std::string& key) {
    if (!record) return std::string();
    auto it = record->find(key);
    return it == record->end() ? std::string() : it->second;
}

std::string NuvaroConnector::elapsedSeconds(const Poco::Stopwatch& watch) {
    Poco::Timestamp::TimeDiff micros = watch.elapsed();
    if (micros == 0) micros = 1;
    std::ostringstream out;
    out << static_cast<float>(micros) / 1000000.0f;
    return out.str();
}

// ---- Request heads ----

std::string NuvaroConnector::encodeValue(const std::string& value) {
    std::string encoded;
    Poco::URI::encode(value, URL_SPECIAL_CHARS, encoded);
    return encoded;
}

// "Cloud Sync" on host box1 gives Cloud%20Sync%28box1%29, and with the line
// feed of POST requests Cloud%20Sync%28box1%29%0A.
std::string NuvaroConnector::deviceInfo(bool withLineFeed) const {
    std::string text = m_userAgent + "(" + Poco::Environment::nodeName() + ")";
    if (withLineFeed) text += "\n";
    return encodeValue(text);
}

void NuvaroConnector::setCookies(Poco::Net::HTTPRequest& request) const {
    // An empty collection would still add an empty "Cookie" header.
    if (m_cookies.empty()) return;
    Poco::Net::NameValueCollection pairs;
    for (const auto& cookie : m_cookies) pairs.add(cookie.getName(), cookie.getValue());
    request.setCookies(pairs);
}

// Method, the two identifying headers, URI, then the cookies: the order in
// which the head is written.
void NuvaroConnector::fillHead(Poco::Net::HTTPRequest& request, const std::string& method, const std::string& uri) {
    request.setMethod(method);
    request.set("User-Agent", m_userAgent);
    request.set("Device-Info", deviceInfo(method == Poco::Net::HTTPRequest::HTTP_POST));
    request.setURI(uri);
    setCookies(request);
}

void NuvaroConnector::createGetMessage(Poco::Net::HTTPRequest& request, const std::string& uri) {
    fillHead(request, Poco::Net::HTTPRequest::HTTP_GET, uri);
}

void NuvaroConnector::createPostMessage(Poco::Net::HTTPRequest& request, const std::string& uri) {
    fillHead(request, Poco::Net::HTTPRequest::HTTP_POST, uri);
}

bool NuvaroConnector::prepareHTTPRequest(Poco::Net::HTTPRequest& request) {
    if (!m_authenticated) return false;
    request.set("User-Agent", m_userAgent);
    request.set("Device-Info", deviceInfo(false));
    setCookies(request);
    return true;
}

// ---- The request procedure ----

std::string NuvaroConnector::encodeFields(const std::vector<FormField>& fields, bool maskSecrets) {
    std::string body;
    for (const auto& field : fields) {
        if (!body.empty()) body += "&";
        body += field.name + "=" +
                (maskSecrets && field.secret ? std::string("***")
                                             : field.encoded ? field.value : encodeValue(field.value));
    }
    return body;
}

// A GET request carries its fields as the path's query. maskSecrets: the
// form written to the log.
std::string NuvaroConnector::requestTarget(const RequestSpec& spec, bool maskSecrets) const {
    if (spec.method == Poco::Net::HTTPRequest::HTTP_POST || spec.fields.empty()) return spec.path;
    const char separator = spec.path.find('?') == std::string::npos ? '?' : '&';
    return spec.path + separator + encodeFields(spec.fields, maskSecrets);
}

Poco::Timespan NuvaroConnector::effectiveTimeout(int seconds) const {
    Poco::Timespan timeout(seconds, 0);
    if (m_timeoutLimit.totalMicroseconds() > 0 && (seconds == 0 || m_timeoutLimit < timeout)) return m_timeoutLimit;
    return timeout;
}

// The proxy is used when both host and port are set. A port that is not a
// whole number from 1 to 65535 refuses the request instead of connecting to a
// port the user never meant.
bool applyProxySettings(const Record& settings, Poco::Net::HTTPClientSession& session, std::string& error) {
    auto value = [&settings](const std::string& key) {
        if (!settings) return std::string();
        auto found = settings->find(key);
        return found == settings->end() ? std::string() : found->second;
    };
    const std::string host = value(HTTP_PROXY_HOST);
    const std::string portText = value(HTTP_PROXY_PORT);
    if (host.empty() || portText.empty()) return true;
    int port = 0;
    if (!Poco::NumberParser::tryParse(portText, port) || port < 1 || port > 65535 ||
        portText.find_first_not_of("0123456789") != std::string::npos) {
        error = "Invalid proxy port " + portText;
        return false;
    }
    // Poco's proxy configuration defaults to Basic authentication, which would
    // send empty credentials; say "none" unless both user and password are set.
    Poco::Net::HTTPClientSession::ProxyConfig proxy;
    proxy.host = host;
    proxy.port = static_cast<Poco::UInt16>(port);
    proxy.username = value(HTTP_PROXY_USER);
    proxy.password = value(HTTP_PROXY_PASSWORD);
    const bool credentials = !proxy.username.empty() && !proxy.password.empty();
    if (!credentials) {
        proxy.username.clear();
        proxy.password.clear();
    }
    proxy.authMethod = credentials ? Poco::Net::HTTPClientSession::PROXY_AUTH_HTTP_BASIC
                                   : Poco::Net::HTTPClientSession::PROXY_AUTH_NONE;
    session.setProxyConfig(proxy);
    return true;
}

bool NuvaroConnector::applyProxy(Poco::Net::HTTPClientSession& session) {
    std::string error;
    if (applyProxySettings(m_config.empty() ? Record() : m_config[0], session, error)) return true;
    rootLog().error("Invalid proxy port \"" + setting(HTTP_PROXY_PORT) + "\": must be a number from 1 to 65535");
    setLastError(error);
    return false;
}

// Only the scheme, host and port of the server URL are used: each request
// sends its own absolute path.
std::unique_ptr<Poco::Net::HTTPClientSession> NuvaroConnector::openSession(const RequestSpec& spec) {
    return openSession(Poco::URI(getServerURI()), spec.timeoutSeconds);
}

std::unique_ptr<Poco::Net::HTTPClientSession> NuvaroConnector::openSession(const Poco::URI& uri, int timeoutSeconds) {
    if (uri.getHost().empty()) throw Poco::SyntaxException("No server host in URL", uri.toString());
    std::unique_ptr<Poco::Net::HTTPClientSession> session;
    if (uri.getScheme() == "https") {
        session = std::make_unique<Poco::Net::HTTPSClientSession>(uri.getHost(), uri.getPort());
    } else {
        session = std::make_unique<Poco::Net::HTTPClientSession>(uri.getHost(), uri.getPort());
    }
    if (timeoutSeconds > 0 || m_timeoutLimit.totalMicroseconds() > 0) {
        session->setTimeout(effectiveTimeout(timeoutSeconds));
    }
    return session;
}

void NuvaroConnector::capConnectTime(Poco::Net::HTTPClientSession& session) {
    const Poco::Timespan full = session.getTimeout();
    const Poco::Timespan cap(CANCELLABLE_CONNECT_SECONDS, 0);
    session.setTimeout(full < cap ? full : cap, full, full);
}

std::ostream& NuvaroConnector::sendCancellable(Poco::Net::HTTPClientSession& session,
                                               Poco::Net::HTTPRequest& request) {
    if (m_exchangeHook) {
        if (!m_exchangeHook->attach(&session)) throw RequestCanceledException("before it was sent");
        m_exchangeAttached = true;
    }
    std::ostream& out = session.sendRequest(request);
    if (m_exchangeHook && !m_exchangeHook->sent(&session)) throw RequestCanceledException("while it was sent");
    return out;
}

void NuvaroConnector::withdrawFromCancel(Poco::Net::HTTPClientSession& session) {
    // Attached again but not sent: the hook leaves the socket alone.
    if (m_exchangeHook && m_exchangeAttached) m_exchangeHook->attach(&session);
}

void NuvaroConnector::sendRequest(Poco::Net::HTTPClientSession& session, const RequestSpec& spec) {
    Poco::Net::HTTPRequest request(spec.httpVersion);
    const bool post = spec.method == Poco::Net::HTTPRequest::HTTP_POST;
    const std::string target = requestTarget(spec, false);
    if (post) {
        createPostMessage(request, target);
        // Replaced in place: the header keeps its position in the head.
        if (!spec.postLineFeed) request.set("Device-Info", deviceInfo(false));
    } else {
        createGetMessage(request, target);
    }
    const std::string body = post ? encodeFields(spec.fields, false) : std::string();
    if (post && spec.contentTypeFirst) {
        request.setContentType("application/x-www-form-urlencoded");
        request.setContentLength(static_cast<std::streamsize>(body.size()));
    }
    if (spec.acceptGzip) request.set("Accept-Encoding", "gzip");
    if (spec.traceRequestWith) {
        spec.traceRequestWith(post ? encodeFields(spec.fields, true) : std::string());
    } else if (spec.traceRequest) {
        rootLog().trace(getServerURI() + requestTarget(spec, true) + (post ? " " + encodeFields(spec.fields, true) : ""));
    }
    if (post) {
        // Set in place when already there: the order above holds.
        request.setContentLength(static_cast<std::streamsize>(body.size()));
        request.setContentType("application/x-www-form-urlencoded");
        // Flushed: the whole request is out before the caller is told so.
        sendCancellable(session, request) << body << std::flush;
    } else {
        sendCancellable(session, request);
    }
}

bool NuvaroConnector::statusAccepted(const RequestSpec& spec, int status) const {
    switch (spec.statusRule) {
    case StatusRule::Any:
        return true;
    case StatusRule::Success2xx:
        return status >= 200 && status < 300;
    case StatusRule::Only200:
        return status == 200;
    }
    return true;
}

namespace {

std::shared_ptr<NuvaroXmlHandler> parseRecords(const std::string& recordName, const std::string& body) {
    auto handler = std::make_shared<NuvaroXmlHandler>(recordName);
    std::istringstream stream(body);
    NuvaroXmlParser::parseWith(*handler, stream);
    return handler;
}

// The message of a refusing "command" record in body, or "" when there is none
// (or the body is not XML).
std::string refusalMessage(const std::string& body) {
    try {
        for (const auto& record : parseRecords(COMMAND_RECORD, body)->getParsedData()) {
            auto result = record->find(RESULT_KEY);
            if (result == record->end() || result->second != SUCCESS_VALUE) {
                auto message = record->find(MESSAGE_KEY);
                return message == record->end() ? std::string("Request refused by server") : message->second;
            }
        }
    } catch (const Poco::Exception&) {
    }
    return std::string();
}

// The whole reply body. A body shorter than its announced length (the
// connection closed early) or a chunked body without its last chunk is an
// error, never a shorter answer; a body sent with "Content-Encoding" exactly
// "gzip" is inflated when the request asked for gzip.
std::string readBody(Poco::Net::HTTPClientSession& session, std::istream& stream,
                     const Poco::Net::HTTPResponse& response, bool acceptGzip) {
    std::string body;
    if (response.getChunkedTransferEncoding()) {
        ChunkedBodyInputStream chunked(ChunkedBodyStreamBuf::sessionSource(session));
        Poco::StreamCopier::copyToString(chunked, body);
        if (!chunked.complete())
            throw Poco::Net::MessageException("Incomplete reply: " + chunked.errorText());
    } else {
        Poco::StreamCopier::copyToString(stream, body);
    }
    if (response.hasContentLength() && static_cast<Poco::Int64>(body.size()) < response.getContentLength64()) {
        throw Poco::Net::MessageException("Incomplete reply: " + std::to_string(body.size()) + " of " +
                                          std::to_string(response.getContentLength64()) + " bytes received");
    }
    if (!acceptGzip || response.get("Content-Encoding", "") != "gzip") return body;
    std::istringstream compressed(body);
    Poco::InflatingInputStream inflater(compressed, Poco::InflatingStreamBuf::STREAM_GZIP);
    std::string inflated;
    Poco::StreamCopier::copyToString(inflater, inflated);
    return inflated;
}

} // namespace

// Records a failure of the reply: its reason in reply.error and, unless the
// request reports through its own error text, as the last error.
void NuvaroConnector::failReply(const RequestSpec& spec, Reply& reply, Reply::Outcome outcome,
                                const std::string& reason) {
    rootLog().error(spec.operation + " : Request refused by server: " + reason);
    reply.outcome = outcome;
    reply.error = reason;
    if (!spec.lastErrorUntouched) setLastError(reason);
}

void NuvaroConnector::receiveReply(Poco::Net::HTTPClientSession& session, const RequestSpec& spec, Reply& reply) {
    std::istream& stream = session.receiveResponse(reply.response);
    const int status = static_cast<int>(reply.response.getStatus());
    if (spec.traceStatus) rootLog().trace(std::to_string(status) + " " + reply.response.getReason());
    reply.body = readBody(session, stream, reply.response, spec.acceptGzip);
    const std::string& body = reply.body;
    if (!spec.traceBodyPrefix.empty()) rootLog().trace(spec.traceBodyPrefix + body);
    if (!statusAccepted(spec, status)) {
        std::string message = refusalMessage(body);
        if (message.empty()) message = "HTTP " + std::to_string(status) + " " + reply.response.getReason();
        failReply(spec, reply, Reply::Outcome::BadStatus, message);
        return;
    }
    if (spec.recordName.empty()) {
        reply.outcome = Reply::Outcome::Parsed;
        return;
    }
    reply.handler = parseRecords(spec.recordName, body);
    reply.records = reply.handler->getParsedData();
    if (spec.detectRefusal && reply.records.empty()) {
        const std::string message = refusalMessage(body);
        if (!message.empty()) {
            failReply(spec, reply, Reply::Outcome::Refused, message);
            return;
        }
    }
    reply.outcome = Reply::Outcome::Parsed;
}

bool NuvaroConnector::runExchange(const RequestSpec& spec, Reply& reply,
                                  const std::function<void(Poco::Net::HTTPClientSession&)>& exchange) {
    reply.outcome = Reply::Outcome::NotSent;
    if (spec.clearLastError) getLastError();
    if (!spec.notAuthenticatedText.empty() && !m_authenticated) {
        rootLog().error(spec.notAuthenticatedText);
        reply.error = spec.notAuthenticatedText;
        return false;
    }
    const std::string exceptionPrefix =
        spec.exceptionPrefix ? *spec.exceptionPrefix : spec.operation + " : Caught Exception ";
    std::unique_ptr<Poco::Net::HTTPClientSession> session;
    try {
        session = openSession(spec);
    } catch (const Poco::Exception& e) {
        // A server URL that cannot be parsed or a session that cannot be built
        // (for example HTTPS without a TLS set-up) fails this request only.
        rootLog().error(exceptionPrefix + e.displayText() + spec.exceptionSuffix);
        reply.error = e.displayText();
        if (!spec.lastErrorUntouched) setLastError(e.displayText(), exceptionClassName(e));
        return false;
    } catch (const std::exception& e) {
        rootLog().error(spec.operation + " Exception caught : " + e.what());
        reply.error = e.what();
        if (!spec.lastErrorUntouched) setLastError(e.what());
        return false;
    }
    if (!applyProxy(*session)) {
        reply.error = m_lastError;
        return false;
    }
    RequestCancelHook* const hook = spec.cancelHook ? spec.cancelHook : m_cancelHook;
    ExchangeCancelScope cancel(*this, hook, session.get());
    if (hook) capConnectTime(*session);
    try {
        exchange(*session);
        return true;
    } catch (const Poco::Exception& e) {
        if (dynamic_cast<const RequestCanceledException*>(&e) || (hook && hook->cancelled())) {
            // The owner stopped: not a failure of the server or the network.
            rootLog().debug(spec.operation + " : canceled: " + e.displayText());
            reply.error = "Canceled by user";
            reply.outcome = Reply::Outcome::Canceled;
            return false;
        }
        rootLog().error(exceptionPrefix + e.displayText() + spec.exceptionSuffix);
        reply.error = e.displayText();
        if (spec.keepExceptionAsLastError) {
            const bool notXml = dynamic_cast<const Poco::XML::SAXException*>(&e) != nullptr;
            setLastError(notXml ? std::string("Invalid response, check Server.") : e.displayText(),
                         exceptionClassName(e));
        }
    } catch (const std::exception& e) {
        rootLog().error(spec.operation + " Exception caught : " + e.what());
        reply.error = e.what();
        if (spec.keepExceptionAsLastError) setLastError(e.what());
    } catch (...) {
        rootLog().error(spec.operation + " Unknown Exception caught : ");
        reply.error = "Unknown exception";
    }
    reply.outcome = Reply::Outcome::Failed;
    return false;
}

bool NuvaroConnector::runRequest(const RequestSpec& spec, Reply& reply) {
    runExchange(spec, reply, [&](Poco::Net::HTTPClientSession& session) {
        sendRequest(session, spec);
        receiveReply(session, spec, reply);
    });
    return reply.parsed();
}

void NuvaroConnector::exchange(const RequestSpec& spec, Reply& reply) {
    reply.outcome = Reply::Outcome::NotSent;
    reply.body.clear();
    std::unique_ptr<Poco::Net::HTTPClientSession> session = openSession(spec);
    if (spec.setupSession) {
        spec.setupSession(*session);
    } else {
        std::string error;
        if (!applyProxySettings(m_config.empty() ? Record() : m_config[0], *session, error))
            throw Poco::InvalidArgumentException(error);
    }
    RequestCancelHook* const hook = spec.cancelHook ? spec.cancelHook : m_cancelHook;
    ExchangeCancelScope cancel(*this, hook, session.get());
    if (hook) capConnectTime(*session);
    try {
        sendRequest(*session, spec);
    } catch (const RequestCanceledException&) {
        reply.outcome = Reply::Outcome::Canceled;
        return;
    }
    std::istream& stream = session->receiveResponse(reply.response);
    if (spec.readBody)
        spec.readBody(*session, stream, reply.response);
    else
        reply.body = readBody(*session, stream, reply.response, spec.acceptGzip);
    reply.outcome = Reply::Outcome::Parsed;
}

// ---- Result rules ----

bool NuvaroConnector::runCommand(const RequestSpec& spec, const CommandRule& rule) {
    Reply reply;
    runRequest(spec, reply);
    return commandResult(reply, rule);
}

const Record* NuvaroConnector::singleCommandRecord(const Reply& reply, const CommandRule& rule) const {
    if (!reply.parsed()) return nullptr;
    if (reply.records.size() == 1) return &reply.records.front();
    if (rule.logUnexpected) {
        rootLog().error(reply.records.empty() ? CommandRule::NO_RECORDS_TEXT : rule.unexpectedText);
        if (rule.printUnexpected && reply.handler) reply.handler->printParsedData();
    }
    return nullptr;
}

bool NuvaroConnector::commandResult(const Reply& reply, const CommandRule& rule) {
    const Record* record = singleCommandRecord(reply, rule);
    if (!record) return false;
    const std::string result = recordValue(*record, RESULT_KEY);
    if (result == SUCCESS_VALUE) {
        if (!rule.successText.empty()) rootLog().trace(rule.successText);
        return true;
    }
    const std::string message = recordValue(*record, MESSAGE_KEY);
    if (!rule.failureText.empty()) {
        rootLog().log(Poco::Message("root", rule.failureText + " result=" + result + " message: " + message,
                                    rule.failureLevel));
    }
    m_lastError = message;
    return false;
}

std::string NuvaroConnector::failureReason(const Reply& reply) {
    if (!reply.parsed()) return reply.error.empty() ? std::string("Request failed") : reply.error;
    if (reply.records.empty()) return CommandRule::NO_RECORDS_TEXT;
    if (reply.records.size() > 1) return CommandRule().unexpectedText;
    const Record& record = reply.records.front();
    const std::string message = recordValue(record, MESSAGE_KEY);
    return message.empty() ? "Refused by server, result=" + recordValue(record, RESULT_KEY) : message;
}

void NuvaroConnector::keepFailureReason(const Reply& reply) { m_lastError = failureReason(reply); }

// For requests that trace the server address and path on one line and the
// body on the next.
std::function<void(const std::string&)> NuvaroConnector::traceTargetThenBody(const std::string& path) const {
    return [this, path](const std::string& body) {
        rootLog().trace(getServerURI() + path);
        rootLog().trace(body);
    };
}

bool NuvaroConnector::recordsResult(const Reply& reply, RecordList& out) {
    if (!reply.parsed()) return false;
    out = reply.records;
    return true;
}

} // namespace Nuvaro
