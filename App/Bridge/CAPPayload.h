#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "Platform/FileSystem.h"

// The bytes of a call's payload argument (a file to store), whichever way they came: held in
// memory, or staged on disk by a transport that decoded them while they arrived. Transports that
// carry only text send base64, which is decoded once, where the call enters the bridge, so a
// method never asks which form its bytes came in.
class CAPPayload {
public:
    explicit CAPPayload(std::string bytes) : bytes_(std::move(bytes)) {}
    explicit CAPPayload(std::unique_ptr<platform::StagedFile> staged)
        : staged_(std::move(staged)) {}

    // Puts the bytes at `target` as an atomic, synced write: whatever stood there stays whole
    // until they are all on disk.
    [[nodiscard]] std::optional<platform::Error> placeAt(platform::FileSystem& files,
                                                         const std::filesystem::path& target);
    // The bytes as base64 text, for an argument that turns out not to be the method's payload.
    platform::Result<std::string> base64Text() const;

private:
    std::string bytes_;
    std::unique_ptr<platform::StagedFile> staged_;
};
