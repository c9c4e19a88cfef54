#pragma once

// A temporary folder for the transfer tests, removed with the object, and
// the few file helpers those tests share.

#include <Poco/Path.h>
#include <Poco/TemporaryFile.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace TransferTest {

class LocalFolder {
public:
    LocalFolder() { m_dir.createDirectories(); }

    std::string path(const std::string& name) const { return Poco::Path(m_dir.path(), name).toString(); }

    // Creates or replaces the file name with content; returns its path.
    std::string write(const std::string& name, const std::string& content) const {
        const std::string file = path(name);
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << content;
        return file;
    }

    static std::string read(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

    // The names in the folder, sorted: a failed download must not leave a
    // temporary file behind.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        m_dir.list(names);
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    Poco::TemporaryFile m_dir;
};

} // namespace TransferTest
