#pragma once

// A picture file to be shrunk and stored as PNG (the account's profile image,
// which the runner downloads, resizes to 64 by 64 and saves over itself).
//
// Decoding, resizing and encoding use the GraphicsMagick library, hardened for
// pictures that come from the network:
// - Only PNG, JPEG and GIF files are read. The format is told from the file's
//   first bytes before the library sees them, and the library's other coders
//   are switched off for the whole process, so no other codec ever parses
//   untrusted bytes. Of an animated GIF only the first frame is read.
// - A file larger than maxFileBytes() is refused unread. The library refuses
//   pictures wider or taller than maxSide() pixels, with more than
//   maxPixels() pixels, or needing more than maxMemoryBytes() of pixel memory
//   (all pictures being decoded at the same time share that budget); pixels
//   are never spilled to disk.
// - A corrupt, truncated or hostile file makes the operation return false
//   with a reason in getLastError(); the file itself is never written to.
//   Damage that the decoders only warn about (a JPEG cut short, whose missing
//   part would come out grey) counts as an error too; harmless warnings (an
//   odd colour profile) do not.
// The library is set up once per process (setUpLibrary()), on first use, from
// whichever thread gets there first.
//
// Threads: one Image object is used by one thread at a time; different Image
// objects may be used on any threads at the same time.
//
// Example, as the runner uses it:
//     Image image(dataFolder + "/profile.png", 0);
//     if (!image.resizeImage(64, 64) || !image.saveToFile(dataFolder + "/profile.png"))
//         log(image.getLastError());   // profile.png is as it was downloaded

#include <cstddef>
#include <string>

namespace Nuvaro {
namespace Data {

class Image {
public:
    // Remembers `path`; the file is read by the first resizeImage() or
    // saveToFile(). `flags` is accepted for the callers' sake (they pass 0)
    // and not used.
    Image(const std::string& path, int flags);

    // Scales the picture to exactly `width` by `height` pixels (the aspect
    // ratio is not kept) and keeps the result in memory for saveToFile(). A
    // second call scales the result of the first. Both sides must lie in
    // 1..maxTargetSide(). Returns false with a reason in getLastError() when
    // the file cannot be read, is not a PNG, JPEG or GIF picture, is damaged
    // or over the limits; the picture held so far is then kept. Never writes
    // to any file.
    bool resizeImage(int width, int height);

    // Writes the picture as PNG to `path` (which may be the file this Image
    // was made from): the resized picture when resizeImage() succeeded, else
    // the file's own picture converted to PNG. The PNG goes to a temporary
    // file in the target's folder that is then renamed over `path`, so `path`
    // holds either its old content or the whole new picture, never part of
    // one. Returns false with a reason in getLastError() when the picture
    // cannot be read (as in resizeImage) or the file system fails, for
    // example when the target's folder does not exist.
    bool saveToFile(const std::string& path);

    // The reason of the last failure; kept until the next failure.
    const std::string& getLastError() const { return m_lastError; }

    // Decodes `data` (the bytes of a PNG, JPEG or GIF file), scales it to
    // `width` by `height` pixels, or keeps its size when both are 0, and puts
    // the PNG encoding of the result in `png`. Returns false with a reason in
    // `error` (and `png` unchanged) on any failure. Touches no file, so it
    // also serves as the entry for feeding arbitrary bytes to the decoders.
    // Any thread.
    static bool convertToPng(const std::string& data, int width, int height, std::string& png,
                             std::string& error);

    // Sets the library up for the whole process as described above: on the
    // first call only, later calls report the first one's result. The members
    // call it themselves; code that also uses the library directly (tests,
    // fuzzing entries) calls it before its first use. False when the library
    // could not be initialised. Any thread.
    static bool setUpLibrary();

    // The limits described above.
    static constexpr std::size_t maxFileBytes() { return 32u * 1024 * 1024; }
    static constexpr unsigned maxSide() { return 10000; }
    static constexpr unsigned long maxPixels() { return 25000000; }
    static constexpr unsigned long long maxMemoryBytes() { return 512ull * 1024 * 1024; }
    static constexpr int maxTargetSide() { return 4096; }

private:
    // The PNG to save: m_png when a resize succeeded, else the file converted.
    bool currentPng(std::string& png);

    std::string m_path;
    std::string m_png;  // the resized picture as PNG; empty until a resize succeeds
    std::string m_lastError;
};

} // namespace Data
} // namespace Nuvaro
