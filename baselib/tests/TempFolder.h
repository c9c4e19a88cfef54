#pragma once

// A fresh folder under the system's temp folder for one test, removed with
// everything in it when the test ends.

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/UUIDGenerator.h>

#include <string>

class TempFolder {
public:
    TempFolder()
        : m_path(Poco::Path::temp() + "baselib-test-" +
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
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};
