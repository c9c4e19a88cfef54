#include "Image.h"

#include "NuvaroUtil.h"

#include <Magick++.h>
#include <magick/api.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace Nuvaro {
namespace Data {

namespace {

// The formats we read, as the library names its coders. Nothing else is left
// registered with the library.
const char* const kFormats[] = {"PNG", "JPEG", "GIF"};

// The coder for `data` judged from its first bytes, or null when it is not
// the start of a PNG, JPEG or GIF file.
const char* formatOf(const std::string& data) {
    auto startsWith = [&data](const char* magic, std::size_t length) {
        return data.size() >= length && data.compare(0, length, magic, length) == 0;
    };
    if (startsWith("\x89PNG\r\n\x1a\n", 8)) return "PNG";
    if (startsWith("\xff\xd8\xff", 3)) return "JPEG";
    if (startsWith("GIF87a", 6) || startsWith("GIF89a", 6)) return "GIF";
    return nullptr;
}

// Reads the whole file at `path` into `data`, refusing anything but a regular
// file of at most Image::maxFileBytes() bytes.
bool readImageFile(const std::string& path, std::string& data, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "Cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    auto tooLarge = [&] {
        error = "Image file " + path + " is larger than " + std::to_string(Image::maxFileBytes()) + " bytes";
        return false;
    };
    struct stat info;
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (!ok) error = "Not a regular file: " + path;
    if (ok && static_cast<std::size_t>(info.st_size) > Image::maxFileBytes()) ok = tooLarge();
    std::string content;
    char buffer[64 * 1024];
    while (ok) {
        ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            error = "Cannot read " + path + ": " + std::strerror(errno);
        } else if (n == 0) {
            break;
        } else if (content.size() + static_cast<std::size_t>(n) > Image::maxFileBytes()) {
            ok = tooLarge();  // grew while being read
        } else {
            content.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    if (ok) data.swap(content);
    return ok;
}

} // namespace

Image::Image(const std::string& path, int) : m_path(path) {}

// No signal handlers of the library's own, the resource limits, one worker
// thread per call (pictures are small once scaled, and several threads may
// resize at once), and every coder but ours unregistered.
bool Image::setUpLibrary() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        MagickLib::ExceptionInfo exception;
        MagickLib::GetExceptionInfo(&exception);
        MagickPassFail ok = MagickLib::InitializeMagickEx(nullptr, MAGICK_OPT_NO_SIGNAL_HANDER, &exception);
        MagickLib::DestroyExceptionInfo(&exception);
        if (ok != MagickPass) return;

        using namespace MagickLib;
        SetMagickResourceLimit(WidthResource, maxSide());
        SetMagickResourceLimit(HeightResource, maxSide());
        SetMagickResourceLimit(PixelsResource, static_cast<magick_int64_t>(maxPixels()));
        SetMagickResourceLimit(MemoryResource, static_cast<magick_int64_t>(maxMemoryBytes()));
        SetMagickResourceLimit(MapResource, 0);
        SetMagickResourceLimit(DiskResource, 0);
        SetMagickResourceLimit(ThreadsResource, 1);

        GetExceptionInfo(&exception);
        MagickInfo** coders = GetMagickInfoArray(&exception);
        DestroyExceptionInfo(&exception);
        if (coders == nullptr) return;
        for (MagickInfo** coder = coders; *coder != nullptr; ++coder) {
            const char* name = (*coder)->name;
            bool keep = false;
            for (const char* format : kFormats) keep = keep || std::strcmp(name, format) == 0;
            if (!keep) UnregisterMagickInfo(name);
        }
        MagickFree(coders);
        ready = true;
    });
    return ready;
}

bool Image::resizeImage(int width, int height) {
    std::string source;
    if (m_png.empty()) {
        if (!readImageFile(m_path, source, m_lastError)) return false;
    } else {
        source = m_png;
    }
    return convertToPng(source, width, height, m_png, m_lastError);
}

bool Image::saveToFile(const std::string& path) {
    std::string png;
    if (!currentPng(png)) return false;
    return Util::replaceFile(path, png, m_lastError);
}

bool Image::currentPng(std::string& png) {
    if (!m_png.empty()) {
        png = m_png;
        return true;
    }
    std::string source;
    return readImageFile(m_path, source, m_lastError) && convertToPng(source, 0, 0, png, m_lastError);
}

bool Image::convertToPng(const std::string& data, int width, int height, std::string& png,
                         std::string& error) {
    bool keepSize = width == 0 && height == 0;
    if (!keepSize && (width < 1 || height < 1 || width > maxTargetSide() || height > maxTargetSide())) {
        error = "Cannot resize to " + std::to_string(width) + "x" + std::to_string(height) +
                ": each side must be 1 to " + std::to_string(maxTargetSide()) + " pixels";
        return false;
    }
    if (data.empty()) {
        error = "The image file is empty";
        return false;
    }
    const char* format = formatOf(data);
    if (format == nullptr) {
        error = "Not a PNG, JPEG or GIF image";
        return false;
    }
    if (!setUpLibrary()) {
        error = "The image library could not be initialised";
        return false;
    }
    // The library's helper threads come from OpenMP, which keeps its thread
    // count per calling thread: the limit set up once holds only for the
    // thread that set it, so every other thread sets it for itself.
    thread_local bool oneThreadHere = false;
    if (!oneThreadHere) {
        MagickLib::SetMagickResourceLimit(MagickLib::ThreadsResource, 1);
        oneThreadHere = true;
    }

    const char* step = "Cannot decode the image";
    try {
        Magick::Image picture;
        picture.subImage(0);  // first frame only
        picture.subRange(1);
        picture.quiet(false);
        try {
            picture.read(Magick::Blob(data.data(), data.size()));
        } catch (const Magick::WarningCorruptImage&) {
            throw;  // damaged data that the decoder filled in
        } catch (const Magick::Warning&) {
            // read in full; the warning is about something harmless
        }
        if (picture.magick() != format) throw std::runtime_error("decoded as " + picture.magick());
        if (picture.columns() == 0 || picture.rows() == 0) throw std::runtime_error("no pixels");
        picture.quiet(true);

        step = "Cannot resize the image";
        if (!keepSize && (picture.columns() != static_cast<unsigned>(width) ||
                          picture.rows() != static_cast<unsigned>(height))) {
            Magick::Geometry size(static_cast<unsigned>(width), static_cast<unsigned>(height));
            size.aspect(true);  // exactly this size
            picture.resize(size);
        }

        step = "Cannot encode the image as PNG";
        picture.strip();
        picture.depth(8);
        picture.magick("PNG");
        Magick::Blob encoded;
        picture.write(&encoded);
        if (encoded.length() == 0) throw std::runtime_error("no data");
        png.assign(static_cast<const char*>(encoded.data()), encoded.length());
        return true;
    } catch (const Magick::Exception& e) {
        error = std::string(step) + ": " + e.what();
    } catch (const std::bad_alloc&) {
        error = std::string(step) + ": out of memory";
    } catch (const std::exception& e) {
        error = std::string(step) + ": " + e.what();
    } catch (...) {
        error = std::string(step) + ": unknown error";
    }
    return false;
}

} // namespace Data
} // namespace Nuvaro
