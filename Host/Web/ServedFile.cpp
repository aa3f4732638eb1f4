#include "Host/Web/ServedFile.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <utility>

#include "Platform/Posix/OpenBeneath.h"

namespace host {

namespace {
constexpr int readFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY;

bool isPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}
}  // namespace

std::optional<ServedFile> ServedFile::open(const std::filesystem::path& path) {
    // Non-blocking, so that a FIFO is refused instead of waited on.
    return adopt(FileDescriptor(::open(path.c_str(), readFlags | O_NONBLOCK)));
}

std::optional<ServedFile> ServedFile::openConfined(const std::filesystem::path& root,
                                                   const std::vector<std::string>& folders,
                                                   std::string_view name) {
    if (!isPlainName(name)) {
        return std::nullopt;
    }
    FileDescriptor top(::open(root.c_str(), O_DIRECTORY | readFlags));
    if (!top.valid()) {
        return std::nullopt;
    }
    std::filesystem::path inside;
    for (const auto& part : folders) {
        inside /= part;
    }
    // Non-blocking, so that a FIFO is refused instead of waited on.
    return adopt(posix::openBeneath(top.get(), inside / name, readFlags | O_NONBLOCK).fd);
}

std::optional<ServedFile> ServedFile::adopt(FileDescriptor descriptor) {
    struct stat status {};
    if (!descriptor.valid() || ::fstat(descriptor.get(), &status) != 0 ||
        !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    ServedFile file(std::move(descriptor));
    file.size_ = static_cast<std::uint64_t>(status.st_size);
    file.inode_ = status.st_ino;
    file.modified_ = status.st_mtim;
    return file;
}

ServedFile::ServedFile(FileDescriptor descriptor) : descriptor_(std::move(descriptor)) {}

std::string ServedFile::entityTag() const {
    char tag[80];
    std::snprintf(tag, sizeof tag, "\"%llx-%llx-%llx.%lx\"",
                  static_cast<unsigned long long>(inode_), static_cast<unsigned long long>(size_),
                  static_cast<unsigned long long>(modified_.tv_sec),
                  static_cast<unsigned long>(modified_.tv_nsec));
    return tag;
}

std::string ServedFile::lastModified() const {
    std::tm utc{};
    ::gmtime_r(&modified_.tv_sec, &utc);
    char date[64];
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    return date;
}

ssize_t ServedFile::sendTo(int socket, std::uint64_t offset, std::size_t count) const {
    auto position = static_cast<off_t>(offset);
    return ::sendfile(socket, descriptor_.get(), &position, count);
}

}  // namespace host
