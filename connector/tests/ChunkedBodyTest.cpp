// The reader of chunked reply bodies: complete bodies give their data, every
// kind of broken framing is an error, never a shorter body.

#include "nuvarocbfs_ChunkedBody.h"

#include <Poco/Exception.h>
#include <Poco/StreamCopier.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

using Nuvaro::ChunkedBodyInputStream;
using Nuvaro::ChunkedBodyStreamBuf;

namespace {

// A source over fixed bytes, handing out at most `step` bytes per call.
ChunkedBodyStreamBuf::Source stringSource(const std::string& bytes, std::size_t step) {
    auto position = std::make_shared<std::size_t>(0);
    return [bytes, step, position](char* buffer, int length) {
        const std::size_t n = std::min({bytes.size() - *position, step, static_cast<std::size_t>(length)});
        std::memcpy(buffer, bytes.data() + *position, n);
        *position += n;
        return static_cast<int>(n);
    };
}

struct Outcome {
    std::string data;
    bool complete;
    bool bad;
    std::string error;
};

Outcome readAll(const std::string& wire, std::size_t step) {
    ChunkedBodyInputStream in(stringSource(wire, step));
    Outcome outcome;
    Poco::StreamCopier::copyToString(in, outcome.data);
    outcome.complete = in.complete();
    outcome.bad = in.bad();
    outcome.error = in.errorText();
    return outcome;
}

TEST(ChunkedBody, CompleteBodiesGiveTheirData) {
    const std::string big(20000, 'x');
    struct Case {
        std::string wire;
        std::string data;
    } cases[] = {
        {"5\r\nhello\r\n0\r\n\r\n", "hello"},
        {"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "hello world"},
        {"0\r\n\r\n", ""},
        {"A;name=value\r\n0123456789\r\n000\r\n\r\n", "0123456789"},
        {"5 \r\nhello\r\n0\r\nExpires: never\r\nX-Other: 1\r\n\r\n", "hello"},
        {"5\nhello\n0\n\n", "hello"},                      // bare line feeds
        {"4e20\r\n" + big + "\r\n0\r\n\r\n", big},          // larger than the reader's buffer
    };
    for (const auto& c : cases) {
        for (std::size_t step : {std::size_t(1), std::size_t(3), std::size_t(100000)}) {
            SCOPED_TRACE(c.wire.substr(0, 30) + " step " + std::to_string(step));
            Outcome got = readAll(c.wire, step);
            EXPECT_EQ(got.data, c.data);
            EXPECT_TRUE(got.complete);
            EXPECT_FALSE(got.bad);
            EXPECT_EQ(got.error, "");
        }
    }
}

TEST(ChunkedBody, BrokenFramingIsAnErrorNotAShorterBody) {
    struct Case {
        std::string wire;
        std::string error;
    } cases[] = {
        {"5\r\nhello\r\n", "the connection ended before the last chunk"},
        {"400\r\nhello", "the connection ended inside a chunk"},
        {"5\r\nhello", "the connection ended before the last chunk"},
        {"", "the connection ended before the last chunk"},
        {"5\r\nhello\r\n0\r\n", "the connection ended in the trailer"},
        {"5\r\nhello\r\n0\r\nX: 1\r\n", "the connection ended in the trailer"},
        {"zz\r\nhello\r\n0\r\n\r\n", "bad chunk size line"},
        {"\r\nhello\r\n0\r\n\r\n", "bad chunk size line"},
        {"5x\r\nhello\r\n0\r\n\r\n", "bad chunk size line"},
        {"-5\r\nhello\r\n0\r\n\r\n", "bad chunk size line"},
        {"3\r\nhello\r\n0\r\n\r\n", "chunk data longer than its size"},
        {"1000000000000000\r\n", "chunk size too large"},
        {std::string(5000, '1'), "line longer than 4096 bytes"},
        {"5;" + std::string(5000, 'e') + "\r\nhello\r\n0\r\n\r\n", "line longer than 4096 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wire.substr(0, 40));
        Outcome got = readAll(c.wire, 7);
        EXPECT_FALSE(got.complete);
        EXPECT_TRUE(got.bad);
        EXPECT_EQ(got.error, c.error);
    }
}

TEST(ChunkedBody, AFailingSourceFailsTheStreamWithItsReason) {
    ChunkedBodyInputStream in([](char*, int) -> int { throw Poco::TimeoutException("read timed out"); });
    std::string data;
    Poco::StreamCopier::copyToString(in, data);
    EXPECT_TRUE(in.bad());
    EXPECT_FALSE(in.complete());
    EXPECT_EQ(in.errorText(), "Timeout: read timed out");
}

} // namespace
