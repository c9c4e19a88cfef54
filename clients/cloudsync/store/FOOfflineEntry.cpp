#include "FOOfflineEntry.h"

namespace Nuvaro {
namespace Sync {

FOOfflineEntry::FOOfflineEntry() : type(TYPE_UNSET), size(0), modified(0) {}

FOOfflineEntry::FOOfflineEntry(const std::string& fullPath_, int type_, const std::string& name_,
                               const std::string& parent_, Poco::Int64 size_, Poco::Int64 modified_,
                               const std::string& localLinkPath_, const std::string& fileCrc_,
                               const std::string& fileMod_)
    : fullPath(fullPath_), type(type_), name(name_), parent(parent_), size(size_), modified(modified_),
      localLinkPath(localLinkPath_), fileCrc(fileCrc_), fileMod(fileMod_) {}

FOOfflineEntry::~FOOfflineEntry() = default;

} // namespace Sync
} // namespace Nuvaro
