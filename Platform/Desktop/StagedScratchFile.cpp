#include "Platform/Desktop/StagedScratchFile.h"

#include <fcntl.h>

#include "Platform/Desktop/DescriptorFile.h"
#include "Platform/Posix/SystemError.h"
#include "Platform/Posix/WriteAll.h"

using platform::Error;

std::optional<Error> DesktopFileSystem::StagedScratchFile::append(std::string_view bytes) {
    if (placed_) {
        return alreadyPlaced();
    }
    if (int number = posix::writeAll(scratch_.fd(), bytes)) {
        return systemError(number);
    }
    written_ += bytes.size();
    if (written_ - handedToDisk_ >= writeBackStep) {
        // Only starts the writing: a failure shows again in the sync before the rename.
        (void)::sync_file_range(scratch_.fd(), static_cast<off_t>(handedToDisk_),
                                static_cast<off_t>(written_ - handedToDisk_),
                                SYNC_FILE_RANGE_WRITE);
        handedToDisk_ = written_;
    }
    return std::nullopt;
}

platform::Result<std::string> DesktopFileSystem::StagedScratchFile::content() const {
    if (placed_) {
        return alreadyPlaced();
    }
    return DescriptorFile::readWhole(scratch_.fd(), {});
}

std::optional<Error> DesktopFileSystem::StagedScratchFile::placeAt(
    const std::filesystem::path& target) {
    if (placed_) {
        return alreadyPlaced();
    }
    auto place = files_.locate(target);
    if (!place.ok()) {
        return place.error();
    }
    placed_ = true;
    return scratch_.placeAt(place.value());
}

Error DesktopFileSystem::StagedScratchFile::alreadyPlaced() {
    return Error{"The staged file was placed already"};
}
