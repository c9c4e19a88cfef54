// Fuzz target: the property-list reader (PLISTHandler), on whatever a damaged
// or hand-edited defaults file may hold. A parse either ends or throws the
// XML library's Poco::Exception; every entry read has a non-empty key, and
// keys and values carry no white space at their ends.

#include "nuvarocbfs_DefaultCfg.h"

#include <Poco/Exception.h>
#include <Poco/String.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::map<std::string, std::string> values;
    Nuvaro::PLISTHandler handler(values);
    std::istringstream stream(std::string(reinterpret_cast<const char*>(data), size));
    try {
        Nuvaro::runSaxParse(handler, stream);
    } catch (const Poco::Exception&) {
        // A file that is not a well-formed property list; what was read stays.
    }
    for (const auto& [key, value] : values) {
        if (key.empty() || Poco::trim(key) != key || Poco::trim(value) != value) std::abort();
    }
    return 0;
}
