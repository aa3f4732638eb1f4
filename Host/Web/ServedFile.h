#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Posix/FileDescriptor.h"

namespace host {

// A regular file held open for serving: read in pieces, never whole, so its size does not
// matter. What it was when opened is what it answers: size and validators come from the open
// descriptor, whatever happens to the name afterwards. Not for use by two threads at once.
class ServedFile {
public:
    // Opens the file a path names, following links (the web application's own folder may use
    // them); nothing when it is no regular file or cannot be opened.
    static std::optional<ServedFile> open(const std::filesystem::path& path);
    // Opens `name` in the folder reached from `root` through `folders`, following no link on the
    // way and none at the end, and taking nothing but a regular file: a name planted as a link,
    // a FIFO or a device opens nothing (and a FIFO never blocks the caller). `name` must be one
    // plain name: not empty, ".", "..", nor holding "/" or NUL.
    static std::optional<ServedFile> openConfined(const std::filesystem::path& root,
                                                  const std::vector<std::string>& folders,
                                                  std::string_view name);

    ServedFile(ServedFile&& other) noexcept = default;
    ServedFile& operator=(ServedFile&& other) noexcept = default;

    std::uint64_t size() const { return size_; }
    // Changes whenever the content may have: made of the file's identity, size and time.
    std::string entityTag() const;
    // The modification time as an HTTP date.
    std::string lastModified() const;
    // Writes up to `count` bytes from `offset` to the socket (non-blocking: as many as it takes
    // now); gives the count, 0 at the end of the file, -1 with errno set.
    ssize_t sendTo(int socket, std::uint64_t offset, std::size_t count) const;

private:
    explicit ServedFile(FileDescriptor descriptor);
    // Nothing unless the descriptor is a regular file.
    static std::optional<ServedFile> adopt(FileDescriptor descriptor);

    FileDescriptor descriptor_;
    std::uint64_t size_ = 0;
    std::uint64_t inode_ = 0;
    struct timespec modified_ {};
};

}  // namespace host
