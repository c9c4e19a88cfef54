#pragma once

// A fresh folder under the system temp folder, removed with everything in it
// when the object goes.

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/UUIDGenerator.h>

#include <fstream>
#include <string>

namespace StoreTest {

class TempFolder {
public:
    TempFolder()
        : m_path(Poco::Path::temp() + "storetest-" + Poco::UUIDGenerator::defaultGenerator().createRandom().toString()) {
        Poco::File(m_path).createDirectories();
    }
    ~TempFolder() {
        try {
            Poco::File(m_path).remove(true);
        } catch (...) {
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

    // Writes `content` to the file `name` (relative), creating its folders.
    std::string write(const std::string& name, const std::string& content) const {
        std::string full = *this / name;
        Poco::File(Poco::Path(full).parent()).createDirectories();
        std::ofstream(full, std::ios::binary) << content;
        return full;
    }

private:
    std::string m_path;
};

} // namespace StoreTest
