#include "App/Media/MediaManager.h"

namespace audio = platform::audio_session;
using platform::RemoteCommand;
using platform::RemoteCommandHandlerStatus;

std::shared_ptr<MediaManager> MediaManager::shared(const platform::Services& services) {
    static std::mutex mutex;
    // Leaked on purpose: handlers and completions may still reach it while the process exits.
    static auto* instance = new std::shared_ptr<MediaManager>();
    std::lock_guard lock(mutex);
    if (!*instance || (*instance)->services_ != services) {
        *instance = create(services);
    }
    return *instance;
}

std::shared_ptr<MediaManager> MediaManager::create(const platform::Services& services) {
    auto manager = std::make_shared<MediaManager>(Passkey{}, services);
    manager->configureAudioSession();
    manager->registerRemoteCommands();
    return manager;
}

MediaManager::MediaManager(Passkey, const platform::Services& services) : services_(services) {}

void MediaManager::configureAudioSession() {
    auto& session = *services_.audioSession;
    auto error = session.setCategory(
        audio::categoryPlayback, audio::modeDefault,
        audio::allowBluetooth | audio::allowBluetoothA2DP | audio::allowAirPlay);
    if (!error) {
        error = session.setActive(true, 0);
    }
    if (error) {
        services_.console->printLine("Audio session error: " + error->description);
    }
}

void MediaManager::registerRemoteCommands() {
    auto& center = *services_.remoteCommandCenter;
    for (RemoteCommand command : platform::allRemoteCommands) {
        center.setEnabled(command, true);
    }
    for (RemoteCommand command : platform::allRemoteCommands) {
        center.removeAllTargets(command);
    }
    for (RemoteCommand command : platform::allRemoteCommands) {
        center.addTarget(command, handlerFor(command, weak_from_this()));
    }
}

platform::RemoteCommandHandler MediaManager::handlerFor(RemoteCommand command,
                                                        std::weak_ptr<MediaManager> manager) {
    if (command == RemoteCommand::changePlaybackPosition) {
        return [manager](const platform::RemoteCommandEvent& event) {
            auto self = manager.lock();
            return self ? self->changePlaybackPosition(event)
                        : RemoteCommandHandlerStatus::commandFailed;
        };
    }
    if (command != RemoteCommand::play && command != RemoteCommand::pause &&
        command != RemoteCommand::nextTrack && command != RemoteCommand::previousTrack &&
        command != RemoteCommand::stop) {
        return [manager](const platform::RemoteCommandEvent& event) {
            auto self = manager.lock();
            return self ? self->runValueCallback(event) : RemoteCommandHandlerStatus::commandFailed;
        };
    }
    return [manager, command](const platform::RemoteCommandEvent&) {
        if (auto self = manager.lock()) {
            self->runCallback(command);
        }
        return RemoteCommandHandlerStatus::success;
    };
}

RemoteCommandHandlerStatus MediaManager::runCallback(RemoteCommand command) {
    std::function<void()> callback;
    {
        std::lock_guard lock(mutex_);
        switch (command) {
            case RemoteCommand::play:
                callback = callbacks_.onPlay;
                break;
            case RemoteCommand::pause:
                callback = callbacks_.onPause;
                break;
            case RemoteCommand::nextTrack:
                callback = callbacks_.onNext;
                break;
            case RemoteCommand::previousTrack:
                callback = callbacks_.onPrevious;
                break;
            case RemoteCommand::stop:
                callback = callbacks_.onStop;
                break;
            default:
                break;
        }
    }
    if (callback) {
        callback();
    }
    return RemoteCommandHandlerStatus::success;
}

RemoteCommandHandlerStatus MediaManager::changePlaybackPosition(
    const platform::RemoteCommandEvent& event) {
    if (!event.positionTime) {
        return RemoteCommandHandlerStatus::commandFailed;
    }
    std::function<void(double)> onSeek;
    {
        std::lock_guard lock(mutex_);
        status_.position = *event.positionTime;
        onSeek = callbacks_.onSeek;
    }
    if (onSeek) {
        onSeek(*event.positionTime);
    }
    return RemoteCommandHandlerStatus::success;
}

RemoteCommandHandlerStatus MediaManager::runValueCallback(
    const platform::RemoteCommandEvent& event) {
    // Bound to its value under the lock, run outside it; nothing to run without a callback.
    auto bound = [](const auto& callback, const auto& value) -> std::function<void()> {
        if (!callback) {
            return [] {};
        }
        return [callback, value] { callback(value); };
    };
    std::function<void()> callback;
    {
        std::lock_guard lock(mutex_);
        if (event.command == RemoteCommand::seekBy && event.offset) {
            callback = bound(callbacks_.onSeekBy, *event.offset);
        } else if (event.command == RemoteCommand::changeShuffleMode && event.shuffle) {
            callback = bound(callbacks_.onShuffle, *event.shuffle);
        } else if (event.command == RemoteCommand::changeRepeatMode && event.loop) {
            callback = bound(callbacks_.onLoop, *event.loop);
        } else if (event.command == RemoteCommand::changeVolume && event.volume) {
            callback = bound(callbacks_.onVolume, *event.volume);
        }
    }
    // As a seek without its position, a command without its value was not meant for this.
    if (!callback) {
        return RemoteCommandHandlerStatus::commandFailed;
    }
    callback();
    return RemoteCommandHandlerStatus::success;
}

void MediaManager::updateNowPlayingInfo() {
    std::string artworkURL;
    {
        // Publication and artwork merging share the lock, so an image meant for an earlier
        // address can never land in a newer publication.
        std::lock_guard lock(mutex_);
        platform::NowPlayingInfo info;
        info.title = status_.title;
        info.artist = status_.artist;
        info.albumTitle = status_.album;
        info.playbackDuration = status_.duration;
        info.elapsedPlaybackTime = status_.position;
        info.playbackRate = status_.rate;
        info.controls = status_.controls;
        services_.nowPlayingInfoCenter->setPlaybackState(status_.playbackState);
        services_.nowPlayingInfoCenter->setNowPlayingInfo(std::move(info));
        artworkURL = status_.artworkURL;
    }
    loadArtwork(artworkURL);
}

void MediaManager::loadArtwork(const std::string& url) {
    if (url.empty() || !services_.urlSession->isValidURL(url)) {
        return;
    }
    services_.urlSession->dataTask(
        url, [manager = weak_from_this(), url](platform::DataTaskResult result) {
            auto self = manager.lock();
            if (!self || !result.data) {
                return;
            }
            auto image = self->services_.imageDecoder->decode(std::move(*result.data));
            if (image) {
                self->mergeArtwork(url, std::move(*image));
            }
        });
}

void MediaManager::mergeArtwork(const std::string& url, platform::Image image) {
    std::lock_guard lock(mutex_);
    if (status_.artworkURL != url) {
        return;  // the track changed while the picture loaded
    }
    auto& center = *services_.nowPlayingInfoCenter;
    auto info = center.nowPlayingInfo().value_or(platform::NowPlayingInfo{});
    info.artwork = std::move(image);
    center.setNowPlayingInfo(std::move(info));
}

MediaManager::Callbacks MediaManager::callbacks() const {
    std::lock_guard lock(mutex_);
    return callbacks_;
}

void MediaManager::setCallbacks(Callbacks callbacks) {
    Callbacks previous;
    std::lock_guard lock(mutex_);
    // The old callbacks are destroyed after the lock is released, outside it.
    previous = std::exchange(callbacks_, std::move(callbacks));
}

MediaManager::Status MediaManager::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void MediaManager::setStatus(Status status) {
    std::lock_guard lock(mutex_);
    status_ = std::move(status);
}
