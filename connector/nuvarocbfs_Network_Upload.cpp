// NuvaroConnector: file uploads, whole (uploadFile) and in pieces
// (chunkedUploadFile), and the progress of the pieces (getCurrentUploadList).
//
// Every request carries one multipart part "filedata" whose Content-Length is
// fixed before the data is read: 200 + the name's bytes (as the filename
// parameter carries them) + the data bytes. The file's version (which file,
// size, modification time) is measured once, before the file is opened, and
// exactly that many bytes are sent; a file that shrinks, grows or is modified
// or replaced while it is read fails the upload with "File changed during
// upload" instead of sending a body that no longer matches what was
// declared. The file is looked at once more before the closing boundary of
// every part: when it changed, the connection is dropped before the body is
// complete, so the server discards the part instead of storing a mix of old
// and new bytes.
//
// Past the closing boundary of the whole file (or of its last piece) every
// byte sent belongs to the measured version: once the server answers that it
// stored it, that version is uploaded, whatever the file became meanwhile (a
// log appended to, an editor's second save). The caller learns which version
// went up and finds the newer file as a change of its own:
//
//     10:00:00.0  measured: 4 bytes, 10:00:00; body sent, boundary closed
//     10:00:00.1  the user appends: 9 bytes, 10:00:00.1
//     10:00:00.3  server: "OK"  ->  true, sent = 4 bytes of 10:00:00

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

// The file being uploaded: its version, measured once before the file is
// opened (so that a file replaced between the two is seen as changed at the
// first check), and the open stream the data is read from. A missing file
// raises the file library's FileNotFoundException.
struct UploadSource {
    explicit UploadSource(const std::string& path)
        : version(LocalFileVersion::of(path)), stream(path, std::ios::in | std::ios::binary) {
        if (!version.known)
            Poco::File(path).getSize(); // raises the file library's error for the path
    }

    // False with the error text when the file could not be examined or
    // opened for reading. Any modification time is valid, 1970-01-01 and
    // earlier ones too.
    bool opened(std::string& error) const {
        if (stream.good() && version.known) return true;
        error = "Failed: Opening File for upload";
        return false;
    }

    // True when the file at path is still the version measured.
    bool unchanged(const std::string& path) const { return LocalFileVersion::of(path).sameAs(version); }

    // The modification time as the upload's date field, to the second
    // (rounded down, before 1970 as well).
    std::string dateText() const { return UtilGetUTCTimeStrFromUTCTimestamp(version.modifiedSecond().utcTime()); }

    const LocalFileVersion version;
    Poco::FileInputStream stream;
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
                                 std::string appName, Poco::Int64 /*unused*/, LocalFileVersion* sent) {
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
        if (!sendUploadPiece(session, target, fileName, source.stream, source.version.size, unchanged,
                             kUploadTimeoutSeconds, error, name)) {
            return false;
        }
        // Stored: the measured version is on the server, whatever the file
        // is now.
        rootLog().debug(name + " : File " + localPath + " with size: " + std::to_string(source.version.size) +
                        " uploaded successfully ");
        if (sent) *sent = source.version;
        return true;
    });
}

bool NuvaroConnector::chunkedUploadFile(const std::string& remoteFolder, const std::string& localPath,
                                        std::string& error, const std::atomic<bool>& cancel, std::string appName,
                                        Poco::Int64 chunkSize, std::string date, LocalFileVersion* sent) {
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
                // A stop, not a failure.
                rootLog().debug(name + " : upload canceled by user request...");
                error = TRANSFER_CANCELED_ERROR;
                return false;
            }
            const Poco::Int64 size = source.version.size;
            progress.set(size == 0 ? 0 : static_cast<int>(offset * 100 / size));
            const Poco::Int64 remaining = size - offset;
            const Poco::Int64 n = remaining <= chunkSize ? remaining : chunkSize;
            const bool complete = remaining == n;
            rootLog().trace(name + " : Chunk [" + std::to_string(offset) + "] to [" + std::to_string(offset + n) +
                            "]" + " Complete: " + (complete ? "1" : "0"));
            const std::string target = uploadTarget(appName, remoteFolder, offset, complete, date);
            if (!sendUploadPiece(session, target, fileName, source.stream, n, unchanged, kPieceTimeoutSeconds, error,
                                 name)) {
                return false;
            }
            // The last piece accepted: the measured version is stored.
            if (complete) break;
            // A file changed after an earlier piece would fail the next
            // piece before its closing boundary: fail now, before sending it.
            if (!source.unchanged(localPath)) {
                rootLog().error(name + " : File " + localPath + " changed during upload");
                error = kChangedError;
                return false;
            }
            offset += n;
        }

        const Poco::Int64 size = source.version.size;
        rootLog().debug(name + " : File " + localPath + " with size " + std::to_string(size) +
                        " uploaded successfully ");
        watch.stop();
        rootLog().information(name + " Elapsed time = " + elapsedSeconds(watch) + " secs, Size = " +
                              std::to_string(size) + ", Speed=" + transferSpeed(static_cast<Poco::UInt64>(size), watch));
        if (sent) *sent = source.version;
        return true;
    });
}

void NuvaroConnector::getCurrentUploadList(std::map<std::string, int>& list) {
    list.clear();
    Poco::Mutex::ScopedLock lock(m_uploadProgressMutex);
    list.insert(m_uploadProgress.begin(), m_uploadProgress.end());
}

} // namespace Nuvaro
