#pragma once

// A picture file to be shrunk (the account's profile image).
//
// This layer carries no image codec: an Image only remembers its file, and
// resizeImage() reports that it cannot resize (false, with a reason in
// getLastError()), so callers keep the picture as it was downloaded.
// saveToFile() copies the original file to the given path. One thread at a time.

#include <string>

namespace Nuvaro {
namespace Data {

class Image {
public:
    // `flags` is accepted for the callers' sake (they pass 0) and not used.
    Image(const std::string& path, int flags);

    // Always false: resizing is not available.
    bool resizeImage(int width, int height);
    // Copies the picture to `path`; false (reason in getLastError) when the
    // source cannot be read or the target cannot be written.
    bool saveToFile(const std::string& path);
    const std::string& getLastError() const { return m_lastError; }

private:
    std::string m_path;
    std::string m_lastError;
};

} // namespace Data
} // namespace Nuvaro
