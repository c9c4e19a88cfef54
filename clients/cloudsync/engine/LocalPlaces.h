#pragma once

// Where the sync worker may create, write, replace or remove a local item:
// the checks every such place makes before it touches the disk, in one spot.
//
//   - A link on the way: a symbolic link (to a folder or anywhere) on the
//     path from a root folder down to an item. Nothing is ever created,
//     written, replaced or removed through one, since the link may lead out
//     of the root (My Files/docs -> /home/ann/work) and the user's real
//     folder there is none of the client's business. Every component is
//     examined with lstat, never following a link.
//   - An unplaceable name: a path this system cannot hold, so that no
//     download or placement of it can ever succeed: a component longer than
//     a folder entry takes (255 bytes on the usual file systems; 90 CJK
//     letters are 270 bytes), or a whole path longer than the system takes,
//     counting the temporary file a replacement writes beside the target.
//
// Worked example, root "/home/ann/Sync" with "My Files/docs" a link:
//     linkOnTheWay(root, "My Files/docs/a.txt", false) -> "My Files/docs"
//     linkOnTheWay(root, "My Files/docs", false)       -> ""  (only the
//         folders above "docs" are on the way; the link itself is the item)
//     linkOnTheWay(root, "My Files/docs", true)        -> "My Files/docs"
//     linkOnTheWay(root, "My Files/new/a.txt", false)  -> ""  ("new" is
//         missing: what is made there is a real folder)
// The root itself is not examined: the user may keep the whole sync folder
// behind a link.
//
// Stateless; any thread.

#include <string>

namespace Nuvaro {
namespace Sync {
namespace LocalPlaces {

// The first item (as a path relative to root) that is a symbolic link among
// the folders between root and root + "/" + relative, and the item itself
// when withItem is true; "" when there is none. A component that does not
// exist ends the search (nothing exists below it). relative uses "/" and has
// no empty, "." or ".." components.
std::string linkOnTheWay(const std::string& root, const std::string& relative, bool withItem);

// Why root + "/" + relative cannot be created on this system, "" when it
// can: "name too long" (a component longer than the file system's folder
// entry) or "path too long" (the path, or the path of the temporary file a
// replacement writes beside it, longer than the system takes).
std::string unplaceableReason(const std::string& root, const std::string& relative);

} // namespace LocalPlaces
} // namespace Sync
} // namespace Nuvaro
