#include "Image.h"
#include "TempFolder.h"

#include <Magick++.h>
#include <Poco/Checksum.h>
#include <Poco/File.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <unistd.h>
#include <vector>

using CloudSyncTest::TempFolder;
using Nuvaro::Data::Image;

namespace {

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    Poco::File(folder).list(names);
    std::sort(names.begin(), names.end());
    return names;
}

// A picture built from its RGB bytes (no coder of the library is needed).
Magick::Image fromPixels(unsigned width, unsigned height, const std::vector<unsigned char>& pixels) {
    Magick::Image picture;
    picture.read(width, height, "RGB", Magick::CharPixel, pixels.data());
    return picture;
}

// A colour gradient, or noise when `noisy` (noise compresses badly, so its
// files are long enough to be cut inside their pixel data).
Magick::Image makePicture(unsigned width, unsigned height, bool noisy = false) {
    std::vector<unsigned char> pixels(std::size_t(width) * height * 3);
    std::uint32_t seed = 12345;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        seed = seed * 1103515245u + 12345u;
        std::size_t pixel = i / 3;
        unsigned x = pixel % width, y = static_cast<unsigned>(pixel / width);
        pixels[i] = noisy ? static_cast<unsigned char>(seed >> 16)
                          : static_cast<unsigned char>(i % 3 == 0 ? x * 255 / width
                                                       : i % 3 == 1 ? y * 255 / height : 128);
    }
    return fromPixels(width, height, pixels);
}

Magick::Image solidPicture(unsigned width, unsigned height, unsigned char r, unsigned char g, unsigned char b) {
    std::vector<unsigned char> pixels;
    for (unsigned i = 0; i < width * height; ++i) pixels.insert(pixels.end(), {r, g, b});
    return fromPixels(width, height, pixels);
}

// The file bytes of `picture` in `format` ("PNG", "JPEG", "GIF").
std::string encode(Magick::Image picture, const std::string& format) {
    picture.magick(format);
    Magick::Blob blob;
    picture.write(&blob);
    return std::string(static_cast<const char*>(blob.data()), blob.length());
}

std::uint32_t bigEndian32(const std::string& data, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(data[at + i]);
    return value;
}

void putBigEndian(std::string& data, std::size_t at, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8) data[at + i] = static_cast<char>(value & 0xff);
}

const std::string kPngSignature("\x89PNG\r\n\x1a\n", 8);

// Checks from the file's own header (not through the code under test) that
// `png` is a PNG of that size, then that the library decodes all of it.
void expectPngOfSize(const std::string& png, unsigned width, unsigned height) {
    ASSERT_GE(png.size(), 33u);
    EXPECT_EQ(png.substr(0, 8), kPngSignature);
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    EXPECT_EQ(bigEndian32(png, 16), width);
    EXPECT_EQ(bigEndian32(png, 20), height);
    Magick::Image decoded;
    decoded.read(Magick::Blob(png.data(), png.size()));
    EXPECT_EQ(decoded.magick(), "PNG");
    EXPECT_EQ(decoded.columns(), width);
    EXPECT_EQ(decoded.rows(), height);
}

// A real PNG whose header claims another size (its checksum fixed, so that
// only the size is a lie), as decompression bombs do.
std::string pngDeclaring(std::uint32_t width, std::uint32_t height) {
    std::string png = encode(makePicture(4, 4), "PNG");
    putBigEndian(png, 16, width, 4);
    putBigEndian(png, 20, height, 4);
    Poco::Checksum crc(Poco::Checksum::TYPE_CRC32);
    crc.update(png.data() + 12, 17);  // chunk type and data
    putBigEndian(png, 29, crc.checksum(), 4);
    return png;
}

// A real JPEG whose frame header claims another size.
std::string jpegDeclaring(std::uint16_t width, std::uint16_t height) {
    std::string jpeg = encode(makePicture(16, 16), "JPEG");
    std::size_t at = 2;
    while (at + 9 < jpeg.size() && static_cast<unsigned char>(jpeg[at]) == 0xff) {
        unsigned marker = static_cast<unsigned char>(jpeg[at + 1]);
        if (marker >= 0xc0 && marker <= 0xc2) {  // start of frame: length, precision, height, width
            putBigEndian(jpeg, at + 5, height, 2);
            putBigEndian(jpeg, at + 7, width, 2);
            return jpeg;
        }
        at += 2 + (static_cast<unsigned char>(jpeg[at + 2]) << 8 | static_cast<unsigned char>(jpeg[at + 3]));
    }
    ADD_FAILURE() << "no frame header in the JPEG";
    return jpeg;
}

// A hand-made GIF of one tiny frame whose screen and frame claim that size.
std::string gifDeclaring(std::uint16_t width, std::uint16_t height) {
    auto littleEndian = [](std::uint16_t v) { return std::string{char(v & 0xff), char(v >> 8)}; };
    return "GIF89a" + littleEndian(width) + littleEndian(height) + std::string("\xf0\x00\x00", 3) +
           std::string("\x00\x00\x00\xff\xff\xff", 6) + "," + littleEndian(0) + littleEndian(0) +
           littleEndian(width) + littleEndian(height) + std::string("\x00\x02\x02\x44\x01\x00;", 8);
}

} // namespace

class ImageTest : public testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(Image::setUpLibrary()); }

    TempFolder temp;
};

// The runner's use: the downloaded picture is resized and saved over itself.
TEST_F(ImageTest, PicturesOfEveryAcceptedFormatBecomeA64By64Png) {
    Magick::Image withAlpha = makePicture(80, 80);
    withAlpha.matte(true);
    Magick::Image deep = makePicture(100, 50);
    deep.depth(16);
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"PNG", encode(makePicture(120, 90), "PNG")},
        {"PNG with alpha", encode(withAlpha, "PNG")},
        {"16-bit PNG", encode(deep, "PNG")},
        {"JPEG", encode(makePicture(300, 200, true), "JPEG")},
        {"GIF", encode(makePicture(50, 70), "GIF")},
        {"GIF of the older version", "GIF87a" + encode(makePicture(50, 70), "GIF").substr(6)},
        {"1 by 1 PNG, scaled up", encode(makePicture(1, 1), "PNG")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = temp.write("profile.png", c.bytes);
        Image image(path, 0);
        ASSERT_TRUE(image.resizeImage(64, 64)) << image.getLastError();
        ASSERT_TRUE(image.saveToFile(path)) << image.getLastError();
        expectPngOfSize(TempFolder::read(path), 64, 64);
        EXPECT_EQ(namesIn(temp.path()), std::vector<std::string>{"profile.png"});  // no temporary left
    }
}

TEST_F(ImageTest, BadPicturesFailWithAReasonAndLeaveEveryFileAsItWas) {
    std::string noisyPng = encode(makePicture(200, 200, true), "PNG");
    std::string noisyJpeg = encode(makePicture(200, 200, true), "JPEG");
    std::string noisyGif = encode(makePicture(60, 60, true), "GIF");
    struct Case {
        const char* name;
        std::string bytes;
        const char* reason;
    } cases[] = {
        {"PNG signature and garbage", kPngSignature + std::string(300, '\x5a'), "Cannot decode the image"},
        {"PNG cut in its header", noisyPng.substr(0, 20), "Cannot decode the image"},
        {"PNG cut in its pixel data", noisyPng.substr(0, noisyPng.size() / 2), "Cannot decode the image"},
        {"JPEG cut in its pixel data", noisyJpeg.substr(0, noisyJpeg.size() / 2), "Cannot decode the image"},
        {"GIF cut in its pixel data", noisyGif.substr(0, noisyGif.size() / 2), "Cannot decode the image"},
        {"text file", "<html>Service unavailable</html>\n", "Not a PNG, JPEG or GIF image"},
        {"empty file", "", "empty"},
        {"another picture format", "BM" + std::string(200, '\0'), "Not a PNG, JPEG or GIF image"},
        {"PNG claiming 30000 x 30000", pngDeclaring(30000, 30000), "Cannot decode the image"},
        {"PNG claiming 9000 x 9000", pngDeclaring(9000, 9000), "limit"},
        {"PNG claiming 20000 x 1", pngDeclaring(20000, 1), "Cannot decode the image"},
        {"JPEG claiming 65000 x 65000", jpegDeclaring(65000, 65000), "limit"},
        {"GIF claiming 65535 x 65535", gifDeclaring(65535, 65535), "limit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = temp.write("profile.png", c.bytes);
        std::string target = temp.write("target.png", "the previous picture");

        Image image(path, 0);
        EXPECT_FALSE(image.resizeImage(64, 64));
        EXPECT_NE(image.getLastError().find(c.reason), std::string::npos) << image.getLastError();
        EXPECT_FALSE(image.saveToFile(target));
        EXPECT_FALSE(image.getLastError().empty());

        EXPECT_EQ(TempFolder::read(path), c.bytes);
        EXPECT_EQ(TempFolder::read(target), "the previous picture");
        EXPECT_EQ(namesIn(temp.path()), (std::vector<std::string>{"profile.png", "target.png"}));
    }
}

TEST_F(ImageTest, FilesThatCannotBeReadFailWithAReason) {
    std::string tooLarge = temp.write("large.png", kPngSignature);
    ASSERT_EQ(::truncate(tooLarge.c_str(), static_cast<off_t>(Image::maxFileBytes() + 1)), 0);
    Poco::File(temp.file("folder.png")).createDirectory();
    struct Case {
        const char* name;
        std::string path;
        const char* reason;
    } cases[] = {
        {"missing file", temp.file("missing.png"), "Cannot open"},
        {"folder", temp.file("folder.png"), "Not a regular file"},
        {"file over the size limit", tooLarge, "is larger than"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Image image(c.path, 0);
        EXPECT_FALSE(image.resizeImage(64, 64));
        EXPECT_NE(image.getLastError().find(c.reason), std::string::npos) << image.getLastError();
        EXPECT_FALSE(image.saveToFile(temp.file("out.png")));
        EXPECT_FALSE(Poco::File(temp.file("out.png")).exists());
    }
}

TEST_F(ImageTest, SizesOutsideTheAllowedRangeAreRefusedAndKeepThePicture) {
    std::string path = temp.write("profile.png", encode(makePicture(30, 20), "PNG"));
    Image image(path, 0);
    ASSERT_TRUE(image.resizeImage(64, 48));
    for (auto size : {std::pair<int, int>{0, 64}, {64, 0}, {-1, 5}, {Image::maxTargetSide() + 1, 64}}) {
        EXPECT_FALSE(image.resizeImage(size.first, size.second));
        EXPECT_NE(image.getLastError().find("each side must be"), std::string::npos) << image.getLastError();
    }
    ASSERT_TRUE(image.saveToFile(temp.file("out.png")));
    expectPngOfSize(TempFolder::read(temp.file("out.png")), 64, 48);
}

TEST_F(ImageTest, ASecondResizeScalesTheFirstResult) {
    std::string path = temp.write("profile.jpg", encode(makePicture(300, 200, true), "JPEG"));
    Image image(path, 0);
    ASSERT_TRUE(image.resizeImage(64, 64));
    ASSERT_TRUE(image.resizeImage(16, 8));
    ASSERT_TRUE(image.saveToFile(temp.file("small.png")));
    expectPngOfSize(TempFolder::read(temp.file("small.png")), 16, 8);
}

TEST_F(ImageTest, SavingWithoutResizeConvertsThePictureToPng) {
    std::string path = temp.write("profile.jpg", encode(makePicture(300, 200, true), "JPEG"));
    Image image(path, 0);
    ASSERT_TRUE(image.saveToFile(temp.file("copy.png"))) << image.getLastError();
    expectPngOfSize(TempFolder::read(temp.file("copy.png")), 300, 200);
}

TEST_F(ImageTest, OnlyTheFirstFrameOfAnAnimatedGifIsUsed) {
    std::vector<Magick::Image> frames{solidPicture(40, 40, 255, 0, 0), solidPicture(40, 40, 0, 0, 255)};
    for (Magick::Image& frame : frames) frame.animationDelay(10);
    Magick::Blob blob;
    frames.front().magick("GIF");
    Magick::writeImages(frames.begin(), frames.end(), &blob, true);
    std::string path = temp.write("profile.png", std::string(static_cast<const char*>(blob.data()), blob.length()));

    Image image(path, 0);
    ASSERT_TRUE(image.resizeImage(64, 64)) << image.getLastError();
    ASSERT_TRUE(image.saveToFile(path));
    std::string png = TempFolder::read(path);
    expectPngOfSize(png, 64, 64);
    Magick::Image decoded;
    decoded.read(Magick::Blob(png.data(), png.size()));
    Magick::ColorRGB centre = decoded.pixelColor(32, 32);
    EXPECT_GT(centre.red(), 0.9);
    EXPECT_LT(centre.blue(), 0.1);
}

TEST_F(ImageTest, AFailedSaveLeavesTheTargetAndItsFolderAsTheyWere) {
    std::string path = temp.write("profile.png", encode(makePicture(30, 20), "PNG"));
    Image image(path, 0);
    ASSERT_TRUE(image.resizeImage(64, 64));

    EXPECT_FALSE(image.saveToFile(temp.file("no such folder/profile.png")));
    EXPECT_NE(image.getLastError().find("Cannot create"), std::string::npos) << image.getLastError();
    EXPECT_FALSE(Poco::File(temp.file("no such folder")).exists());

    // A folder in the way: the rename fails and the temporary file goes.
    temp.write("taken.png/inside", "kept");
    EXPECT_FALSE(image.saveToFile(temp.file("taken.png")));
    EXPECT_NE(image.getLastError().find("Cannot replace"), std::string::npos) << image.getLastError();
    EXPECT_EQ(TempFolder::read(temp.file("taken.png/inside")), "kept");
    EXPECT_EQ(namesIn(temp.path()), (std::vector<std::string>{"profile.png", "taken.png"}));
}

// Every thread resizes pictures of its own, good and bad, at the same time.
TEST_F(ImageTest, ResizesRunOnSeveralThreadsAtOnce) {
    const std::vector<std::string> good = {encode(makePicture(120, 90), "PNG"),
                                           encode(makePicture(200, 150, true), "JPEG"),
                                           encode(makePicture(60, 60), "GIF")};
    const std::string bad = good[1].substr(0, good[1].size() / 2);
    const int threadCount = 8, rounds = 6;
    std::vector<int> failures(threadCount, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < rounds; ++round) {
                bool shouldWork = (t + round) % 4 != 3;
                std::string path = temp.write(
                    "t" + std::to_string(t) + "/profile.png", shouldWork ? good[(t + round) % good.size()] : bad);
                Image image(path, 0);
                bool worked = image.resizeImage(64, 64) && image.saveToFile(path);
                std::string png = TempFolder::read(path);
                bool is64 = png.size() > 24 && png.compare(0, 8, kPngSignature) == 0 &&
                            bigEndian32(png, 16) == 64 && bigEndian32(png, 20) == 64;
                if (worked != shouldWork || is64 != shouldWork || (!worked && image.getLastError().empty()))
                    ++failures[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<int>(threadCount, 0));
}

// Pictures with bytes changed at random places either convert or fail with a
// reason; none crashes (meaningful under the address sanitizer).
TEST_F(ImageTest, DamagedPicturesConvertOrFailButNeverCrash) {
    std::uint32_t seed = 4711;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (const char* format : {"PNG", "JPEG", "GIF"}) {
        const std::string original = encode(makePicture(40, 30, true), format);
        for (int round = 0; round < 100; ++round) {
            std::string bytes = original;
            int changes = 1 + next() % 8;
            for (int i = 0; i < changes; ++i) bytes[8 + next() % (bytes.size() - 8)] = static_cast<char>(next() >> 24);
            if (round % 5 == 0) bytes.resize(8 + next() % (bytes.size() - 8));
            std::string png, error;
            if (Image::convertToPng(bytes, 64, 64, png, error)) {
                EXPECT_EQ(png.compare(0, 8, kPngSignature), 0) << format << " round " << round;
            } else {
                EXPECT_FALSE(error.empty()) << format << " round " << round;
            }
        }
    }
}
