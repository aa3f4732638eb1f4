#include "Platform/Desktop/FolderEntries.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "Platform/Desktop/SystemError.h"

std::optional<platform::Error> forEachEntry(int folder, const std::filesystem::path& path,
                                            const std::function<void(const char* name)>& visit) {
    // The listing owns and closes its own descriptor.
    int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    DIR* listing = copy < 0 ? nullptr : ::fdopendir(copy);
    if (listing == nullptr) {
        int number = errno;
        if (copy >= 0) {
            ::close(copy);
        }
        return systemError(number, path);
    }
    int number = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing);
        if (entry == nullptr) {
            number = errno;
            break;
        }
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            visit(entry->d_name);
        }
    }
    ::closedir(listing);
    if (number != 0) {
        return systemError(number, path);
    }
    return std::nullopt;
}
