// Test audio for the music tests on Linux: tones encoded as MP3 by the
// `lame` program at test time, and a summary of what SDL's disk audio
// driver recorded (16-bit little-endian PCM, interleaved channels).
#pragma once
#include <cstddef>
#include <string>

// Writes a mono sine tone as MP3 at path (through a WAV file beside it).
// False when lame is missing or failed.
bool WriteToneMp3(const std::string &path, double frequencyHz, double seconds);

struct SoundSummary {
    double soundingSeconds;  // time with a clearly audible signal, s
    double frequencyHz;      // zero-crossing estimate over that time, 0 if none
};

// Summarises recorded bytes [fromByte, toByte) of the first channel.
SoundSummary SummariseRecording(const std::string &recording, size_t fromByte, size_t toByte,
                                int rateHz, int channels);
