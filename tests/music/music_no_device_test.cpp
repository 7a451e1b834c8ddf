// Background music on Linux when SDL has no audio device to open (here: an
// audio driver name that does not exist). Its own process, because SDL's
// audio initialisation is process-wide.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "base/state.h"
#include "music_test_audio.h"
#include "platform/media.h"
#include "platform/test_hooks.h"
#include "services/music.h"
#include "test_files.h"
#include "window_recording.h"

namespace fs = std::filesystem;

TEST(MusicWithoutAudioDevice, EveryOpenFailsAndTheLauncherStaysSilent) {
    setenv("SDL_AUDIODRIVER", "launcher-test-no-such-driver", 1);
    fs::path folder(Narrow(MakeScratchFolder()));
    ASSERT_TRUE(WriteToneMp3((folder / "music.mp3").string(), 440, 0.3));
    fs::copy_file(folder / "music.mp3", folder / "bgm.mp3");
    ResetLauncherState(&g_state);
    ClearWindowRecords();
    ASSERT_TRUE(CopyText(g_state.programDir, ProgramDirUnits, Wide(folder.c_str()).c_str()));

    StartMusic();
    EXPECT_FALSE(g_state.musicOpen);
    EXPECT_FALSE(g_state.musicPlaying);
    int sentBefore = MediaCommandsSent();
    CloseMusic();
    EXPECT_EQ(MediaCommandsSent(), sentBefore);
    EXPECT_TRUE(TakePostedMediaNotifications().empty());
    RemoveTree(Wide(folder.c_str()));
}
