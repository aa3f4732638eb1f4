#include "Host/Core/PlatformWiring.h"

#include "Platform/Desktop/CommandFileOpener.h"
#include "Platform/Desktop/CurlURLSession.h"
#include "Platform/Desktop/DesktopAudioSession.h"
#include "Platform/Desktop/DesktopFileSystem.h"
#include "Platform/Desktop/DesktopNowPlayingInfoCenter.h"
#include "Platform/Desktop/DesktopRemoteCommandCenter.h"
#include "Platform/Desktop/MprisService.h"
#include "Platform/Desktop/StandardOutputConsole.h"
#include "Platform/Desktop/StbImageDecoder.h"
#include "Platform/Desktop/XdgURLOpener.h"
#include "Platform/Log.h"

namespace host {

namespace {
// Makes the container's folders and clears what a killed run left in them; nothing when the
// container cannot be made.
std::shared_ptr<DesktopFileSystem> installContainer(const std::filesystem::path& root) {
    if (auto error = DesktopFileSystem::install(root)) {
        platform::log("cannot make the container: " + error->description);
        return nullptr;
    }
    auto files = std::make_shared<DesktopFileSystem>(root);
    CurlURLSession::removeStaleTemporaryFiles(files->directory(platform::Directory::temporary));
    files->removeStaleWrites();
    return files;
}

// The desktop's media controls, when there is a session bus to offer them on.
std::unique_ptr<MprisService> startMediaControls(
    const std::shared_ptr<DesktopRemoteCommandCenter>& commands,
    const std::shared_ptr<DesktopNowPlayingInfoCenter>& nowPlaying,
    const std::shared_ptr<DesktopFileSystem>& files,
    std::optional<PlatformWiring::WindowControls> windowControls, MprisService::Identity identity) {
    std::optional<MprisService::WindowControls> controls;
    if (windowControls) {
        controls = MprisService::WindowControls{std::move(windowControls->raise),
                                                std::move(windowControls->quit)};
    }
    try {
        auto service = std::make_unique<MprisService>(
            commands, nowPlaying, files, files->directory(platform::Directory::caches) / "artwork",
            std::move(controls), std::move(identity));
        platform::log("media controls on the session bus as " + service->busName());
        return service;
    } catch (const std::exception& error) {
        platform::log(std::string("no media controls: no session bus (") + error.what() + ")");
        return nullptr;
    }
}
}  // namespace

std::unique_ptr<PlatformWiring> PlatformWiring::install(
    const HostConfiguration& configuration, std::optional<WindowControls> windowControls) {
    auto fileSystem = installContainer(configuration.container);
    if (!fileSystem) {
        return nullptr;
    }
    std::unique_ptr<PlatformWiring> desktop(new PlatformWiring());
    auto commandCenter = std::make_shared<DesktopRemoteCommandCenter>();
    auto nowPlaying = std::make_shared<DesktopNowPlayingInfoCenter>();
    desktop->mainQueue_ = std::make_shared<SerialQueue>();
    desktop->console_ = std::make_shared<StandardOutputConsole>();
    CurlURLSession::Limits limits;
    limits.stallWindow = configuration.downloadStallWindow;
    limits.maxDownloadBytes = configuration.maxDownloadBytes;
    limits.userAgent = configuration.userAgent();
    desktop->urlSession_ = std::make_shared<CurlURLSession>(
        fileSystem->directory(platform::Directory::temporary), limits);
    desktop->fileOpener_ =
        std::make_shared<CommandFileOpener>(configuration.opener, desktop->mainQueue_);
    desktop->services_ = {std::make_shared<DesktopAudioSession>(),
                          commandCenter,
                          nowPlaying,
                          desktop->urlSession_,
                          std::make_shared<StbImageDecoder>(),
                          fileSystem,
                          desktop->fileOpener_,
                          desktop->mainQueue_,
                          desktop->console_};
    desktop->linkOpener_ = std::make_shared<XdgURLOpener>();
    desktop->mediaControls_ =
        startMediaControls(commandCenter, nowPlaying, fileSystem, std::move(windowControls),
                           {configuration.applicationName(), configuration.applicationId()});
    return desktop;
}

PlatformWiring::~PlatformWiring() = default;

void PlatformWiring::closeConsole() {
    console_->close();
}

void PlatformWiring::allowOrigin(std::string origin, std::string cookie) {
    urlSession_->allowOrigin(std::move(origin), std::move(cookie));
}

void PlatformWiring::stopTransfers() {
    urlSession_->stop();
    fileOpener_->stop();
}

}  // namespace host
