#pragma once

#include <functional>

#include "Platform/FileSystem.h"

// The application container on the local disk, laid out like a mobile sandbox under one root:
// "Library/Application Support", "Library/Caches", "Documents" and "tmp".
class DesktopFileSystem : public platform::FileSystem {
public:
    explicit DesktopFileSystem(std::filesystem::path containerRoot);

    // Makes the folders an installed application finds in place: the root, "Documents",
    // "Library/Caches" and "tmp". Application Support is made when first needed.
    static std::optional<platform::Error> install(const std::filesystem::path& containerRoot);
    // Removes what atomic writes cut short by a killed process left beside their targets.
    static void removeStaleWrites(const std::filesystem::path& directory);

    std::filesystem::path directory(platform::Directory which) const override;
    bool exists(const std::filesystem::path& path) const override;
    std::optional<platform::Error> createDirectories(const std::filesystem::path& path) override;
    std::optional<platform::Error> remove(const std::filesystem::path& path) override;
    platform::Result<std::vector<std::string>> contentsOfDirectory(
        const std::filesystem::path& directory) const override;
    platform::Result<std::vector<platform::DirectoryEntry>> contentsWithSizes(
        const std::filesystem::path& directory) const override;
    platform::Result<std::string> read(const std::filesystem::path& file) const override;
    std::optional<platform::Error> writeAtomically(const std::filesystem::path& file,
                                                   std::string_view bytes) override;
    std::optional<platform::Error> replace(const std::filesystem::path& from,
                                           const std::filesystem::path& to) override;
    platform::Result<platform::FileSystemFigures> figures(
        const std::filesystem::path& path) const override;
    std::string makeUUID() override;

private:
    using Filler = std::function<std::optional<platform::Error>(int fd)>;
    // Fills a new file in the target's folder and renames it over the target.
    static std::optional<platform::Error> placeAtomically(const std::filesystem::path& file,
                                                          const Filler& fill);

    std::filesystem::path root_;
};
