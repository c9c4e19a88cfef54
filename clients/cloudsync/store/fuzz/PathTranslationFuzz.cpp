// Fuzz target: path translation, with every name the server controls fuzzed
// (the path and the account, team and network root names of its status
// reply). Input: account, path, network root, team root and team account on
// five lines, then one byte whose low bit is noExternal.
//
// Property: a local result is "" or a relative path of sound components
// (none empty, ".", ".." or holding NUL) under one of the four roots; a
// server result is "" or "/" followed by sound components.

#include "CloudPath.h"
#include "SoundPath.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using Nuvaro::Sync::CloudPath;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto fields = StoreFuzz::leadingLines(std::string(reinterpret_cast<const char*>(data), size), 5);
    const std::string& account = fields[0];
    const std::string& path = fields[1];
    const std::string& networkRoot = fields[2];
    const std::string& teamRoot = fields[3];
    const std::string& teamAccount = fields[4];
    const bool noExternal = !fields[5].empty() && (fields[5][0] & 1) != 0;

    const std::string local =
        CloudPath::translateToLocalPath(account, path, networkRoot, teamRoot, teamAccount, noExternal);
    if (!local.empty()) {
        if (!StoreFuzz::isSoundLocalPath(local)) std::abort();
        const std::string root = StoreFuzz::components(local)[0];
        if (root != "My Files" && root != "Shared with Me" && root != teamRoot && root != networkRoot) std::abort();
    }
    const std::string remote =
        CloudPath::translateToRemotePath(account, path, networkRoot, teamRoot, teamAccount, noExternal);
    if (!remote.empty() && !StoreFuzz::isSoundServerPath(remote)) std::abort();
    return 0;
}
