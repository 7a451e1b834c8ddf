// Background music on Linux when SDL has no audio device to open: through
// the real ALSA library on a machine without a sound card (the usual case
// here), or else through an audio driver name that does not exist. Its own
// process, because SDL's audio initialisation is process-wide.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <filesystem>

#include "base/state.h"
#include "music_test_audio.h"
#include "platform/media.h"
#include "platform/test_hooks.h"
#include "services/music.h"
#include "test_files.h"
#include "window_recording.h"

namespace fs = std::filesystem;

// Whether this machine has no ALSA sound card at all.
static bool NoSoundCard() {
    std::ifstream cards("/proc/asound/cards");
    std::string first;
    return !cards || !std::getline(cards, first) || first.find("no soundcards") != std::string::npos;
}

TEST(MusicWithoutAudioDevice, EveryOpenFailsTheLauncherStaysSilentAndOneLineSaysTheMusicIsOff) {
    setenv("SDL_AUDIODRIVER", NoSoundCard() ? "alsa" : "launcher-test-no-such-driver", 1);
    fs::path folder(Narrow(MakeScratchFolder()));
    ASSERT_TRUE(WriteToneMp3((folder / "music.mp3").string(), 440, 0.3));
    fs::copy_file(folder / "music.mp3", folder / "bgm.mp3");
    ResetLauncherState(&g_state);
    ClearWindowRecords();
    ASSERT_TRUE(CopyText(g_state.programDir, ProgramDirUnits, Wide(folder.c_str()).c_str()));

    testing::internal::CaptureStderr();
    StartMusic();
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_EQ(said.rfind("launcher: no sound device could be opened, so the music is off", 0), 0u) << said;
    EXPECT_FALSE(g_state.musicOpen);
    EXPECT_FALSE(g_state.musicPlaying);
    int sentBefore = MediaCommandsSent();
    CloseMusic();
    EXPECT_EQ(MediaCommandsSent(), sentBefore);
    EXPECT_TRUE(TakePostedMediaNotifications().empty());
    RemoveTree(Wide(folder.c_str()));
}
