// Frame painting cost on the software canvas (what the Linux window shows
// every 45 ms): a whole composed frame with the default artwork, all fifty
// particles, both fields, the status line, the progress bar and the hover
// highlight, presented at the design size and at a smaller client size,
// and while the window is being resized (every frame at a size of its own,
// so nothing of the last present can be kept).
// Run through bench/run.sh, or build/bench/paint_bench after building it.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "base/config.h"
#include "base/state.h"
#include "render/painter.h"
#include "render/particles.h"

static void PrepareBusyScreen(const char *artworkFolder) {
    ResetLauncherState(&g_state);
    Utf8ToText(artworkFolder, g_state.programDir, ProgramDirUnits);
    CreateFrameResources();
    InitParticles();
    g_state.particlesReady = 1;
    CopyText(g_state.userName, UserNameUnits, WTEXT("Aldric"));
    CopyText(g_state.password, PasswordUnits, WTEXT("secret"));
    g_state.focusField = 1;
    g_state.hoverIndex = 4;
    g_state.serverState = 1;
    g_state.progress = 57;
    SetStatusText(&g_state, WTEXT("data/textures/terrain.pak  (32/45)"));
}

static void PaintAt(benchmark::State &run, int width, int height) {
    g_state.clientWidth = width;
    g_state.clientHeight = height;
    for (auto _ : run) {
        g_state.tick++;
        StepParticles();
        PaintFrame();
    }
    run.SetItemsProcessed(run.iterations());
}

static void FrameAtDesignSize(benchmark::State &run) { PaintAt(run, 1280, 853); }
static void FrameAt1037x691(benchmark::State &run) { PaintAt(run, 1037, 691); }

// Sizes from 1037 x 691 to 1036 x 690 and back, one a frame.
static void FrameWhileResizing(benchmark::State &run) {
    for (auto _ : run) {
        g_state.tick++;
        g_state.clientWidth = 1037 - int(g_state.tick % 2);
        g_state.clientHeight = 691 - int(g_state.tick % 2);
        StepParticles();
        PaintFrame();
    }
    run.SetItemsProcessed(run.iterations());
}
BENCHMARK(FrameAtDesignSize)->Unit(benchmark::kMillisecond);
BENCHMARK(FrameAt1037x691)->Unit(benchmark::kMillisecond);
BENCHMARK(FrameWhileResizing)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    // The first argument names the folder holding bg.bmp (the build folder).
    if (argc < 2) {
        fprintf(stderr, "usage: paint_bench ARTWORK_FOLDER [benchmark options]\n");
        return 64;
    }
    PrepareBusyScreen(argv[1]);
    argv[1] = argv[0];
    argc--;
    argv++;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
