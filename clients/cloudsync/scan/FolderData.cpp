#include "FolderData.h"

namespace Nuvaro {
namespace Sync {

FolderData::FolderData() = default;

FolderData::FolderData(const std::string& name, const std::string& parentPath, const std::string& relativePath,
                       const std::string& fullPath)
    : name(name), parentPath(parentPath), relativePath(relativePath), fullPath(fullPath) {}

FolderData::~FolderData() = default;

} // namespace Sync
} // namespace Nuvaro
