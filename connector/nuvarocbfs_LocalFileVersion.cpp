#include "nuvarocbfs_LocalFileVersion.h"

namespace Nuvaro {

namespace {

// a / b rounded toward minus infinity (b > 0): C++ division rounds toward
// zero, which for a time before 1970 would give the later unit.
Poco::Int64 floorDivide(Poco::Int64 a, Poco::Int64 b) {
    const Poco::Int64 quotient = a / b;
    return a % b < 0 ? quotient - 1 : quotient;
}

} // namespace

LocalFileVersion LocalFileVersion::of(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return LocalFileVersion();
    return of(info);
}

LocalFileVersion LocalFileVersion::of(const struct stat& info) {
    LocalFileVersion version;
    version.known = true;
    version.device = info.st_dev;
    version.inode = info.st_ino;
    version.size = static_cast<Poco::Int64>(info.st_size);
    version.modifiedNanos = static_cast<Poco::Int64>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
    return version;
}

bool LocalFileVersion::sameAs(const LocalFileVersion& other) const {
    return known && other.known && device == other.device && inode == other.inode && size == other.size &&
           modifiedNanos == other.modifiedNanos;
}

Poco::Timestamp LocalFileVersion::modified() const {
    return Poco::Timestamp(floorDivide(modifiedNanos, 1000));
}

Poco::Timestamp LocalFileVersion::modifiedSecond() const {
    return Poco::Timestamp(floorDivide(modifiedNanos, 1000000000LL) * 1000000);
}

} // namespace Nuvaro
