// Tone MP3s and recording summaries for the music tests. Linux only: the
// encoder is the `lame` program, run through the shell. The summary counts
// 10 ms windows whose peak is clearly audible, and zero crossings in them.
#include "music_test_audio.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>

constexpr int ToneRateHz = 44100;
constexpr double ToneAmplitude = 0.5;     // of full scale
constexpr double SoundingLevel = 0.1;     // of full scale, peak in a window
constexpr double SummaryWindowSeconds = 0.01;

static void PutLittleEndian(std::string &out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; i++) out.push_back(char((value >> (8 * i)) & 0xFF));
}

bool WriteToneMp3(const std::string &path, double frequencyHz, double seconds) {
    const double pi = 3.14159265358979323846;
    int frames = int(seconds * ToneRateHz);
    std::string wav = "RIFF";
    PutLittleEndian(wav, uint32_t(36 + frames * 2), 4);
    wav += "WAVEfmt ";
    PutLittleEndian(wav, 16, 4);
    PutLittleEndian(wav, 1, 2);  // PCM
    PutLittleEndian(wav, 1, 2);  // mono
    PutLittleEndian(wav, ToneRateHz, 4);
    PutLittleEndian(wav, ToneRateHz * 2, 4);
    PutLittleEndian(wav, 2, 2);
    PutLittleEndian(wav, 16, 2);
    wav += "data";
    PutLittleEndian(wav, uint32_t(frames * 2), 4);
    for (int i = 0; i < frames; i++) {
        double sample = ToneAmplitude * std::sin(2 * pi * frequencyHz * i / ToneRateHz);
        PutLittleEndian(wav, uint32_t(uint16_t(int16_t(std::lround(sample * 32767)))), 2);
    }
    std::string wavPath = path + ".wav";
    {
        std::ofstream out(wavPath, std::ios::binary | std::ios::trunc);
        out << wav;
        if (!out) return false;
    }
    std::string command = "lame --quiet -b 128 '" + wavPath + "' '" + path + "'";
    int status = std::system(command.c_str());
    std::remove(wavPath.c_str());
    return status == 0;
}

SoundSummary SummariseRecording(const std::string &recording, size_t fromByte, size_t toByte,
                                int rateHz, int channels) {
    SoundSummary summary = {0, 0};
    size_t frameBytes = size_t(2 * channels);
    if (toByte > recording.size()) toByte = recording.size();
    if (fromByte >= toByte) return summary;
    size_t frames = (toByte - fromByte) / frameBytes;
    size_t window = size_t(rateHz * SummaryWindowSeconds);
    auto sampleAt = [&](size_t frame) {
        const unsigned char *p =
            reinterpret_cast<const unsigned char *>(recording.data() + fromByte + frame * frameBytes);
        return int16_t(uint16_t(p[0] | (p[1] << 8)));
    };
    size_t soundingFrames = 0, crossings = 0;
    for (size_t start = 0; start + window <= frames; start += window) {
        int peak = 0;
        for (size_t i = start; i < start + window; i++) peak = std::max(peak, std::abs(int(sampleAt(i))));
        if (peak < SoundingLevel * 32767) continue;
        soundingFrames += window;
        for (size_t i = start + 1; i < start + window; i++) {
            if ((sampleAt(i - 1) < 0) != (sampleAt(i) < 0)) crossings++;
        }
    }
    summary.soundingSeconds = double(soundingFrames) / rateHz;
    if (soundingFrames > 0) summary.frequencyHz = crossings / (2 * summary.soundingSeconds);
    return summary;
}
