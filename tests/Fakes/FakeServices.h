#pragma once

#include <memory>

#include "Fakes/FakeAudioSession.h"
#include "Fakes/FakeConsole.h"
#include "Fakes/FakeImageDecoder.h"
#include "Fakes/FakeMainQueue.h"
#include "Fakes/FakeURLSession.h"
#include "Platform/Desktop/DesktopNowPlayingInfoCenter.h"
#include "Platform/Desktop/DesktopRemoteCommandCenter.h"
#include "Platform/Services.h"

// A full set of services for in-process tests. The command center and the now-playing center
// are the desktop ones: they are in-process state with nothing that could fail.
struct FakeServices {
    std::shared_ptr<FakeAudioSession> audioSession = std::make_shared<FakeAudioSession>();
    std::shared_ptr<DesktopRemoteCommandCenter> commandCenter =
        std::make_shared<DesktopRemoteCommandCenter>();
    std::shared_ptr<DesktopNowPlayingInfoCenter> nowPlaying =
        std::make_shared<DesktopNowPlayingInfoCenter>();
    std::shared_ptr<FakeURLSession> urlSession = std::make_shared<FakeURLSession>();
    std::shared_ptr<FakeImageDecoder> imageDecoder = std::make_shared<FakeImageDecoder>();
    std::shared_ptr<FakeMainQueue> mainQueue = std::make_shared<FakeMainQueue>();
    std::shared_ptr<FakeConsole> console = std::make_shared<FakeConsole>();

    platform::Services services() const {
        return {.audioSession = audioSession,
                .remoteCommandCenter = commandCenter,
                .nowPlayingInfoCenter = nowPlaying,
                .urlSession = urlSession,
                .imageDecoder = imageDecoder,
                .fileSystem = {},  // given by the tests that use one
                .fileOpener = {},
                .mainQueue = mainQueue,
                .console = console};
    }
};
