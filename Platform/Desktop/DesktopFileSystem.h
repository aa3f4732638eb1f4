#pragma once

#include <functional>

#include "Platform/Desktop/ScratchFile.h"
#include "Platform/FileSystem.h"

// The application container on the local disk, laid out like a mobile sandbox under one root:
// "Library/Application Support", "Library/Caches", "Documents" and "tmp".
//
// Whoever can write into the container can plant links and special files there, so every path
// is walked down from the root one folder at a time, with descriptors that never follow a link,
// and files are opened and removed relative to their folder's descriptor. A path that leaves the
// root is refused.
class DesktopFileSystem : public platform::FileSystem {
public:
    explicit DesktopFileSystem(const std::filesystem::path& containerRoot);

    // Makes the folders an installed application finds in place: the root, "Documents",
    // "Library/Caches" and "tmp". Application Support is made when first needed; a link standing
    // at one of them is left alone, for the calls that need it to refuse.
    [[nodiscard]] static std::optional<platform::Error> install(
        const std::filesystem::path& containerRoot);
    // Removes what atomic writes cut short by a killed process left in the scratch folder.
    void removeStaleWrites();
    // Opens a folder of the container, walking down from the root without following links;
    // missing folders are made on the way when `create` is set.
    [[nodiscard]] platform::Result<FileDescriptor> openFolder(const std::filesystem::path& folder,
                                                              bool create) const;

    std::filesystem::path directory(platform::Directory which) const override;
    [[nodiscard]] platform::Result<platform::EntryType> entryType(
        const std::filesystem::path& path) const override;
    [[nodiscard]] std::optional<platform::Error> createDirectories(
        const std::filesystem::path& path) override;
    [[nodiscard]] std::optional<platform::Error> remove(const std::filesystem::path& path) override;
    [[nodiscard]] platform::Result<std::vector<std::string>> contentsOfDirectory(
        const std::filesystem::path& directory) const override;
    [[nodiscard]] platform::Result<std::vector<platform::DirectoryEntry>> contentsWithSizes(
        const std::filesystem::path& directory) const override;
    [[nodiscard]] platform::Result<std::string> read(
        const std::filesystem::path& file) const override;
    [[nodiscard]] platform::Result<std::unique_ptr<platform::ReadableFile>> openForReading(
        const std::filesystem::path& file) const override;
    [[nodiscard]] std::optional<platform::Error> writeAtomically(const std::filesystem::path& file,
                                                                 std::string_view bytes) override;
    [[nodiscard]] platform::Result<std::unique_ptr<platform::StagedFile>> stage() override;
    [[nodiscard]] std::optional<platform::Error> replace(const std::filesystem::path& from,
                                                         const std::filesystem::path& to) override;
    [[nodiscard]] platform::Result<platform::FileSystemFigures> figures(
        const std::filesystem::path& path) const override;
    std::string makeUUID() override;

private:
    class StagedScratchFile;

    using Filler = std::function<std::optional<platform::Error>(int fd)>;

    platform::Result<Place> locate(const std::filesystem::path& path) const;
    // Opens a regular file that is not a link, without waiting on a pipe or device.
    platform::Result<FileDescriptor> openRegularFile(const std::filesystem::path& file) const;
    // Fills a new file in the scratch folder, syncs it and renames it over the target.
    std::optional<platform::Error> placeAtomically(const Place& target, const Filler& fill) const;

    std::filesystem::path root_;
};
