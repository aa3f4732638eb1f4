#include "Platform/Desktop/MprisService.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>
#include <algorithm>
#include <cmath>
#include <limits>

#include "Platform/Desktop/BusText.h"
#include "Platform/Log.h"
#include "Platform/URI.h"

namespace {
constexpr const char* objectPath = "/org/mpris/MediaPlayer2";
constexpr const char* rootInterface = "org.mpris.MediaPlayer2";
constexpr const char* playerInterface = "org.mpris.MediaPlayer2.Player";
// A publication whose position differs from playing on by more than this was a jump.
constexpr double seekTolerance = 1.0;

std::string statusName(platform::PlaybackState state) {
    switch (state) {
        case platform::PlaybackState::playing:
            return "Playing";
        case platform::PlaybackState::paused:
            return "Paused";
        default:
            return "Stopped";
    }
}

// Saturates: a page may report any number of milliseconds, and a widget any offset.
std::int64_t microseconds(double seconds) {
    constexpr double limit = 9.2e18;
    double value = seconds * 1e6;
    return std::isnan(value)
               ? 0
               : static_cast<std::int64_t>(std::llround(std::clamp(value, -limit, limit)));
}

std::int64_t saturatingSum(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::max()
                     : std::numeric_limits<std::int64_t>::min();
    }
    return sum;
}

bool sameTrack(const platform::NowPlayingInfo& a, const platform::NowPlayingInfo& b) {
    return a.title == b.title && a.artist == b.artist && a.albumTitle == b.albumTitle;
}

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
      connection_(sdbus::createSessionBusConnection()) {
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
    published_.at = Clock::now();
    // Nothing is shown yet: pictures of an earlier run are not needed.
    removeArtworkBut({});
    thread_ = std::thread([this] { run(); });
    nowPlaying_->setObserver([this] {
        auto at = Clock::now();
        post([this, at] { refresh(at); });
    });
    commands_->setObserver(
        [this] { post([this] { object_->emitPropertiesChangedSignal(playerInterface); }); });
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

    using platform::RemoteCommand;
    object.registerMethod("Play").onInterface(playerInterface).implementedAs([this] {
        send(RemoteCommand::play);
    });
    object.registerMethod("Pause").onInterface(playerInterface).implementedAs([this] {
        send(RemoteCommand::pause);
    });
    object.registerMethod("Stop").onInterface(playerInterface).implementedAs([this] {
        send(RemoteCommand::pause);
    });
    object.registerMethod("PlayPause").onInterface(playerInterface).implementedAs([this] {
        send(published_.state == platform::PlaybackState::playing ? RemoteCommand::pause
                                                                  : RemoteCommand::play);
    });
    object.registerMethod("Next").onInterface(playerInterface).implementedAs([this] {
        send(RemoteCommand::nextTrack);
    });
    object.registerMethod("Previous").onInterface(playerInterface).implementedAs([this] {
        send(RemoteCommand::previousTrack);
    });
    object.registerMethod("Seek")
        .onInterface(playerInterface)
        .implementedAs([this](std::int64_t offset) {
            auto target = saturatingSum(positionMicroseconds(Clock::now()), offset);
            if (beyondEnd(target)) {
                // Seeking past the end is going next, as MPRIS asks; nothing when there is none.
                if (can(RemoteCommand::nextTrack)) {
                    send(RemoteCommand::nextTrack);
                }
                return;
            }
            send(RemoteCommand::changePlaybackPosition,
                 static_cast<double>(std::max<std::int64_t>(0, target)) / 1e6);
        });
    object.registerMethod("SetPosition")
        .onInterface(playerInterface)
        .implementedAs([this](const sdbus::ObjectPath& track, std::int64_t position) {
            // A position meant for another track, or outside this one, is ignored, as MPRIS asks.
            if (track == trackId() && position >= 0 && !beyondEnd(position)) {
                send(RemoteCommand::changePlaybackPosition, static_cast<double>(position) / 1e6);
            }
        });
    object.registerMethod("OpenUri")
        .onInterface(playerInterface)
        .implementedAs([](const std::string&) {
            throw sdbus::Error("org.mpris.MediaPlayer2.musicshell.Error.NotSupported",
                               "The web application chooses what plays");
        });
    object.registerSignal("Seeked").onInterface(playerInterface).withParameters<std::int64_t>();

    object.registerProperty("PlaybackStatus").onInterface(playerInterface).withGetter([this] {
        return statusName(published_.state);
    });
    object.registerProperty("Rate").onInterface(playerInterface).withGetter([this] {
        return published_.info ? static_cast<double>(published_.info->playbackRate) : 1.0;
    });
    object.registerProperty("MinimumRate").onInterface(playerInterface).withGetter([] {
        return 0.0;
    });
    object.registerProperty("MaximumRate").onInterface(playerInterface).withGetter([] {
        return 16.0;
    });
    object.registerProperty("Volume").onInterface(playerInterface).withGetter([] { return 1.0; });
    object.registerProperty("Position").onInterface(playerInterface).withGetter([this] {
        return positionMicroseconds(Clock::now());
    });
    object.registerProperty("Metadata").onInterface(playerInterface).withGetter([this] {
        std::map<std::string, sdbus::Variant> metadata;
        metadata["mpris:trackid"] = sdbus::Variant(sdbus::ObjectPath(trackId()));
        if (const auto& info = published_.info) {
            metadata["xesam:title"] = sdbus::Variant(busText(info->title));
            metadata["xesam:artist"] =
                sdbus::Variant(std::vector<std::string>{busText(info->artist)});
            metadata["xesam:album"] = sdbus::Variant(busText(info->albumTitle));
            metadata["mpris:length"] = sdbus::Variant(microseconds(info->playbackDuration));
        }
        if (!published_.artURL.empty()) {
            metadata["mpris:artUrl"] = sdbus::Variant(busText(published_.artURL));
        }
        return metadata;
    });
    object.registerProperty("CanGoNext").onInterface(playerInterface).withGetter([this] {
        return can(RemoteCommand::nextTrack);
    });
    object.registerProperty("CanGoPrevious").onInterface(playerInterface).withGetter([this] {
        return can(RemoteCommand::previousTrack);
    });
    object.registerProperty("CanPlay").onInterface(playerInterface).withGetter([this] {
        return can(RemoteCommand::play);
    });
    object.registerProperty("CanPause").onInterface(playerInterface).withGetter([this] {
        return can(RemoteCommand::pause);
    });
    object.registerProperty("CanSeek").onInterface(playerInterface).withGetter([this] {
        return can(RemoteCommand::changePlaybackPosition);
    });
    object.registerProperty("CanControl").onInterface(playerInterface).withGetter([] {
        return true;
    });
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
    auto state = nowPlaying_->playbackState();
    bool jumped = false;
    if (info && published_.info && sameTrack(*info, *published_.info)) {
        double expected = static_cast<double>(positionMicroseconds(changedAt)) / 1e6;
        jumped = std::abs(info->elapsedPlaybackTime - expected) > seekTolerance;
    } else if (info) {
        ++published_.track;
    }
    published_.info = info;
    published_.state = state;
    published_.at = changedAt;
    published_.artURL = info && info->artwork ? artworkURL(*info->artwork) : std::string();
    object_->emitPropertiesChangedSignal(playerInterface);
    if (jumped) {
        object_->emitSignal("Seeked")
            .onInterface(playerInterface)
            .withArguments(positionMicroseconds(changedAt));
    }
}

std::int64_t MprisService::positionMicroseconds(Clock::time_point at) const {
    if (!published_.info) {
        return 0;
    }
    double seconds = published_.info->elapsedPlaybackTime;
    if (published_.state == platform::PlaybackState::playing) {
        seconds += published_.info->playbackRate *
                   std::chrono::duration<double>(at - published_.at).count();
    }
    return std::max<std::int64_t>(0, microseconds(seconds));
}

bool MprisService::beyondEnd(std::int64_t position) const {
    // While the length is unknown (0) there is no end.
    auto length = published_.info ? microseconds(published_.info->playbackDuration) : 0;
    return length > 0 && position > length;
}

std::string MprisService::trackId() const {
    return "/org/musicshell/track/" + std::to_string(published_.track);
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

void MprisService::send(platform::RemoteCommand command, std::optional<double> positionTime) {
    commands_->send({command, positionTime});
}

bool MprisService::can(platform::RemoteCommand command) const {
    auto state = commands_->commandState(command);
    return state.enabled && state.handlers > 0;
}
