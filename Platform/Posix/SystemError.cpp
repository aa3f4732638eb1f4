#include "Platform/Posix/SystemError.h"

#include <cerrno>
#include <cstring>

platform::Error systemError(int number, const std::filesystem::path& path) {
    using Kind = platform::Error::Kind;
    Kind kind = Kind::other;
    switch (number) {
        case ENOENT:
            kind = Kind::notFound;
            break;
        case ENOSPC:
        case EDQUOT:
            kind = Kind::noSpace;
            break;
        case EISDIR:
            kind = Kind::notRegularFile;
            break;
        default:
            break;
    }
    return {std::strerror(number), kind, path};
}
