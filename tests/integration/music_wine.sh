#!/bin/sh
# Background music of the Windows build under Wine: starts a private
# PulseAudio server with a null sink (Wine's MCI needs an audio server to
# open anything), runs music_win32_test.exe against MP3 tones made here
# with lame, records the null sink with parec and checks the music reached
# it, then stops the processes it started. Needs wine, pulseaudio,
# pulseaudio-utils, lame, python3 and 32-bit GStreamer base and good
# plugins (Wine decodes MP3 through them); see scripts/install-deps.sh.
# Wine and what it needs for music here (an audio server that starts, the
# MP3 plugins) follow the rule of tests/support/wine.sh: when missing, one
# line on stderr and exit 0, or exit 1 with LAUNCHER_REQUIRE_WINE=1.
# Usage: tests/integration/music_wine.sh [build/windows]
set -u
repo=$(cd "$(dirname "$0")/../.." && pwd)
. "$repo/tests/support/wine.sh"
build=${1:-$repo/build/windows}
test_exe=$build/tests/music_win32_test.exe
who="music under Wine"

fail() { echo "$who: $*" >&2; exit 1; }
unavailable() { wine_unavailable "$who" "$*" || exit 0; }

[ -f "$test_exe" ] || fail "$test_exe is missing; build the Windows tree first"
for tool in lame python3; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool is not installed (scripts/install-deps.sh)"
done
# The 32-bit GStreamer plugins: base (playback, audioparsers) and good (mpg123).
gst=/usr/lib/i386-linux-gnu/gstreamer-1.0
# Where 32-bit Wine cannot start, the 64-bit test build plays through the
# 64-bit plugins (scripts/test.sh).
/usr/lib/wine/wine --version >/dev/null 2>&1 || gst=/usr/lib/x86_64-linux-gnu/gstreamer-1.0
wine_ready "$who" winepath pulseaudio parec \
  "$gst/libgstplayback.so" "$gst/libgstaudioparsers.so" "$gst/libgstmpg123.so" || exit 0

work=$(mktemp -d /tmp/launcher-music-wine.XXXXXX)
parec_pid=""
pulse_pid=""
cleanup() {
  [ -n "$parec_pid" ] && kill "$parec_pid" 2>/dev/null
  [ -n "$pulse_pid" ] && kill "$pulse_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# A private runtime folder: the server, its socket and its pid file are
# ours alone, and every client started below finds this server.
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
# As root PulseAudio warns that it is meant for a user session but runs.
pulseaudio -D --exit-idle-time=-1 -n --load="module-null-sink sink_name=null" \
  --load=module-native-protocol-unix 2>"$work/pulse.log"
pulse_pid=$(cat "$XDG_RUNTIME_DIR/pulse/pid" 2>/dev/null)
[ -n "$pulse_pid" ] || unavailable "pulseaudio did not start: $(tail -n 3 "$work/pulse.log" | tr '\n' ' ')"
ready=0
for _ in $(seq 1 100); do
  if pactl info >/dev/null 2>&1; then ready=1; break; fi
  sleep 0.1
done
[ "$ready" = 1 ] || unavailable "pulseaudio started but accepts no clients: $(tail -n 3 "$work/pulse.log" | tr '\n' ' ')"

# Tones: low.mp3 0.3 s and long.mp3 1.5 s of 440 Hz at half scale.
mkdir "$work/tones"
python3 - "$work/tones" <<'PY' || fail "could not write the test tones"
import math, struct, sys, wave
for name, seconds in (("low", 0.3), ("long", 1.5)):
    with wave.open(f"{sys.argv[1]}/{name}.wav", "wb") as out:
        out.setnchannels(1); out.setsampwidth(2); out.setframerate(44100)
        frames = int(44100 * seconds)
        out.writeframes(b"".join(struct.pack("<h", round(16383 * math.sin(2 * math.pi * 440 * i / 44100)))
                                 for i in range(frames)))
PY
for name in low long; do
  lame --quiet -b 128 "$work/tones/$name.wav" "$work/tones/$name.mp3" || fail "lame could not encode $name.mp3"
done

parec -d null.monitor --latency-msec=50 --format=s16le --rate=44100 --channels=1 >"$work/recording.raw" &
parec_pid=$!
recording=0
for _ in $(seq 1 100); do
  if [ -s "$work/recording.raw" ]; then recording=1; break; fi
  sleep 0.1
done
[ "$recording" = 1 ] || fail "parec records nothing from the null sink"

export WINEDEBUG=-all
MUSIC_TEST_TONES=$(winepath -w "$work/tones") || fail "winepath failed"
export MUSIC_TEST_TONES
wine "$test_exe" --gtest_brief=1 2>"$work/wine.log"
status=$?
kill "$parec_pid" 2>/dev/null
wait "$parec_pid" 2>/dev/null
parec_pid=""

if [ "$status" != 0 ]; then
  echo "last lines Wine wrote to stderr:" >&2
  tail -n 20 "$work/wine.log" >&2
  fail "music_win32_test.exe failed"
fi

# Three whole plays of long.mp3 must have reached the sink.
python3 - "$work/recording.raw" <<'PY' || fail "the recording does not hold the music"
import array, sys
data = open(sys.argv[1], "rb").read()
samples = array.array("h")
samples.frombytes(data[: len(data) // 2 * 2])
window = 441
sounding = sum(1 for i in range(0, len(samples) - window, window)
               if max(abs(s) for s in samples[i:i + window]) > 3000) * window / 44100
print(f"music under Wine: {sounding:.2f} s of music recorded from the null sink")
sys.exit(0 if sounding >= 3 * 1.2 else 1)
PY
echo "music under Wine: passed"
