#include "FSChildren.h"

namespace Nuvaro {
namespace Sync {

FSChildren::FSChildren(const FolderData& folder) : folder(folder) {}

void FSChildren::addChild(const FSEntry& entry) {
    children.insert(entry);
}

} // namespace Sync
} // namespace Nuvaro
