#pragma once

#include <memory>

#include "Platform/AudioSession.h"
#include "Platform/Console.h"
#include "Platform/FileOpener.h"
#include "Platform/FileSystem.h"
#include "Platform/ImageDecoder.h"
#include "Platform/MainQueue.h"
#include "Platform/NowPlayingInfoCenter.h"
#include "Platform/RemoteCommandCenter.h"
#include "Platform/URLSession.h"

namespace platform {

// The device's service instances. The host makes one set and hands it to the bridge, from which
// plugins and the root view controller reach it.
struct Services {
    std::shared_ptr<AudioSession> audioSession;
    std::shared_ptr<RemoteCommandCenter> remoteCommandCenter;
    std::shared_ptr<NowPlayingInfoCenter> nowPlayingInfoCenter;
    std::shared_ptr<URLSession> urlSession;
    std::shared_ptr<ImageDecoder> imageDecoder;
    std::shared_ptr<FileSystem> fileSystem;
    std::shared_ptr<FileOpener> fileOpener;
    std::shared_ptr<MainQueue> mainQueue;
    std::shared_ptr<Console> console;

    bool operator==(const Services&) const = default;
};

}  // namespace platform
