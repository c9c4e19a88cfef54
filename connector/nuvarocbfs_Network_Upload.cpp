// NuvaroConnector: file uploads, whole (uploadFile) and in pieces
// (chunkedUploadFile), and the progress of the pieces (getCurrentUploadList).
//
// Every request carries one multipart part "filedata" whose Content-Length is
// fixed before the data is read: 200 + the name's bytes (as the filename
// parameter carries them) + the data bytes. The
// file's size and modification time are measured once, before the first
// request, and exactly that many bytes are sent; a file that shrinks, grows or
// is modified or replaced while it is read fails the upload with "File changed
// during upload" instead of sending a body that no longer matches what was
// declared. The file is looked at once more before the closing boundary of
// every part: when it changed, the connection is dropped before the body is
// complete, so the server discards the part instead of storing a mix of old
// and new bytes.

#include "nuvarocbfs_Network.h"

#include <Poco/Ascii.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/Logger.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Stopwatch.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>

#include <sys/stat.h>

#include <exception>
#include <functional>
#include <memory>

namespace Nuvaro {

namespace {

Poco::Logger& rootLog() { return Poco::Logger::root(); }

const std::string kBoundary = "---------------------------248221545120005";
const std::string kNoAuthError = "Failed: No Authentication to Upload File";
const std::string kChangedError = "Failed: File changed during upload";
const std::string kGateLog = " : Not authenticated. Cannot upload file";
constexpr int kUploadTimeoutSeconds = 120;
constexpr int kPieceTimeoutSeconds = 300;

// 100-nanosecond units between 1582-10-15 and 1970-01-01.
constexpr Poco::Int64 kUtcEpochOffset = 122192928000000000LL;

// The file name as the quoted filename parameter carries it: a double
// quote, CR and LF would end the parameter or the header line, so they are
// percent-encoded (%22, %0D, %0A) as multipart/form-data does; every other
// byte goes as it is, so most names go out unchanged.
//   say "hi".txt  ->  say %22hi%22.txt
std::string filenameParameter(const std::string& fileName) {
    std::string out;
    out.reserve(fileName.size());
    for (char c : fileName) {
        switch (c) {
        case '"': out += "%22"; break;
        case '\r': out += "%0D"; break;
        case '\n': out += "%0A"; break;
        default: out += c;
        }
    }
    return out;
}

// The part head (boundary line, part headers, empty line) and the tail of
// the multipart body. head + tail are 200 bytes plus the bytes of the name
// as the filename parameter carries it.
std::string partHead(const std::string& fileName) {
    return "--" + kBoundary + "\r\n" + "Content-Disposition: form-data; name=\"filedata\"; filename=\"" +
           filenameParameter(fileName) + "\"\r\n" + "Content-Type: application/octet-stream\r\n\r\n";
}

std::string partTail() {
    return "\r\n--" + kBoundary + "--\r\n";
}

bool isWordCharacter(char c) {
    return Poco::Ascii::isAlphaNumeric(c) || c == '_';
}

// True when word occurs in text as a word of its own: not preceded or
// followed by a letter, digit or underscore ("OK" in "<r>OK</r>" or "OK."
// counts, in "TOKEN" or "BOOK" it does not).
bool containsWord(const std::string& text, const std::string& word) {
    for (std::string::size_type at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const bool freeBefore = at == 0 || !isWordCharacter(text[at - 1]);
        const std::string::size_type after = at + word.size();
        const bool freeAfter = after == text.size() || !isWordCharacter(text[after]);
        if (freeBefore && freeAfter) return true;
    }
    return false;
}

// The modification time of a file in nanoseconds since 1970.
Poco::Int64 modificationNanos(const struct stat& info) {
    return static_cast<Poco::Int64>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
}

// The size and modification time of the file being uploaded, measured once
// before the first request, with the open stream the data is read from. A
// missing file raises the file library's FileNotFoundException.
struct UploadSource {
    explicit UploadSource(const std::string& path)
        : stream(path, std::ios::in | std::ios::binary) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            Poco::File(path).getSize(); // raises the file library's error for the path
            return;
        }
        size = static_cast<Poco::Int64>(info.st_size);
        modified = modificationNanos(info);
        device = info.st_dev;
        inode = info.st_ino;
    }

    // False with the error text when the file could not be opened for reading.
    bool opened(std::string& error) const {
        if (stream.good() && modified >= 0) return true;
        error = "Failed: Opening File for upload";
        return false;
    }

    // True when the file at path is still the one measured (same device and
    // inode: not replaced by a save that writes aside and renames over) with
    // the measured size and time (to the nanosecond, where the file system
    // keeps them).
    bool unchanged(const std::string& path) const {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 && info.st_dev == device && info.st_ino == inode &&
               static_cast<Poco::Int64>(info.st_size) == size && modificationNanos(info) == modified;
    }

    // The modification time as the upload's date field.
    std::string dateText() const {
        return UtilGetUTCTimeStrFromUTCTimestamp((modified / 1000) * 10 + kUtcEpochOffset);
    }

    Poco::FileInputStream stream;
    Poco::Int64 size = 0;
    Poco::Int64 modified = -1; // nanoseconds since 1970; -1 when unreadable
    dev_t device = 0;
    ino_t inode = 0;
};

// Erases a chunked upload's progress entry when the upload ends, on every path.
class ProgressEntryGuard {
public:
    ProgressEntryGuard(Poco::Mutex& mutex, std::map<std::string, int>& progress, std::string key)
        : m_mutex(mutex), m_progress(progress), m_key(std::move(key)) {}
    ~ProgressEntryGuard() {
        Poco::Mutex::ScopedLock lock(m_mutex);
        m_progress.erase(m_key);
    }
    void set(int percent) {
        Poco::Mutex::ScopedLock lock(m_mutex);
        m_progress[m_key] = percent;
    }

private:
    Poco::Mutex& m_mutex;
    std::map<std::string, int>& m_progress;
    std::string m_key;
};

} // namespace

std::string NuvaroConnector::uploadTarget(const std::string& appName, const std::string& remoteFolder,
                                          Poco::Int64 offset, bool complete, const std::string& date) {
    std::string target = NUVARO_UPLOADFILE_COMMAND + appName + "&path=" + encodeValue(remoteFolder) + "&expandzip=0";
    if (offset >= 0) target += "&offset=" + std::to_string(offset) + (complete ? "&complete=1" : "&complete=0");
    return target + "&date=" + date + "&overwrite=1";
}

bool NuvaroConnector::sendUploadPiece(Poco::Net::HTTPClientSession& session, const std::string& target,
                                      const std::string& fileName, std::istream& data, Poco::Int64 count,
                                      const std::function<bool()>& sourceUnchanged, int timeoutSeconds,
                                      std::string& error, const std::string& name) {
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_POST, target, Poco::Net::HTTPMessage::HTTP_1_1);
    createPostMessage(request, target);
    request.setContentType("multipart/form-data; boundary=" + kBoundary);
    session.setTimeout(effectiveTimeout(timeoutSeconds));
    if (m_exchangeHook) capConnectTime(session);

    const std::string head = partHead(fileName);
    const std::string tail = partTail();
    request.setChunkedTransferEncoding(false);
    request.setContentLength64(static_cast<Poco::Int64>(head.size() + tail.size()) + count);
    std::ostream& out = sendCancellable(session, request);
    out << head;
    const Poco::Int64 sent = copyStream64(data, out, count);
    if (sent != count && transferCanceled()) {
        // The owner's stop shut the connection down under the body.
        withdrawFromCancel(session);
        session.abort();
        rootLog().debug(name + " : canceled after " + std::to_string(sent) + " of " + std::to_string(count) +
                        " bytes");
        error = TRANSFER_CANCELED_ERROR;
        return false;
    }
    // A body that would not match its Content-Length, or bytes of a file
    // that changed while they were read (the part may hold a mix of old and
    // new content): the connection is dropped before the closing boundary,
    // so that the server discards this request instead of storing it.
    const bool complete = sent == count;
    if (!complete || !sourceUnchanged()) {
        withdrawFromCancel(session);
        session.abort();
        if (complete)
            rootLog().error(name + " : the file changed while its " + std::to_string(count) +
                            " bytes were sent, the request is dropped");
        else
            rootLog().error(name + " : read " + std::to_string(sent) + " of " + std::to_string(count) +
                            " bytes, the file changed during upload");
        error = kChangedError;
        return false;
    }
    out << tail;

    Poco::Net::HTTPResponse response;
    std::istream& in = session.receiveResponse(response);
    const int status = response.getStatus();
    if (status == Poco::Net::HTTPResponse::HTTP_UNAUTHORIZED) {
        rootLog().error(name + " : Invalid Credentials : " + std::to_string(status) + " : ");
    } else if (status != Poco::Net::HTTPResponse::HTTP_OK) {
        rootLog().error(name + " : Bad HTTP Status : " + std::to_string(status) + " : ");
    }
    std::string body;
    Poco::StreamCopier::copyToString(in, body, 8192);
    rootLog().trace(name + " : Response String : [" + body + "]");

    if (status == Poco::Net::HTTPResponse::HTTP_OK && (containsWord(body, "Succeeded") || containsWord(body, "OK"))) {
        return true;
    }
    error = body.empty() ? "Failed: Bad HTTP Status " + std::to_string(status) + " for Upload File" : body;
    return false;
}

bool NuvaroConnector::uploadFile(const std::string& remoteFolder, const std::string& localPath, std::string& error,
                                 std::string appName, Poco::Int64 /*unused*/) {
    const std::string name = "uploadFile";
    return runTransfer(name, kGateLog, kNoAuthError, kUploadTimeoutSeconds, "Failed: ", error,
                       [&](Poco::Net::HTTPClientSession& session) {
        rootLog().trace(name + " : Upload file [" + localPath + "] to [" + remoteFolder + "]");
        UploadSource source(localPath);
        if (!source.opened(error)) return false;
        std::string folder, fileName;
        splitFolder(localPath, fileName, folder);
        const std::string target = uploadTarget(appName, remoteFolder, -1, false, source.dateText());
        const auto unchanged = [&] { return source.unchanged(localPath); };
        if (!sendUploadPiece(session, target, fileName, source.stream, source.size, unchanged, kUploadTimeoutSeconds,
                             error, name)) {
            return false;
        }
        if (!source.unchanged(localPath)) {
            rootLog().error(name + " : File " + localPath + " changed during upload");
            error = kChangedError;
            return false;
        }
        rootLog().debug(name + " : File " + localPath + " with size: " + std::to_string(source.size) +
                        " uploaded successfully ");
        return true;
    });
}

bool NuvaroConnector::chunkedUploadFile(const std::string& remoteFolder, const std::string& localPath,
                                        std::string& error, const std::atomic<bool>& cancel, std::string appName,
                                        Poco::Int64 chunkSize, std::string date) {
    const std::string name = "chunkedUploadFile";
    Poco::Stopwatch watch;
    watch.start();
    std::string folder, fileName;
    splitFolder(localPath, fileName, folder);
    if (chunkSize <= 0) {
        rootLog().error(name + " : chunk size " + std::to_string(chunkSize) + " is not positive");
        error = "Failed: Invalid chunk size for upload";
        return false;
    }
    return runTransfer(name, kGateLog, kNoAuthError, kPieceTimeoutSeconds, "Failed: ", error,
                       [&](Poco::Net::HTTPClientSession& session) {
        rootLog().trace(name + " : chunked Upload file [" + localPath + "] to [" + remoteFolder + "]");
        UploadSource source(localPath);
        if (!source.opened(error)) return false;
        if (date.empty()) date = source.dateText();
        ProgressEntryGuard progress(m_uploadProgressMutex, m_uploadProgress, remoteFolder + "/" + fileName);
        const auto unchanged = [&] { return source.unchanged(localPath); };

        // The stop request is read before each piece; the last piece (an
        // empty one for an empty file) ends the loop at once, so a finished
        // upload is never reported as cancelled.
        for (Poco::Int64 offset = 0;;) {
            if (cancel.load()) {
                rootLog().error(name + " : upload canceled by user request...");
                error = TRANSFER_CANCELED_ERROR;
                return false;
            }
            progress.set(source.size == 0 ? 0 : static_cast<int>(offset * 100 / source.size));
            const Poco::Int64 remaining = source.size - offset;
            const Poco::Int64 n = remaining <= chunkSize ? remaining : chunkSize;
            const bool complete = remaining == n;
            rootLog().trace(name + " : Chunk [" + std::to_string(offset) + "] to [" + std::to_string(offset + n) +
                            "]" + " Complete: " + (complete ? "1" : "0"));
            const std::string target = uploadTarget(appName, remoteFolder, offset, complete, date);
            if (!sendUploadPiece(session, target, fileName, source.stream, n, unchanged, kPieceTimeoutSeconds, error,
                                 name)) {
                return false;
            }
            if (!source.unchanged(localPath)) {
                rootLog().error(name + " : File " + localPath + " changed during upload");
                error = kChangedError;
                return false;
            }
            if (complete) break;
            offset += n;
        }

        rootLog().debug(name + " : File " + localPath + " with size " + std::to_string(source.size) +
                        " uploaded successfully ");
        watch.stop();
        rootLog().information(name + " Elapsed time = " + elapsedSeconds(watch) + " secs, Size = " +
                              std::to_string(source.size) + ", Speed=" +
                              transferSpeed(static_cast<Poco::UInt64>(source.size), watch));
        return true;
    });
}

void NuvaroConnector::getCurrentUploadList(std::map<std::string, int>& list) {
    list.clear();
    Poco::Mutex::ScopedLock lock(m_uploadProgressMutex);
    list.insert(m_uploadProgress.begin(), m_uploadProgress.end());
}

} // namespace Nuvaro
