// NuvaroConnector: file downloads (downloadFile, downloadToFile) and the
// writing of a response body into a local file (saveResponseToFile).
//
// A download never leaves a damaged file where the user's file was: a body
// that replaces a file goes to a temporary file beside it (its name contains
// ".tmp.part", which the folder scans ignore) and is renamed into place only
// after it arrived complete; a body written from an offset keeps every byte
// before the offset. A file made for a body is its owner's only (0600) from
// its creation on.

#include "nuvarocbfs_Network.h"

#include "nuvarocbfs_ChunkedBody.h"

#include <Poco/Ascii.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/Logger.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/NumberParser.h>
#include <Poco/Process.h>
#include <Poco/Stopwatch.h>
#include <Poco/String.h>
#include <Poco/URI.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>

namespace Nuvaro {

namespace {

Poco::Logger& rootLog() { return Poco::Logger::root(); }

const std::string kNoAuthError = "Failed: No Authentication to Download File";
const std::string kUnauthorizedError = "Failed: Got Server Unauthorized Error. No Authentication to Download File";
const std::string kBadStatusError = "Failed: Bad HTTP Status for Download File";
const std::string kCreateLocalError = "Failed: Unable to create local file for writing";

// Copies in to out block by block until in ends, out fails or cancel (when
// given) is set; returns the bytes copied. The flag is read before every
// block, so a stop is seen within one block of a slow body.
Poco::UInt64 copyBody(std::istream& in, std::ostream& out, const std::atomic<bool>* cancel) {
    char buffer[65536];
    Poco::UInt64 copied = 0;
    while (!(cancel && cancel->load()) && in.good() && out.good()) {
        in.read(buffer, sizeof(buffer));
        const std::streamsize n = in.gcount();
        if (n <= 0) break;
        out.write(buffer, n);
        copied += static_cast<Poco::UInt64>(n);
    }
    return copied;
}
const std::string kNoLengthError = "Failed: Download reply without a length";
const std::string kGateLog = " : Not authenticated. Cannot get download file";
constexpr int kTimeoutSeconds = 120;
constexpr std::streamsize kDiscardLimit = 1 << 20;

// The byte range of a download; -1 stands for "not given".
struct ByteRange {
    Poco::Int64 start = -1;
    Poco::Int64 end = -1;

    bool requested() const { return start != -1 || end != -1; }

    // "bytes=a-b", "bytes=a-" or "bytes=-b".
    std::string header() const {
        std::string text = "bytes=";
        if (start != -1) text += std::to_string(start);
        text += "-";
        if (end != -1) text += std::to_string(end);
        return text;
    }
};

// Reads and drops what is left of a refused reply (at most kDiscardLimit
// bytes; the session is closed afterwards anyway).
void discardBody(std::istream& body) {
    body.ignore(kDiscardLimit);
}

// The first byte position of a "Content-Range: bytes a-b/total" header, or -1
// when the header is missing or not of that form.
Poco::Int64 contentRangeStart(const Poco::Net::HTTPResponse& response) {
    const std::string value = Poco::trim(response.get("Content-Range", ""));
    if (Poco::icompare(value.substr(0, 6), "bytes ") != 0) return -1;
    const std::string::size_type dash = value.find('-', 6);
    if (dash == std::string::npos) return -1;
    Poco::Int64 start = -1;
    if (!Poco::NumberParser::tryParse64(Poco::trim(value.substr(6, dash - 6)), start)) return -1;
    return start;
}

// The part of an absolute URL text from the first "/" after the authority on
// (path and query, unchanged); "/" when the URL names no path.
std::string pathAndQueryOf(const std::string& url) {
    const std::string::size_type authority = url.find("://");
    if (authority == std::string::npos) return url;
    const std::string::size_type path = url.find_first_of("/?#", authority + 3);
    if (path == std::string::npos) return "/";
    if (url[path] != '/') return "/" + url.substr(path);
    return url.substr(path);
}

// True when text starts with a scheme followed by "://".
bool isAbsoluteUrl(const std::string& text) {
    const std::string::size_type colon = text.find("://");
    if (colon == std::string::npos || colon == 0) return false;
    for (std::string::size_type i = 0; i < colon; ++i) {
        const char c = text[i];
        if (!Poco::Ascii::isAlphaNumeric(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

// Removes a temporary file on every path unless commit() was called.
class TemporaryFileGuard {
public:
    explicit TemporaryFileGuard(std::string path) : m_path(std::move(path)) {}
    ~TemporaryFileGuard() {
        if (m_committed) return;
        try {
            Poco::File file(m_path);
            if (file.exists()) file.remove();
        } catch (...) {
            // Best effort: a leftover ".tmp.part" file is ignored by the scans.
        }
    }
    void commit() { m_committed = true; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    bool m_committed = false;
};

// Creates the file a body is written to, readable and writable by its owner
// only whatever the umask, never through a link: a replacing download's
// temporary file (a leftover of that name is taken over), or the missing
// file of a write from an offset (an existing one is left as it is). Raises
// the file library's exception when the file cannot be made, as opening the
// stream would.
void createPrivateFile(const std::string& path, bool temporary) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (temporary ? O_TRUNC : O_EXCL);
    const int fd = ::open(path.c_str(), flags, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        if (!temporary && errno == EEXIST) return;
        Poco::File::handleLastError(path);
    }
    // The umask may only have taken bits away; the mode is set all the same.
    const int failed = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 ? 0 : errno;
    ::close(fd);
    if (failed != 0) {
        errno = failed;
        Poco::File::handleLastError(path);
    }
}

// Gives the file at target the permission bits of the file at original when
// that exists, so that replacing a file keeps its mode.
void copyPermissions(const std::string& original, const std::string& target) {
    struct stat info {};
    if (::stat(original.c_str(), &info) == 0) {
        ::chmod(target.c_str(), info.st_mode & 07777);
    }
}

} // namespace

namespace {
const std::string kTemporarySuffix = ".tmp.part";
} // namespace

std::string NuvaroConnector::temporaryNameFor(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    constexpr std::string::size_type kMaxKeptName = 200;
    const std::string::size_type slash = path.rfind('/');
    const std::string::size_type nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::string kept = path.substr(0, nameStart + std::min(kMaxKeptName, path.size() - nameStart));
    return kept + "." + std::to_string(Poco::Process::id()) + "-" + std::to_string(++counter) + kTemporarySuffix;
}

long NuvaroConnector::temporaryNameProcess(const std::string& name) {
    if (name.size() <= kTemporarySuffix.size() ||
        name.compare(name.size() - kTemporarySuffix.size(), kTemporarySuffix.size(), kTemporarySuffix) != 0)
        return -1;
    const std::string::size_type end = name.size() - kTemporarySuffix.size();
    // Backwards over "<counter>", "-", "<pid>", "."; something must precede.
    std::string::size_type at = end;
    while (at > 0 && Poco::Ascii::isDigit(name[at - 1])) --at;
    if (at == end || at == 0 || name[at - 1] != '-') return -1;
    const std::string::size_type pidEnd = at - 1;
    at = pidEnd;
    while (at > 0 && Poco::Ascii::isDigit(name[at - 1])) --at;
    if (at == pidEnd || pidEnd - at > 9 || at < 2 || name[at - 1] != '.') return -1;
    const long pid = std::stol(name.substr(at, pidEnd - at));
    return pid > 0 ? pid : -1;
}

// What became of one GET of a download.
enum class NuvaroConnector::DownloadOutcome { Saved, Failed, Redirect };

NuvaroConnector::DownloadOutcome NuvaroConnector::runDownloadRequest(Poco::Net::HTTPClientSession& session,
                                                                     Poco::Net::HTTPRequest& request,
                                                                     const LocalDownload& local, bool mayRedirect,
                                                                     std::string& location, std::string& error,
                                                                     const std::string& name) {
    const ByteRange range{local.rangeStart, local.rangeEnd};
    if (range.requested()) request.set("Range", range.header());
    sendCancellable(session, request);

    Poco::Net::HTTPResponse response;
    std::istream& body = session.receiveResponse(response);
    const int status = response.getStatus();
    rootLog().trace(std::to_string(status) + " " + response.getReason());

    if (status == Poco::Net::HTTPResponse::HTTP_UNAUTHORIZED) {
        rootLog().error(name + " : Invalid Credentials");
        discardBody(body);
        error = kUnauthorizedError;
        return DownloadOutcome::Failed;
    }
    if (status == Poco::Net::HTTPResponse::HTTP_FOUND && mayRedirect) {
        location = Poco::trim(response.get("Location", ""));
        if (!location.empty()) return DownloadOutcome::Redirect;
        rootLog().error(name + " : Bad HTTP Status: " + std::to_string(status) + " without Location");
        discardBody(body);
        error = kBadStatusError;
        return DownloadOutcome::Failed;
    }
    // A whole-file request must be answered 200 and a ranged one 206: a 200
    // reply to a range carries the whole file, which must not be written at
    // the range's offset.
    const int wanted = range.requested() ? Poco::Net::HTTPResponse::HTTP_PARTIAL_CONTENT
                                         : Poco::Net::HTTPResponse::HTTP_OK;
    if (status != wanted) {
        rootLog().error(name + " : Bad HTTP Status: " + std::to_string(status));
        discardBody(body);
        error = kBadStatusError;
        return DownloadOutcome::Failed;
    }
    if (range.start != -1 && contentRangeStart(response) != range.start) {
        rootLog().error(name + " : Content-Range [" + response.get("Content-Range", "") + "] does not start at " +
                        std::to_string(range.start));
        discardBody(body);
        error = "Failed: Unexpected Content-Range for Download File";
        return DownloadOutcome::Failed;
    }
    // A body is complete only when its length is known and reached: a
    // chunked body at its last, zero-length chunk (read with the framing
    // checked, which Poco's own chunked stream does not do), any other body
    // at its Content-Length. A body that ends when the connection closes
    // cannot be told from one that broke off, so it is refused.
    bool saved = false;
    if (response.getChunkedTransferEncoding()) {
        ChunkedBodyInputStream chunked(ChunkedBodyStreamBuf::sessionSource(session));
        saved = saveResponseToFile(chunked, local.path, range.start, error, -1, local.expectedSize, local.cancel);
        if (!saved && !chunked.errorText().empty())
            rootLog().error(name + " : Chunked body refused: " + chunked.errorText());
    } else if (response.hasContentLength()) {
        saved = saveResponseToFile(body, local.path, range.start, error, response.getContentLength64(),
                                   local.expectedSize, local.cancel);
    } else {
        rootLog().error(name + " : Reply without Content-Length or chunked encoding refused");
        error = kNoLengthError;
    }
    return saved ? DownloadOutcome::Saved : DownloadOutcome::Failed;
}

bool NuvaroConnector::downloadFromAddress(const Poco::URI& address, const std::string& target,
                                          const LocalDownload& local, std::string& error, const std::string& name) {
    bool sendCookies = false;
    if (!checkTransferTarget(address, sendCookies, error, name)) return false;
    std::unique_ptr<Poco::Net::HTTPClientSession> session = openSession(address, kTimeoutSeconds);
    if (!applyProxy(*session)) {
        error = transferSetupError();
        return false;
    }
    // The stop of the owner reaches this session as it reaches the first.
    ExchangeCancelScope cancel(*this, m_exchangeHook, session.get());
    if (m_exchangeHook) capConnectTime(*session);
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, target, Poco::Net::HTTPMessage::HTTP_1_1);
    createGetMessage(request, target);
    if (!sendCookies) request.erase("Cookie");
    std::string location;
    return runDownloadRequest(*session, request, local, false, location, error, name) == DownloadOutcome::Saved;
}

bool NuvaroConnector::downloadFile(const std::string& filePath, const std::string& fileName,
                                   const std::string& localPath, std::string& error, const std::string& appName,
                                   Poco::Int64 rangeStart, Poco::Int64 rangeEnd, Poco::Int64 expectedSize,
                                   const std::atomic<bool>* cancel) {
    const std::string name = "downloadFile";
    Poco::Stopwatch watch;
    watch.start();
    std::string target =
        NUVARO_DOWNLOADFILE_COMMAND + "?filepath=" + encodeValue(filePath) + "&filename=" + encodeValue(fileName);
    if (!appName.empty()) target += "&app=" + appName;
    target += "&redirect=1";
    const LocalDownload local{localPath, rangeStart, rangeEnd, expectedSize, cancel};

    return runTransfer(name, kGateLog, kNoAuthError, kTimeoutSeconds, "Failed:", error,
                       [&](Poco::Net::HTTPClientSession& session) {
        rootLog().trace(name + " : Downloading file [" + fileName + "] in path [" + filePath + "] to [" + localPath +
                        "]" + " HTTP Command: " + target);
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, target, Poco::Net::HTTPMessage::HTTP_1_1);
        createGetMessage(request, target);
        std::string location;
        const DownloadOutcome outcome = runDownloadRequest(session, request, local, true, location, error, name);
        std::string speedText = name + " : " + filePath + "/" + fileName;
        if (outcome == DownloadOutcome::Redirect) {
            rootLog().debug(name + " : Download redirect to " + location);
            withdrawFromCancel(session);
            session.reset();
            // A relative Location is resolved against the server and the
            // first request's path; an absolute one is sent as it stands.
            Poco::URI next(getServerURI());
            next.resolve(target);
            next.resolve(location);
            const std::string nextTarget = isAbsoluteUrl(location) ? location : next.toString();
            if (!downloadFromAddress(next, nextTarget, local, error, name)) return false;
            speedText = name + " : " + filePath;
        } else if (outcome != DownloadOutcome::Saved) {
            return false;
        }
        watch.stop();
        rootLog().information(speedText + " Download time = " + elapsedSeconds(watch) + " seconds, Speed=" +
                              transferSpeed(Poco::File(localPath).getSize(), watch));
        return true;
    });
}

bool NuvaroConnector::downloadToFile(const std::string& url, const std::string& localPath, std::string& error) {
    const std::string name = "downloadToFile";
    const LocalDownload local{localPath, -1, -1, -1};
    return runTransfer(name, kGateLog, kNoAuthError, kTimeoutSeconds, "Failed:", error,
                       [&](Poco::Net::HTTPClientSession& session) {
        // An absolute URL is fetched from its own host under the rules of a
        // redirect; a server-relative one goes to the server unchanged.
        if (isAbsoluteUrl(url)) return downloadFromAddress(Poco::URI(url), pathAndQueryOf(url), local, error, name);
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, url, Poco::Net::HTTPMessage::HTTP_1_1);
        createGetMessage(request, url);
        std::string location;
        return runDownloadRequest(session, request, local, false, location, error, name) == DownloadOutcome::Saved;
    });
}

bool NuvaroConnector::saveResponseToFile(std::istream& in, const std::string& localPath, Poco::Int64 offset,
                                         std::string& error, Poco::Int64 expectedLength,
                                         Poco::Int64 expectedFileSize, const std::atomic<bool>* cancel) {
    const std::string name = "saveResponseToFile";
    const bool replace = offset == -1;
    TemporaryFileGuard temporary(replace ? NuvaroConnector::temporaryNameFor(localPath) : std::string());
    const std::string& writePath = replace ? temporary.path() : localPath;

    createPrivateFile(writePath, replace);
    Poco::FileOutputStream out(writePath, replace ? std::ios::out | std::ios::trunc | std::ios::binary
                                                  : std::ios::out | std::ios::binary);
    if (!replace) nuvarocbfs_largeFileSeekgOut(&out, offset);
    if (out.bad() || out.fail()) {
        rootLog().error(name + ": Unable to create file for writing:  " + localPath);
        error = kCreateLocalError;
        return false;
    }
    const Poco::UInt64 copied = copyBody(in, out, cancel);
    if ((cancel && cancel->load()) || transferCanceled()) {
        // A stop, not a failure: the temporary file goes, the file stays.
        rootLog().debug(name + ": Download of " + localPath + " cancelled after " + std::to_string(copied) + " bytes");
        error = TRANSFER_CANCELED_ERROR;
        return false;
    }
    if (in.bad()) {
        // The body stream failed (connection reset, timeout) before its end.
        rootLog().error(name + ": Body for " + localPath + " broke off after " + std::to_string(copied) + " bytes");
        error = "Failed: Connection lost during download";
        return false;
    }
    out.close();
    if (out.bad() || out.fail()) {
        rootLog().error(name + ": Unable to write file:  " + localPath);
        error = "Failed: Unable to write local file";
        return false;
    }
    if (expectedLength >= 0 && copied != static_cast<Poco::UInt64>(expectedLength)) {
        const std::string counts = std::to_string(copied) + " of " + std::to_string(expectedLength) + " bytes";
        rootLog().error(name + ": Incomplete body for " + localPath + ": received " + counts);
        error = "Failed: Incomplete download, received " + counts;
        return false;
    }
    if (expectedFileSize >= 0) {
        // The size the caller knows (the sync record's) decides before the
        // rename; an offset write can only be reported, not undone.
        const Poco::Int64 size = static_cast<Poco::Int64>(Poco::File(writePath).getSize());
        if (size != expectedFileSize) {
            const std::string counts = std::to_string(size) + " bytes, expected " + std::to_string(expectedFileSize);
            rootLog().error(name + ": Size mismatch for " + localPath + ": " + counts);
            error = "Failed: Size Mismatch, the download has " + counts;
            return false;
        }
    }
    if (replace) {
        copyPermissions(localPath, writePath);
        Poco::File(writePath).renameTo(localPath);
        temporary.commit();
    }
    return true;
}

} // namespace Nuvaro
