#pragma once

#include <cstdint>

#include "Platform/Desktop/DesktopFileSystem.h"
#include "Platform/Desktop/ScratchFile.h"

// A payload staged in a scratch file as it arrives, placed at its target once whole.
class DesktopFileSystem::StagedScratchFile : public platform::StagedFile {
public:
    StagedScratchFile(const DesktopFileSystem& files, ScratchFile scratch)
        : files_(files), scratch_(std::move(scratch)) {}

    std::optional<platform::Error> append(std::string_view bytes) override;
    platform::Result<std::string> content() const override;
    std::optional<platform::Error> placeAt(const std::filesystem::path& target) override;

private:
    // The disk is handed each step as it arrives, so that the sync before the rename waits for
    // the last step alone, and the disk writes while the rest is still coming.
    static constexpr std::uint64_t writeBackStep = 8 << 20;

    static platform::Error alreadyPlaced();

    const DesktopFileSystem& files_;
    ScratchFile scratch_;
    bool placed_ = false;
    std::uint64_t written_ = 0;
    std::uint64_t handedToDisk_ = 0;  // the bytes already handed to the disk's writing
};
