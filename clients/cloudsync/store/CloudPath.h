#pragma once

// Translation between server paths and local paths of the sync folder.
//
// The server names the user's own files "/<account>/...", items shared with
// the user "/SHARED/<owner>/...", team folders "/SHARED/<team account>/..."
// and network folders "/EXTERNAL/...". Locally everything lies below the sync
// root in four top-level folders:
//
//     local root (first component)      server counterpart
//     "My Files"                        "/" + account
//     "Shared with Me"                  "/SHARED"
//     team-folders root (configured)    "/SHARED/" + team-folder account
//     network-folders root (configured) "/EXTERNAL"
//
// A local path here is always relative to the sync root ("My Files/docs/a.txt",
// no leading "/"); a server path is absolute. Paths are split at "/" and empty
// components (leading, trailing or doubled "/") are dropped, so "//acct1//docs/"
// reads as "/acct1/docs". Components compare exactly, letter case included.
//
// The result "" means "no counterpart" and callers treat it as a refusal. Both
// directions refuse (give "") a path with a "." or ".." component, or a
// component holding a NUL byte: such a path could name a place outside the
// sync folder (or another account's folder on the server), whatever the server
// or a caller sends. The root and account names (account, team root, team
// account, network root) come from the server's status reply as well: each
// must be one path component (not empty, no "/", no NUL, not "." or "..").
// A translation that would be built on a name that is not refuses too, so a
// team root of "../../.ssh" never turns "/SHARED/<team account>/x" into
// "../../.ssh/x", and an account of ".." never gives "/../x".
//
// Hence every non-empty local result is a relative path of non-empty
// components, none of them "." or "..", none holding a NUL byte.
//
// Worked example with account "acct1", team root "Team Folders", team account
// "teamacct" and network root "Network Folders":
//     /acct1/docs/a.txt             <-> My Files/docs/a.txt
//     /SHARED/owner2/x.txt          <-> Shared with Me/owner2/x.txt
//     /SHARED/teamacct/plans/p.doc  <-> Team Folders/plans/p.doc
//     /EXTERNAL/share1/f.txt        <-> Network Folders/share1/f.txt (noExternal false)
//     /SHARED/owner2                 -> Shared with Me/owner2, which maps back to ""
//                                      (no server folder stands for one owner's shares)
// The order of the tests matters: to local, the account is tested before
// "SHARED" (an account named SHARED maps to "My Files"); to remote, "My Files"
// and "Shared with Me" are tested before the configured roots, so a configured
// root named like a fixed one never matches.
//
// Static functions without state: any thread may call them.

#include <string>

namespace Nuvaro {
namespace Sync {

class CloudPath {
public:
    // The local relative path of a server path; "" when it maps nowhere. With
    // noExternal set, server paths under /EXTERNAL map nowhere.
    static std::string translateToLocalPath(const std::string& account, const std::string& serverPath,
                                            const std::string& networkRoot, const std::string& teamRoot,
                                            const std::string& teamAccount, bool noExternal);

    // The server path of a local relative path; "" when it maps to none: the
    // roots themselves (except "My Files"), a folder directly under "Shared with
    // Me", anything under "Shared with Me/<team account>", and with noExternal
    // set anything under the network root.
    static std::string translateToRemotePath(const std::string& account, const std::string& localPath,
                                             const std::string& networkRoot, const std::string& teamRoot,
                                             const std::string& teamAccount, bool noExternal);

    // A local relative path that stays below its root: not empty, no leading
    // "/", every component non-empty (no doubled or trailing "/"), none "." or
    // "..", no NUL byte. "My Files/a.txt" passes; "", "/a", "a//b", "a/../b"
    // do not. Every local path the engine writes or removes passes this first.
    static bool isSoundRelativePath(const std::string& path);

    // The stored and the local form of a path: on this platform both are the
    // path unchanged.
    static std::string convertToStdPath(const std::string& path);
    static std::string convertToNativePath(const std::string& path);
};

} // namespace Sync
} // namespace Nuvaro
