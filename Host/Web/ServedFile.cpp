#include "Host/Web/ServedFile.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <utility>

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
    return adopt(::open(path.c_str(), readFlags | O_NONBLOCK));
}

std::optional<ServedFile> ServedFile::openConfined(const std::filesystem::path& root,
                                                   const std::vector<std::string>& folders,
                                                   std::string_view name) {
    if (!isPlainName(name)) {
        return std::nullopt;
    }
    int folder = ::open(root.c_str(), O_DIRECTORY | readFlags);
    for (const auto& part : folders) {
        if (folder < 0) {
            return std::nullopt;
        }
        int inner = ::openat(folder, part.c_str(), O_DIRECTORY | O_NOFOLLOW | readFlags);
        ::close(folder);
        folder = inner;
    }
    if (folder < 0) {
        return std::nullopt;
    }
    int file = ::openat(folder, std::string(name).c_str(), O_NOFOLLOW | O_NONBLOCK | readFlags);
    ::close(folder);
    return adopt(file);
}

std::optional<ServedFile> ServedFile::adopt(int descriptor) {
    if (descriptor < 0) {
        return std::nullopt;
    }
    ServedFile file(descriptor);
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    file.size_ = static_cast<std::uint64_t>(status.st_size);
    file.inode_ = status.st_ino;
    file.modified_ = status.st_mtim;
    return file;
}

ServedFile::ServedFile(int descriptor) : descriptor_(descriptor) {}

ServedFile::ServedFile(ServedFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)),
      size_(other.size_),
      inode_(other.inode_),
      modified_(other.modified_) {}

ServedFile& ServedFile::operator=(ServedFile&& other) noexcept {
    if (this != &other) {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
        descriptor_ = std::exchange(other.descriptor_, -1);
        size_ = other.size_;
        inode_ = other.inode_;
        modified_ = other.modified_;
    }
    return *this;
}

ServedFile::~ServedFile() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

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
    return ::sendfile(socket, descriptor_, &position, count);
}

}  // namespace host
