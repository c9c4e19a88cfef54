// Throughput of the connector's transfers against the test server on
// loopback, beside curl doing the same requests, and the rate of small-file
// transfers. Run by hand (see README); not a test.
//
//   transfer_throughput [size in MiB, default 256] [small files, default 1000]
//
// It prints, for one large sparse file: whole upload, chunked upload (10 MiB
// pieces) and download through the connector, each with the figure of a
// reference client doing the same requests (curl for the whole upload and
// the download, a minimal Poco client for the pieces) and the ratio; then files per second for the small
// files uploaded and downloaded one after the other; and the process's peak
// memory before and after the large transfers (the test server runs in the
// same process and streams to disk, so the peak stays flat when no whole-file
// buffer exists).

#include "nuvarocbfs_Network.h"
#include "VaultpineTestServer.h"

#include <Poco/File.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/NameValueCollection.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>
#include <Poco/Path.h>
#include <Poco/TemporaryFile.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

using namespace Nuvaro;
using namespace Nuvaro::Sync::TestServer;

namespace {

const std::string kUser = "bench";
const std::string kPassword = "bench-pass";
const std::string kFolder = "/bench";
constexpr int kRounds = 3;
constexpr Poco::Int64 kPiece = 10485760;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Peak resident memory of this process in KiB (VmHWM).
long peakMemoryKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// Runs a shell command and returns its wall time in seconds; exits on failure.
double timedCommand(const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) {
        std::cerr << "command failed: " << command << std::endl;
        std::exit(1);
    }
    return secondsSince(start);
}

// The shortest of several timings.
struct Shortest {
    double seconds = 1e30;
    void add(double value) { seconds = std::min(seconds, value); }
};

struct Best {
    Shortest ours, reference;
};

// Throughput of the connector and of the reference client, and the share of
// the reference's throughput that the connector reaches.
void printRow(const std::string& what, Poco::Int64 bytes, const Best& best) {
    const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
    std::printf("%-30s connector %7.1f MiB/s   reference %7.1f MiB/s   ratio %.2f\n", what.c_str(),
                mib / best.ours.seconds, mib / best.reference.seconds, best.reference.seconds / best.ours.seconds);
}

// The value of the session cookie in curl's cookie jar.
std::string cookieFromJar(const std::string& jar) {
    std::ifstream in(jar);
    std::string line;
    const std::string name = "\tvpsession\t";
    while (std::getline(in, line)) {
        const std::string::size_type at = line.find(name);
        if (at != std::string::npos) return line.substr(at + name.size());
    }
    std::cerr << "no session cookie in " << jar << std::endl;
    std::exit(1);
}

// The reference for the chunked upload: a minimal Poco client sending the
// same pieces (same query, multipart part and Content-Length) on one
// keep-alive session, copying each piece with a 64 KiB buffer.
bool referencePieces(const std::string& url, const std::string& cookie, const std::string& file, Poco::Int64 size,
                     Poco::Int64 piece, std::string& error) {
    const Poco::URI server(url);
    Poco::Net::HTTPClientSession session(server.getHost(), server.getPort());
    const std::string boundary = "---------------------------248221545120005";
    const std::string head = "--" + boundary +
                             "\r\nContent-Disposition: form-data; name=\"filedata\"; filename=\"big.bin\"\r\n"
                             "Content-Type: application/octet-stream\r\n\r\n";
    const std::string tail = "\r\n--" + boundary + "--\r\n";
    std::ifstream in(file, std::ios::binary);
    std::vector<char> buffer(65536);
    for (Poco::Int64 offset = 0; offset < size; offset += piece) {
        const Poco::Int64 n = std::min(piece, size - offset);
        const bool last = offset + n == size;
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_POST,
                                       "/upload?appname=sync&path=%2Fbench&expandzip=0&offset=" +
                                           std::to_string(offset) + (last ? "&complete=1" : "&complete=0") +
                                           "&overwrite=1",
                                       Poco::Net::HTTPMessage::HTTP_1_1);
        Poco::Net::NameValueCollection cookies;
        cookies.add("vpsession", cookie);
        request.setCookies(cookies);
        request.setContentType("multipart/form-data; boundary=" + boundary);
        request.setContentLength64(static_cast<Poco::Int64>(head.size() + tail.size()) + n);
        std::ostream& out = session.sendRequest(request);
        out << head;
        for (Poco::Int64 left = n; left > 0;) {
            const std::streamsize want = static_cast<std::streamsize>(std::min<Poco::Int64>(left, buffer.size()));
            in.read(buffer.data(), want);
            out.write(buffer.data(), in.gcount());
            left -= in.gcount();
            if (in.gcount() == 0) break;
        }
        out << tail;
        Poco::Net::HTTPResponse response;
        std::string body;
        Poco::StreamCopier::copyToString(session.receiveResponse(response), body);
        if (response.getStatus() != 200 || body != "OK") {
            error = body;
            return false;
        }
    }
    return true;
}

template <typename Transfer>
double timed(const char* what, Transfer transfer) {
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    if (!transfer(error)) {
        std::cerr << what << " failed: " << error << std::endl;
        std::exit(1);
    }
    return secondsSince(start);
}

} // namespace

int main(int argc, char** argv) {
    const Poco::Int64 sizeMiB = argc > 1 ? std::atoll(argv[1]) : 256;
    const int smallFiles = argc > 2 ? std::atoi(argv[2]) : 1000;
    const Poco::Int64 size = sizeMiB * 1024 * 1024;

    Poco::TemporaryFile dir;
    dir.createDirectories();
    auto local = [&](const std::string& name) { return Poco::Path(dir.path(), name).toString(); };

    ServerOptions options;
    options.recordBodyLimit = 4096; // the request log must not hold the bodies
    VaultpineTestServer server(options);
    server.start();
    TestAccount account;
    account.userId = kUser;
    account.password = kPassword;
    server.addAccount(account);
    const std::string url = server.baseUrl();

    Record settings(new std::map<std::string, std::string>);
    (*settings)["url"] = url;
    (*settings)["profile"] = kUser;
    (*settings)["password"] = kPassword;
    NuvaroConnector connector(RecordList{settings}, false, "Cloud Sync");
    if (!connector.Authenticate(true)) {
        std::cerr << "login failed: " << connector.getLastError() << std::endl;
        return 1;
    }
    // curl logs in on its own and keeps the session cookie in a jar.
    const std::string jar = local("cookies.txt");
    timedCommand("curl -sf -o /dev/null -c " + jar + " -d 'userid=" + kUser + "&password=" + kPassword + "' " + url +
                 "/core/loginguest");

    // The large file is sparse: reading it costs no disk time.
    const std::string big = local("big.bin");
    {
        std::ofstream create(big, std::ios::binary);
    }
    if (::truncate(big.c_str(), static_cast<off_t>(size)) != 0) {
        std::perror("truncate");
        return 1;
    }

    std::printf("Transfers of one %lld MiB file over loopback (test server in this process), best of %d rounds\n",
                static_cast<long long>(sizeMiB), kRounds);
    const long memoryBefore = peakMemoryKiB();
    const std::string cookie = cookieFromJar(jar);
    std::atomic<bool> cancel{false};
    const std::string uploadQuery = "/upload?appname=sync&path=%2Fbench&expandzip=0&overwrite=1";
    const std::string downloadQuery = "/core/downloadfile?filepath=%2Fbench&filename=big.bin&app=sync&redirect=1";

    // Rounds alternate between the reference and the connector so that both
    // see the same state of the page cache and the server.
    Best upload, chunked, download;
    for (int round = 0; round < kRounds; ++round) {
        upload.reference.add(timedCommand("curl -sf -o /dev/null -b " + jar + " -F 'filedata=@" + big +
                                          ";type=application/octet-stream' '" + url + uploadQuery + "'"));
        upload.ours.add(timed("uploadFile", [&](std::string& error) {
            return connector.uploadFile(kFolder, big, error, "sync", -1);
        }));
        chunked.reference.add(timed("reference pieces", [&](std::string& error) {
            return referencePieces(url, cookie, big, size, kPiece, error);
        }));
        chunked.ours.add(timed("chunkedUploadFile", [&](std::string& error) {
            return connector.chunkedUploadFile(kFolder, big, error, cancel, "sync", kPiece, "");
        }));
        download.reference.add(timedCommand("curl -sSf -L -b " + jar + " -o " + local("curl.bin") + " '" + url +
                                            downloadQuery + "'"));
        download.ours.add(timed("downloadFile", [&](std::string& error) {
            return connector.downloadFile(kFolder, "big.bin", local("ours.bin"), error, "sync", -1, -1);
        }));
        if (static_cast<Poco::Int64>(Poco::File(local("ours.bin")).getSize()) != size) {
            std::cerr << "downloaded size differs" << std::endl;
            return 1;
        }
    }
    printRow("upload, one request (curl)", size, upload);
    printRow("upload, 10 MiB pieces (Poco)", size, chunked);
    printRow("download, 302 + body (curl)", size, download);
    const long memoryAfter = peakMemoryKiB();
    std::printf("peak memory: %ld KiB before, %ld KiB after the large transfers (file: %lld KiB)\n", memoryBefore,
                memoryAfter, static_cast<long long>(size / 1024));
    Poco::File(local("ours.bin")).remove();
    Poco::File(local("curl.bin")).remove();

    // Small files, one after the other, each on its own connection(s).
    const std::string small(4096, 's');
    const std::string smallDir = local("small");
    Poco::File(smallDir).createDirectories();
    for (int i = 0; i < smallFiles; ++i) {
        std::ofstream(smallDir + "/f" + std::to_string(i) + ".txt", std::ios::binary) << small;
    }
    server.makeFolder(kUser, "/bench/small");
    const double smallUp = timed("small uploads", [&](std::string& error) {
        for (int i = 0; i < smallFiles; ++i) {
            if (!connector.uploadFile("/bench/small", smallDir + "/f" + std::to_string(i) + ".txt", error, "sync",
                                      -1)) {
                return false;
            }
        }
        return true;
    });
    const double smallDown = timed("small downloads", [&](std::string& error) {
        for (int i = 0; i < smallFiles; ++i) {
            const std::string name = "f" + std::to_string(i) + ".txt";
            if (!connector.downloadFile("/bench/small", name, smallDir + "/" + name, error, "sync", -1, -1)) {
                return false;
            }
        }
        return true;
    });
    std::printf("%d files of 4 KiB: upload %.0f files/s, download %.0f files/s\n", smallFiles, smallFiles / smallUp,
                smallFiles / smallDown);
    server.stop();
    return 0;
}
