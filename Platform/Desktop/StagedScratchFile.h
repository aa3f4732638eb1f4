#pragma once

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
    static platform::Error alreadyPlaced();

    const DesktopFileSystem& files_;
    ScratchFile scratch_;
    bool placed_ = false;
};
