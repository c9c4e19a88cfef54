#include "Image.h"

#include <Poco/Exception.h>
#include <Poco/File.h>

namespace Nuvaro {
namespace Data {

Image::Image(const std::string& path, int) : m_path(path) {}

bool Image::resizeImage(int, int) {
    m_lastError = "Image resizing is not available";
    return false;
}

bool Image::saveToFile(const std::string& path) {
    if (path == m_path) return Poco::File(m_path).exists();
    try {
        Poco::File(m_path).copyTo(path);
        return true;
    } catch (const Poco::Exception& e) {
        m_lastError = e.displayText();
    }
    return false;
}

} // namespace Data
} // namespace Nuvaro
