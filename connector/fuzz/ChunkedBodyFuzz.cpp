// Fuzz target: the reader of chunked reply bodies, on the raw bytes a hostile
// or broken server sends after a reply head. The first byte sets how many
// bytes each read of the connection delivers (1 to 256), the rest is the
// connection. The reader must never deliver more data than arrived, must
// report a complete body only with a good stream, and must say why otherwise.

#include "nuvarocbfs_ChunkedBody.h"

#include <Poco/Exception.h>
#include <Poco/StreamCopier.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t step = static_cast<std::size_t>(data[0]) + 1;
    const std::string wire(reinterpret_cast<const char*>(data + 1), size - 1);
    std::size_t position = 0;
    Nuvaro::ChunkedBodyInputStream in([&](char* buffer, int length) {
        const std::size_t n = std::min({wire.size() - position, step, static_cast<std::size_t>(length)});
        std::memcpy(buffer, wire.data() + position, n);
        position += n;
        return static_cast<int>(n);
    });
    std::string body;
    Poco::StreamCopier::copyToString(in, body);

    if (body.size() > wire.size()) std::abort();
    if (in.complete() == in.bad()) std::abort();           // exactly one of the two
    if (in.complete() != in.errorText().empty()) std::abort();
    return 0;
}
