#pragma once

// A fresh folder under the system's temp folder for one test, removed with
// everything in it when the object goes.

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/UUIDGenerator.h>

#include <sys/time.h>

#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace CloudSyncTest {

class TempFolder {
public:
    TempFolder()
        : m_path(Poco::Path::temp() + "cloudsync-test-" +
                 Poco::UUIDGenerator::defaultGenerator().createRandom().toString()) {
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
    // The full path of `name` (relative) inside the folder.
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    std::string operator/(const std::string& name) const { return file(name); }

    // Writes `content` to the file `name` (relative), creating its folders.
    std::string write(const std::string& name, const std::string& content) const {
        std::string full = file(name);
        Poco::File(Poco::Path(full).parent()).createDirectories();
        std::ofstream(full, std::ios::binary) << content;
        return full;
    }

    // The same, then gives the file the modification (and access) time
    // `modified`, in whole seconds since 1970.
    std::string write(const std::string& name, const std::string& content, std::time_t modified) const {
        std::string full = write(name, content);
        struct timeval times[2] = {{modified, 0}, {modified, 0}};
        ::utimes(full.c_str(), times);
        return full;
    }

    // The whole content of the file at `path` (any path, not only inside the
    // folder); "" when it cannot be read.
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

private:
    std::string m_path;
};

} // namespace CloudSyncTest
