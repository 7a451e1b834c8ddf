// Background music on Linux, heard through SDL's disk audio driver: the
// whole process plays into one raw recording, and each scenario reads back
// the stretch it produced. The test acts as the user-interface thread: it
// hands every posted end-of-play notification to OnMusicNotify.
// Tones are encoded with lame at test time: low 440 Hz, high 1500 Hz.
#include <SDL_mixer.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "base/state.h"
#include "music_test_audio.h"
#include "platform/media.h"
#include "platform/test_hooks.h"
#include "platform/thread.h"
#include "services/music.h"
#include "test_files.h"
#include "window_recording.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr double LowHz = 440;
constexpr double HighHz = 1500;
constexpr double ShortToneSeconds = 0.3;
constexpr double LongToneSeconds = 3;
// Audio mixed before a command may reach the recording this much later.
constexpr double RecordingLagSeconds = 0.15;
constexpr auto Deadline = 30s;

static fs::path s_suiteFolder;
static fs::path s_recordingPath;
static bool s_tonesReady;

static fs::path Tone(const char *name) { return s_suiteFolder / name; }

static size_t RecordingSize() {
    std::error_code error;
    uintmax_t size = fs::file_size(s_recordingPath, error);
    return error ? 0 : size_t(size);
}

static int BytesPerSecond() {
    int rate = 0, channels = 0;
    Uint16 format = 0;
    if (Mix_QuerySpec(&rate, &format, &channels) == 0 || format != AUDIO_S16LSB) return 0;
    return rate * channels * 2;
}

static size_t SecondsToBytes(double seconds) {
    int frameBytes = 4;
    int rate = 0, channels = 0;
    Uint16 format = 0;
    if (Mix_QuerySpec(&rate, &format, &channels) != 0) frameBytes = channels * 2;
    return size_t(seconds * BytesPerSecond()) / size_t(frameBytes) * size_t(frameBytes);
}

// What was heard in recording bytes [from, to).
static SoundSummary Heard(size_t from, size_t to) {
    int rate = 0, channels = 0;
    Uint16 format = 0;
    if (Mix_QuerySpec(&rate, &format, &channels) == 0) return {0, 0};
    return SummariseRecording(ReadBytes(Wide(s_recordingPath.c_str())), from, to, rate, channels);
}

// Waits until the recording holds at least bytes.
static bool WaitForRecording(size_t bytes) {
    auto deadline = std::chrono::steady_clock::now() + Deadline;
    while (RecordingSize() < bytes) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class MusicOnDisk : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_suiteFolder = fs::path(Narrow(MakeScratchFolder()));
        s_recordingPath = s_suiteFolder / "recording.raw";
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", s_recordingPath.c_str(), 1);
        s_tonesReady = WriteToneMp3(Tone("low.mp3"), LowHz, ShortToneSeconds) &&
                     WriteToneMp3(Tone("high.mp3"), HighHz, ShortToneSeconds) &&
                     WriteToneMp3(Tone("long.mp3"), LowHz, LongToneSeconds);
    }
    static void TearDownTestSuite() { RemoveTree(Wide(s_suiteFolder.c_str())); }

    void SetUp() override {
        ASSERT_TRUE(s_tonesReady) << "could not encode the test tones with lame";
        ResetLauncherState(&g_state);
        ClearWindowRecords();
        handled.clear();
        folder = s_suiteFolder / ("game-" + std::to_string(++scenario));
        fs::create_directories(folder);
        UseProgramFolder(folder);
        startByte = RecordingSize();
    }
    void TearDown() override { CloseMusic(); }

    void UseProgramFolder(const fs::path &path) {
        fs::create_directories(path);
        ASSERT_TRUE(CopyText(g_state.programDir, ProgramDirUnits, Wide(path.c_str()).c_str()));
    }
    static void Place(const char *tone, const fs::path &target) {
        fs::copy_file(Tone(tone), target, fs::copy_options::overwrite_existing);
    }

    // Plays the user-interface thread until done() holds: every posted
    // notification goes to the loop handling, as the window would do.
    template <typename Done>
    bool PumpUntil(Done done) {
        auto deadline = std::chrono::steady_clock::now() + Deadline;
        for (;;) {
            for (int code : TakePostedMediaNotifications()) {
                handled.push_back(code);
                OnMusicNotify(code);
            }
            if (done()) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(2ms);
        }
    }
    int NormalEnds() const { return int(std::count(handled.begin(), handled.end(), 1)); }

    // Closes the music and waits until what it played has reached the
    // recording. Returns the recording's size when the close was sent.
    size_t CloseAndSettle() {
        size_t closeByte = RecordingSize();
        CloseMusic();
        EXPECT_TRUE(WaitForRecording(closeByte + SecondsToBytes(3 * RecordingLagSeconds)));
        return closeByte;
    }

    // Starts the music, waits for its first normal end, closes it and
    // tells what was heard.
    SoundSummary FirstPlayHeard() {
        size_t from = RecordingSize();
        handled.clear();
        StartMusic();
        EXPECT_TRUE(PumpUntil([&] { return NormalEnds() >= 1; }));
        size_t closeByte = CloseAndSettle();
        return Heard(from, closeByte + SecondsToBytes(RecordingLagSeconds));
    }

    static inline int scenario = 0;
    fs::path folder;
    size_t startByte = 0;
    std::vector<int> handled;  // notification codes, in arrival order
};

TEST_F(MusicOnDisk, TheFirstCandidatePlaysFromTheStartOnEveryLoopUntilClosed) {
    Place("low.mp3", folder / "music.mp3");
    Place("high.mp3", folder / "theme.mp3");
    Place("high.mp3", folder / "bgm.mp3");
    ASSERT_TRUE(StartWorker(MusicThread));
    ASSERT_TRUE(PumpUntil([&] { return NormalEnds() >= 3; })) << "fewer than three plays ended";
    EXPECT_TRUE(g_state.musicOpen);
    EXPECT_TRUE(g_state.musicPlaying);
    size_t closeByte = CloseAndSettle();

    // Three whole plays of music.mp3: a replay without the rewind would
    // end at once and add no sound.
    SoundSummary heard = Heard(startByte, closeByte + SecondsToBytes(RecordingLagSeconds));
    EXPECT_NEAR(heard.frequencyHz, LowHz, LowHz * 0.1);
    EXPECT_GE(heard.soundingSeconds, 3 * ShortToneSeconds * 0.8);

    // The close stops the sound, and the play it cut short never reports a
    // normal end (which would restart it).
    size_t end = RecordingSize();
    EXPECT_EQ(Heard(closeByte + SecondsToBytes(RecordingLagSeconds), end).soundingSeconds, 0);
    int endsBeforeClose = NormalEnds();
    PumpUntil([] { return true; });
    EXPECT_EQ(NormalEnds(), endsBeforeClose);
}

TEST_F(MusicOnDisk, APlayThatEndsOtherwiseThanNormallyIsNotRestarted) {
    Place("long.mp3", folder / "music.mp3");
    StartMusic();
    ASSERT_TRUE(g_state.musicPlaying);
    ASSERT_TRUE(WaitForRecording(startByte + SecondsToBytes(0.5)));
    ASSERT_GT(Heard(startByte, RecordingSize()).soundingSeconds, 0);

    // Something else stops the play half-way: it ends as aborted.
    size_t stopByte = RecordingSize();
    ASSERT_EQ(SendMediaCommand(WTEXT("seek bgm to start"), false), 0);
    int sentBefore = MediaCommandsSent();
    ASSERT_TRUE(PumpUntil([&] { return !handled.empty(); }));
    EXPECT_EQ(handled, std::vector<int>{4});
    EXPECT_EQ(MediaCommandsSent(), sentBefore);

    // Silence for longer than a restart would take to be heard.
    size_t from = stopByte + SecondsToBytes(RecordingLagSeconds);
    ASSERT_TRUE(WaitForRecording(from + SecondsToBytes(1)));
    EXPECT_EQ(Heard(from, RecordingSize()).soundingSeconds, 0);
    PumpUntil([] { return true; });
    EXPECT_EQ(handled, std::vector<int>{4});
}

TEST_F(MusicOnDisk, MissingAndUnopenableCandidatesAreSkipped) {
    // Not decodable: text under an MP3 name.
    UseProgramFolder(folder / "text");
    WriteBytes(Wide((folder / "text" / "music.mp3").c_str()), "not music at all\n");
    Place("high.mp3", folder / "text" / "theme.mp3");
    SoundSummary heard = FirstPlayHeard();
    EXPECT_TRUE(g_state.musicOpen);
    EXPECT_NEAR(heard.frequencyHz, HighHz, HighHz * 0.1);
    EXPECT_GE(heard.soundingSeconds, ShortToneSeconds * 0.8);

    // Nothing named music.mp3, and a folder that exists but opens as nothing.
    ResetLauncherState(&g_state);
    UseProgramFolder(folder / "folder");
    fs::create_directories(folder / "folder" / "theme.mp3");
    Place("low.mp3", folder / "folder" / "bgm.mp3");
    heard = FirstPlayHeard();
    EXPECT_TRUE(g_state.musicOpen);
    EXPECT_NEAR(heard.frequencyHz, LowHz, LowHz * 0.1);
    EXPECT_GE(heard.soundingSeconds, ShortToneSeconds * 0.8);
}

TEST_F(MusicOnDisk, ACandidateWhosePathDoesNotFitIsSkippedNotCut) {
    // A program folder of 251 units: "<folder>/bgm.mp3" takes the last of
    // 259 units, the two longer names do not fit. Their cut paths would
    // name the decoys.
    std::string base = folder.string();
    fs::path longFolder = folder / std::string(250 - base.size(), 'x');
    ASSERT_EQ(longFolder.string().size(), 251u);
    UseProgramFolder(longFolder);
    Place("high.mp3", longFolder / "music.mp3");
    Place("high.mp3", longFolder / "theme.mp3");
    Place("high.mp3", longFolder / "music.m");
    Place("high.mp3", longFolder / "theme.m");
    Place("low.mp3", longFolder / "bgm.mp3");
    SoundSummary heard = FirstPlayHeard();
    EXPECT_NEAR(heard.frequencyHz, LowHz, LowHz * 0.1);
}

TEST_F(MusicOnDisk, WithNothingToPlayTheLauncherStaysSilent) {
    WriteBytes(Wide((folder / "readme.txt").c_str()), "no music here\n");
    Place("low.mp3", folder / "music.ogg");
    int sentBefore = MediaCommandsSent();
    StartMusic();
    EXPECT_FALSE(g_state.musicOpen);
    EXPECT_FALSE(g_state.musicPlaying);
    OnMusicNotify(MediaNotifySuccessful);
    CloseMusic();
    EXPECT_EQ(MediaCommandsSent(), sentBefore);
    EXPECT_TRUE(TakePostedMediaNotifications().empty());
}
