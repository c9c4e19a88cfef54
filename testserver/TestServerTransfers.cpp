// Uploads and downloads of the test server.
//
// Upload: POST /upload?appname=..&path=<folder>&expandzip=0[&offset=N&complete=0|1]
// &date=<YYYY-MM-DD HH:MM:SS>&overwrite=1 with a multipart/form-data body whose
// part "filedata" carries the file (its filename names the item). The part is
// streamed to a temp file, never held in memory. Without "offset" the file is
// stored at once; with it, the pieces are appended to a partial file (offset 0
// starts a new one, every other offset must equal the bytes received so far)
// and "complete=1" stores it. Each accepted request answers "OK"; a refusal
// answers "Failed: <reason>" (status 200). A body cut short (fewer bytes than
// its Content-Length) is never stored, whole or as a piece.
//
// Download: GET /core/downloadfile?filepath=<folder>&filename=<name>[&app=..]
// [&redirect=1]. With redirect=1 and the redirect listener on, a 302 sends the
// client to "<scheme>://127.0.0.1:<redirect port>/download/<token>", which
// serves the bytes without a cookie. Both serve Range requests with 206.

#include "TestServerCore.h"
#include "TestServerRouter.h"
#include "TestServerWire.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeParser.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/NumberParser.h>
#include <Poco/Net/MessageHeader.h>
#include <Poco/Net/MultipartReader.h>
#include <Poco/Net/NameValueCollection.h>
#include <Poco/StreamCopier.h>

#include <limits>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

namespace {

Reply textReply(const std::string& text, int status = 200)
{
    Reply reply;
    reply.status = status;
    reply.contentType = "text/plain";
    reply.body = text;
    return reply;
}

Poco::Timestamp parseUploadDate(const std::string& text)
{
    Poco::DateTime parsed;
    int tzd = 0;
    if (!text.empty() && Poco::DateTimeParser::tryParse(Poco::DateTimeFormat::SORTABLE_FORMAT, text, parsed, tzd))
        return parsed.timestamp();
    return Poco::Timestamp();
}

// The file name of a filename parameter: %22, %0D and %0A (either case)
// stand for a double quote, CR and LF; everything else is taken as it is.
std::string decodeFilename(const std::string& parameter)
{
    std::string name;
    for (std::size_t i = 0; i < parameter.size(); ++i) {
        const std::string escape = parameter.substr(i, 3);
        if (equalsNoCase(escape, "%22") || equalsNoCase(escape, "%0D") || equalsNoCase(escape, "%0A")) {
            name += percentDecode(escape);
            i += 2;
        } else {
            name += parameter[i];
        }
    }
    return name;
}

// Reads through to a stream, counting the bytes taken from it.
class CountingStreamBuf : public std::streambuf {
public:
    explicit CountingStreamBuf(std::istream& in)
        : m_in(in)
    {
    }

    Poco::Int64 count = 0;

protected:
    int_type underflow() override
    {
        m_in.read(m_block, sizeof(m_block));
        const std::streamsize got = m_in.gcount();
        if (got <= 0) return traits_type::eof();
        count += got;
        setg(m_block, m_block, m_block + got);
        return traits_type::to_int_type(m_block[0]);
    }

private:
    std::istream& m_in;
    char m_block[8192];
};

// receiveFilePart on `body`, the request body as it is read.
bool receiveFilePartFrom(Exchange& ex, std::istream& body, const std::string& file, std::string& fileName)
{
    std::string disposition;
    Poco::Net::NameValueCollection params;
    Poco::Net::MessageHeader::splitParameters(ex.request.getContentType(), disposition, params);
    std::string boundary = params.get("boundary", "");
    if (boundary.empty()) return false;

    Poco::Net::MultipartReader reader(body, boundary);
    while (reader.hasNextPart()) {
        Poco::Net::MessageHeader headers;
        reader.nextPart(headers);
        Poco::Net::NameValueCollection partParams;
        Poco::Net::MessageHeader::splitParameters(headers.get("Content-Disposition", ""), disposition, partParams);
        if (partParams.get("name", "") != "filedata") {
            Poco::StreamCopier::copyToString(reader.stream(), disposition);
            continue;
        }
        fileName = decodeFilename(partParams.get("filename", ""));
        Poco::FileOutputStream out(file, std::ios::out | std::ios::trunc | std::ios::binary);
        Poco::StreamCopier::copyStream64(reader.stream(), out, 8192);
        out.close();
        return true;
    }
    return false;
}

// Streams the "filedata" part into `file`; returns the part's file name, or
// false when the body has no such part. A body that ends before its
// Content-Length (the client dropped the connection mid-request) raises
// Poco::DataException: a server never takes such a request.
bool receiveFilePart(Exchange& ex, const std::string& file, std::string& fileName)
{
    CountingStreamBuf counter(ex.body);
    std::istream body(&counter);
    const bool found = receiveFilePartFrom(ex, body, file, fileName);
    body.ignore(std::numeric_limits<std::streamsize>::max());
    if (ex.request.hasContentLength() && counter.count < ex.request.getContentLength64())
        throw Poco::DataException("body cut short after " + std::to_string(counter.count) + " of " +
                                  std::to_string(ex.request.getContentLength64()) + " bytes");
    return found;
}

// Appends the piece to the partial file.
void appendFile(const std::string& piece, const std::string& target)
{
    Poco::FileInputStream in(piece, std::ios::in | std::ios::binary);
    Poco::FileOutputStream out(target, std::ios::out | std::ios::app | std::ios::binary);
    Poco::StreamCopier::copyStream64(in, out, 8192);
}

void removeQuietly(const std::string& file)
{
    try {
        Poco::File f(file);
        if (f.exists()) f.remove();
    } catch (...) {
    }
}

// Parses "bytes=a-b", "bytes=a-" and "bytes=-n" for a file of `size` bytes.
// Returns 0 when there is no usable range (serve everything), 1 for a valid
// range, -1 for an unsatisfiable one.
int parseRange(const std::string& header, Poco::Int64 size, Poco::Int64& first, Poco::Int64& last)
{
    if (header.compare(0, 6, "bytes=") != 0 || header.find(',') != std::string::npos) return 0;
    std::string spec = header.substr(6);
    std::size_t dash = spec.find('-');
    if (dash == std::string::npos) return 0;
    std::string a = spec.substr(0, dash), b = spec.substr(dash + 1);
    Poco::Int64 x = 0, y = 0;
    if (a.empty()) {
        if (!Poco::NumberParser::tryParse64(b, y) || y <= 0) return 0;
        if (size == 0) return -1;
        first = y >= size ? 0 : size - y;
        last = size - 1;
        return 1;
    }
    if (!Poco::NumberParser::tryParse64(a, x) || x < 0) return 0;
    if (!b.empty() && (!Poco::NumberParser::tryParse64(b, y) || y < x)) return 0;
    if (x >= size) return -1;
    first = x;
    last = b.empty() || y >= size ? size - 1 : y;
    return 1;
}

} // namespace

Reply TestServerRouter::upload(Exchange& ex)
{
    if (ex.request.getMethod() != "POST") return textReply("Failed: Upload needs POST", 405);
    std::string folder, error;
    Reply refusal;
    bool pathOk = resolve(ex, ex.field("path"), folder, refusal, "upload");

    std::string temp = m_core.store().newTempFile();
    std::string fileName;
    bool received = false;
    try {
        received = receiveFilePart(ex, temp, fileName);
    } catch (Poco::Exception& e) {
        removeQuietly(temp);
        return textReply("Failed: Malformed upload body: " + e.displayText(), 400);
    }
    if (!received) {
        removeQuietly(temp);
        return textReply("Failed: No file data in upload");
    }
    if (!pathOk) {
        removeQuietly(temp);
        return textReply("Failed: Invalid target folder");
    }
    if (!m_core.side().access(ex.session->userId, folder).second) {
        removeQuietly(temp);
        return textReply("Failed: Permission denied");
    }

    const std::string& user = ex.session->userId;
    Poco::Timestamp modified = parseUploadDate(ex.field("date"));
    bool overwrite = ex.field("overwrite") == "1";

    if (!ex.has("offset")) {
        bool ok = m_core.store().commitFile(user, folder, fileName, temp, modified, overwrite, peerOf(ex), error);
        if (!ok) removeQuietly(temp);
        return textReply(ok ? "OK" : "Failed: " + error);
    }

    Poco::Int64 offset = -1;
    Poco::NumberParser::tryParse64(ex.field("offset"), offset);
    const std::string key = user + "\n" + joinServerPath(folder, fileName);
    std::string partial = m_core.partialFile(key);
    if (offset == 0) {
        if (!partial.empty()) removeQuietly(partial);
        partial = temp;
        m_core.setPartialFile(key, partial);
    } else {
        Poco::Int64 have = partial.empty() ? -1 : static_cast<Poco::Int64>(Poco::File(partial).getSize());
        if (offset != have) {
            removeQuietly(temp);
            return textReply("Failed: Invalid offset " + ex.field("offset") + ", expected " + std::to_string(have));
        }
        appendFile(temp, partial);
        removeQuietly(temp);
    }
    if (ex.field("complete") != "1") return textReply("OK");

    m_core.dropPartialFile(key);
    bool ok = m_core.store().commitFile(user, folder, fileName, partial, modified, overwrite, peerOf(ex), error);
    if (!ok) removeQuietly(partial);
    return textReply(ok ? "OK" : "Failed: " + error);
}

Reply TestServerRouter::downloadFile(Exchange& ex)
{
    std::string path;
    Reply refusal;
    if (!resolve(ex, joinServerPath(ex.field("filepath"), ex.field("filename")), path, refusal, "downloadfile")) {
        refusal.status = 404;
        return refusal;
    }
    auto item = m_core.store().item(ex.session->userId, path);
    // Callers also send the file's full path as filepath: a file at filepath
    // whose name is filename is that file.
    std::string fullPath;
    if (!item && resolve(ex, ex.field("filepath"), fullPath, refusal, "downloadfile") &&
        lastSegment(fullPath) == ex.field("filename")) {
        path = fullPath;
        item = m_core.store().item(ex.session->userId, path);
    }
    if (!item || item->type != 1) return xml(commandReply("downloadfile", "0", "File not found"), 404);
    if (!m_core.side().access(ex.session->userId, path).first)
        return xml(commandReply("downloadfile", "0", "Permission denied"), 403);

    if (ex.field("redirect") == "1" && m_core.redirectPort() != 0) {
        Reply reply;
        reply.status = 302;
        reply.contentType = "text/html";
        reply.headers.emplace_back("Location", m_core.redirectBaseUrl() + "/download/" +
                                                   m_core.issueDownloadToken(ex.session->userId, path));
        return reply;
    }
    return serveFile(ex, ex.session->userId, path);
}

Reply TestServerRouter::redirectedDownload(Exchange& ex)
{
    std::string user, path;
    if (!m_core.downloadToken(ex.path.substr(10), user, path)) return textReply("Unknown download link", 404);
    return serveFile(ex, user, path);
}

Reply TestServerRouter::serveFile(Exchange& ex, const std::string& userId, const std::string& path)
{
    std::string file = m_core.store().contentFile(userId, path);
    if (file.empty()) return xml(commandReply("downloadfile", "0", "File not found"), 404);
    auto stream = std::make_shared<Poco::FileInputStream>(file, std::ios::in | std::ios::binary);
    Poco::Int64 size = static_cast<Poco::Int64>(Poco::File(file).getSize());

    Reply reply;
    reply.contentType = "application/octet-stream";
    reply.headers.emplace_back("Accept-Ranges", "bytes");
    reply.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + lastSegment(path) + "\"");
    reply.file = stream;
    reply.fileLength = size;

    Poco::Int64 first = 0, last = 0;
    int range = ex.request.has("Range") ? parseRange(ex.request.get("Range"), size, first, last) : 0;
    if (range < 0) {
        Reply refused = textReply("Requested range not satisfiable", 416);
        refused.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
        return refused;
    }
    if (range > 0) {
        reply.status = 206;
        reply.fileOffset = first;
        reply.fileLength = last - first + 1;
        reply.headers.emplace_back("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                                        "/" + std::to_string(size));
    }
    return reply;
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
