#include "FSEntry.h"

#include "NameRules.h"

namespace Nuvaro {
namespace Sync {

FSEntry::FSEntry(const std::string& name, FSType type)
    : name(name), size(0), type(type), hidden(false), link(false), skip(true) {}

FSEntry::FSEntry(const std::string& name, FSType type, Poco::UInt64 size, const Poco::Timestamp& modified,
                 bool hidden, bool link)
    : name(name), size(size), modified(modified), type(type), hidden(hidden), link(link), skip(false) {}

std::string FSEntry::extension() const {
    return NameRules::lowerExtension(name);
}

} // namespace Sync
} // namespace Nuvaro
