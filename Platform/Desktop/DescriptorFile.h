#pragma once

#include <filesystem>
#include <string>

#include "Platform/FileSystem.h"
#include "Platform/Posix/FileDescriptor.h"

// An open descriptor, read where it stands.
class DescriptorFile : public platform::ReadableFile {
public:
    explicit DescriptorFile(FileDescriptor fd) : fd_(std::move(fd)) {}

    // The whole content of an open file, from its start wherever its offset stands.
    static platform::Result<std::string> readWhole(int fd, const std::filesystem::path& path);

    platform::Result<std::size_t> read(char* into, std::size_t size) override;

private:
    FileDescriptor fd_;
};
