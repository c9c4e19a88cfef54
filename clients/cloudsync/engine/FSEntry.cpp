#include "FSEntry.h"

namespace Nuvaro {
namespace Sync {

FSEntry::FSEntry(const std::string& name, const std::string& parentPath, FSType type)
    : name(name), parentPath(parentPath), type(type), size(0), hidden(false), link(false), skip(true) {}

FSEntry::FSEntry(const std::string& name, const std::string& parentPath, FSType type, Poco::UInt64 size,
                 const Poco::Timestamp& modified, const std::string& extension, bool hidden, bool link)
    : name(name),
      parentPath(parentPath),
      type(type),
      size(size),
      modified(modified),
      extension(extension),
      hidden(hidden),
      link(link),
      skip(false) {}

} // namespace Sync
} // namespace Nuvaro
