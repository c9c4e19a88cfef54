#include "FSChildren.h"

namespace Nuvaro {
namespace Sync {

FSChildren::FSChildren(const FolderData& folder) : folder(folder) {}

void FSChildren::addChild(FSEntry& entry) {
    children.emplace(entry.name, entry);
}

} // namespace Sync
} // namespace Nuvaro
