#pragma once

// The sound-path property the store's fuzz targets assert about translated
// paths: whatever the server sends, a path the store hands on never leaves
// the sync folder (locally) or the account's folders (on the server).

#include <string>
#include <vector>

namespace StoreFuzz {

// The "/"-separated components of path, empty ones included.
inline std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type slash = path.find('/', start);
        parts.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) return parts;
        start = slash + 1;
    }
}

// Every component non-empty, not "." or "..", no NUL byte.
inline bool soundComponents(const std::vector<std::string>& parts) {
    for (const std::string& part : parts)
        if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos) return false;
    return true;
}

// A local path relative to the sync root: no leading "/", sound components.
inline bool isSoundLocalPath(const std::string& path) {
    return !path.empty() && path[0] != '/' && soundComponents(components(path));
}

// A server path: a leading "/", then sound components.
inline bool isSoundServerPath(const std::string& path) {
    return path.size() > 1 && path[0] == '/' && soundComponents(components(path.substr(1)));
}

// Splits text at the first `count` line feeds: count pieces, then the rest
// (the last element, possibly empty). Missing pieces are "".
inline std::vector<std::string> leadingLines(const std::string& text, std::size_t count) {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    while (pieces.size() < count) {
        const std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos) {
            pieces.push_back(start <= text.size() ? text.substr(start) : "");
            start = text.size() + 1;
        } else {
            pieces.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }
    pieces.push_back(start <= text.size() ? text.substr(start) : "");
    return pieces;
}

} // namespace StoreFuzz
