#include "Platform/Desktop/MprisService.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>

#include "Platform/Desktop/BusText.h"
#include "Platform/Log.h"
#include "Platform/URI.h"

namespace {
constexpr const char* objectPath = "/org/mpris/MediaPlayer2";
constexpr const char* rootInterface = "org.mpris.MediaPlayer2";
std::string_view imageExtension(const std::string& bytes) {
    if (bytes.starts_with("\x89PNG")) {
        return ".png";
    }
    if (bytes.starts_with("\xff\xd8")) {
        return ".jpg";
    }
    if (bytes.starts_with("GIF8")) {
        return ".gif";
    }
    return ".bmp";
}
}  // namespace

MprisService::MprisService(std::shared_ptr<DesktopRemoteCommandCenter> commands,
                           std::shared_ptr<DesktopNowPlayingInfoCenter> nowPlaying,
                           std::shared_ptr<platform::FileSystem> files,
                           std::filesystem::path artworkFolder,
                           std::optional<WindowControls> windowControls, Identity identity)
    : commands_(std::move(commands)),
      nowPlaying_(std::move(nowPlaying)),
      files_(std::move(files)),
      artworkFolder_(std::move(artworkFolder)),
      windowControls_(std::move(windowControls)),
      identity_(std::move(identity)),
      connection_(sdbus::createSessionBusConnection()),
      player_(commands_) {
    busName_ = std::string(rootInterface) + "." + identity_.desktopEntry;
    try {
        connection_->requestName(busName_);
    } catch (const sdbus::Error&) {
        busName_ += ".instance" + std::to_string(::getpid());
        connection_->requestName(busName_);
    }
    object_ = sdbus::createObject(*connection_, objectPath);
    registerInterfaces();
    auto wake = posix::Pipe::open();
    if (!wake) {
        throw std::runtime_error("cannot make a wake-up pipe");
    }
    wake_ = std::move(*wake);
    // Nothing is shown yet: pictures of an earlier run are not needed.
    removeArtworkBut({});
    thread_ = std::thread([this] { run(); });
    nowPlaying_->setObserver([this] {
        auto at = Clock::now();
        post([this, at] { refresh(at); });
    });
    commands_->setObserver([this] {
        post([this] { object_->emitPropertiesChangedSignal(MprisPlayer::interfaceName); });
    });
}

MprisService::~MprisService() {
    nowPlaying_->setObserver({});
    commands_->setObserver({});
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.wake();
    thread_.join();
}

void MprisService::registerInterfaces() {
    auto& object = *object_;
    object.registerMethod("Raise").onInterface(rootInterface).implementedAs([this] {
        if (windowControls_) {
            windowControls_->raise();
        }
    });
    object.registerMethod("Quit").onInterface(rootInterface).implementedAs([this] {
        if (windowControls_) {
            windowControls_->quit();
        }
    });
    object.registerProperty("Identity").onInterface(rootInterface).withGetter([this] {
        return identity_.name;
    });
    // The installed launcher's file name without its extension.
    object.registerProperty("DesktopEntry").onInterface(rootInterface).withGetter([this] {
        return identity_.desktopEntry;
    });
    object.registerProperty("CanQuit").onInterface(rootInterface).withGetter([this] {
        return windowControls_.has_value();
    });
    object.registerProperty("CanRaise").onInterface(rootInterface).withGetter([this] {
        return windowControls_.has_value();
    });
    object.registerProperty("HasTrackList").onInterface(rootInterface).withGetter([] {
        return false;
    });
    object.registerProperty("SupportedUriSchemes").onInterface(rootInterface).withGetter([] {
        return std::vector<std::string>{};
    });
    object.registerProperty("SupportedMimeTypes").onInterface(rootInterface).withGetter([] {
        return std::vector<std::string>{};
    });

    player_.registerOn(object);
    object.finishRegistration();
}

void MprisService::run() {
    try {
        serve();
    } catch (const std::exception& error) {
        // sd-bus refuses every call once its connection is lost: the service ends here.
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            work_.clear();
        }
        platform::log(std::string("no media controls any more: the session bus went away (") +
                      error.what() + ")");
    }
}

void MprisService::serve() {
    for (;;) {
        // Work first: a change published before a request arrived is shown in its answer.
        std::vector<std::function<void()>> work;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
            work.swap(work_);
        }
        for (auto& item : work) {
            try {
                item();
            } catch (const std::exception& error) {
                // Throws on from here when the bus is gone, so that is said once, by run().
                connection_->processPendingRequest();
                platform::log(std::string("media controls: cannot publish (") + error.what() + ")");
            }
        }
        if (!work.empty() || connection_->processPendingRequest()) {
            continue;
        }
        auto poll = connection_->getEventLoopPollData();
        auto timeout = poll.getRelativeTimeout();
        pollfd fds[2] = {{poll.fd, poll.events, 0}, {wake_.read.get(), POLLIN, 0}};
        int milliseconds = timeout ? static_cast<int>((timeout->count() + 999) / 1000) : -1;
        ::poll(fds, 2, milliseconds);
        if ((fds[1].revents & POLLIN) != 0) {
            char drained[64];
            [[maybe_unused]] ssize_t ignored = ::read(wake_.read.get(), drained, sizeof drained);
        }
    }
}

void MprisService::post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        work_.push_back(std::move(work));
    }
    wake_.wake();
}

void MprisService::refresh(Clock::time_point changedAt) {
    auto info = nowPlaying_->nowPlayingInfo();
    std::string artURL = info && info->artwork ? artworkURL(*info->artwork) : std::string();
    if (player_.take(std::move(info), nowPlaying_->playbackState(), changedAt, std::move(artURL))) {
        // sd-bus fixes an object's properties when it is registered: others need a new object.
        object_.reset();
        object_ = sdbus::createObject(*connection_, objectPath);
        registerInterfaces();
    }
    player_.announce(*object_);
}

std::string MprisService::artworkURL(const platform::Image& image) {
    // Desktop widgets show local files only: each picture is written once, named by its bytes.
    const std::string& bytes = *image.encoded;
    char name[32];
    std::snprintf(name, sizeof name, "%016zx", std::hash<std::string>{}(bytes));
    auto file = artworkFolder_ / (std::string(name) + std::string(imageExtension(bytes)));
    if (file != keptArtwork_) {
        static_cast<void>(files_->createDirectories(artworkFolder_));
        if (auto error = files_->writeAtomically(file, bytes)) {
            platform::log("cannot keep the artwork for the media controls: " + error->description);
            return {};
        }
        keptArtwork_ = file;
        removeArtworkBut(file.filename());
    }
    return platform::fileURL(file);
}

void MprisService::removeArtworkBut(const std::string& kept) {
    auto names = files_->contentsOfDirectory(artworkFolder_);
    if (!names.ok()) {
        return;
    }
    for (const auto& name : names.value()) {
        if (name != kept) {
            static_cast<void>(files_->remove(artworkFolder_ / name));
        }
    }
}
