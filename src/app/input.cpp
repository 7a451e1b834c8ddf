// The window procedure's logic, shared by the Win32 and SDL windows: every
// handler runs on the user-interface thread, reads and writes the state
// record, starts workers and asks the window for effects through its seam.
#include "app/input.h"

#include "base/state.h"
#include "app/workers.h"
#include "patch/manifest.h"
#include "platform/thread.h"
#include "platform/window.h"
#include "render/layout.h"
#include "render/painter.h"
#include "render/particles.h"
#include "services/launch.h"
#include "services/music.h"
#include "services/probe.h"

const WideChar InfoBoxText[] = WTEXT("Official website coming soon.\nJoin our Discord for now!");
const WideChar InfoBoxCaption[] = WTEXT("Zenthara Online");
const WideChar CommunityLink[] = WTEXT("https://discord.gg/zenthara");
const WideChar SupportLink[] = WTEXT("mailto:support@zenthara-online.com?subject=Zenthara%20Online%20Support");
const WideChar VideoLink[] = WTEXT("https://www.youtube.com/@ZentharaOnline");

void OnCreate() {
    CreateFrameResources();
    InitParticles();
    g_state.particlesReady = 1;
    StartWorker(ProbeServerThread);
    StartWindowTimer(TimerProbe, ProbePeriodMs);
    StartWindowTimer(TimerAnim, AnimPeriodMs);
    StartWorker(MusicThread);
}

void OnPaint() { PaintFrame(); }

void OnDestroy() {
    CloseMusic();
    StopWindowTimer(TimerProbe);
    StopWindowTimer(TimerAnim);
    RequestQuit();
}

void OnSize(bool minimized, int width, int height) {
    if (minimized) return;
    g_state.clientWidth = width == 0 ? 1 : width;
    g_state.clientHeight = height == 0 ? 1 : height;
}

void OnTimer(int id) {
    if (id != TimerAnim) {
        StartWorker(ProbeServerThread);
        return;
    }
    g_state.tick++;
    if (g_state.particlesReady) StepParticles();
    RequestRepaint();
}

static CursorShape CursorFor(int index) {
    if (index < 0) return CursorArrow;
    return HotspotTable[index].kind < PlayArea ? CursorIBeam : CursorHand;
}

void OnMouseMove(int x, int y) {
    int index = HitTestHotspot(x, y);
    if (index != g_state.hoverIndex) {
        g_state.hoverIndex = index;
        RequestRepaint();
    }
    SetPointerCursor(CursorFor(index));
}

// Play: clears the focus; starts the game unless a run is active.
static void Play() {
    g_state.focusField = 0;
    if (!g_state.busy) LaunchGame();
}

// CHECK FILES and PATCH FILES: clears the focus; starts the run unless one
// is active.
static void RunPass(int mode) {
    g_state.focusField = 0;
    StartPassWorker(mode);
}

static void ClickHotspot(int kind) {
    switch (kind) {
    case UserField: g_state.focusField = 1; break;
    case PasswordField: g_state.focusField = 2; break;
    case PlayArea: Play(); break;
    case CheckFilesButton: RunPass(Check); break;
    case PatchFilesButton:
    case MenuPatch: RunPass(Patch); break;
    case MenuWebsite:
    case IconWebsiteB:
    case IconWebsiteA: ShowInformationBox(InfoBoxText, InfoBoxCaption); break;
    case MenuCommunity:
    case IconCommunity: OpenLink(CommunityLink); break;
    case MenuSupport: OpenLink(SupportLink); break;
    case IconVideo: OpenLink(VideoLink); break;
    case MenuExit:
    case WindowClose: CloseMainWindow(); break;
    case WindowMinimize: MinimizeMainWindow(); break;
    case Tab0: g_state.selectedTab = 0; break;
    case Tab1: g_state.selectedTab = 1; break;
    case Tab2: g_state.selectedTab = 2; break;
    case Tab3: g_state.selectedTab = 3; break;
    default: break;
    }
}

void OnLeftButtonDown(int x, int y) {
    FocusMainWindow();
    int index = HitTestHotspot(x, y);
    if (index < 0) {
        g_state.focusField = 0;
        RequestRepaint();
        return;
    }
    ClickHotspot(HotspotTable[index].kind);
    RequestRepaint();
}

bool OnKeyDown(int virtualKey) {
    if (virtualKey == KeyTab) {
        g_state.focusField = g_state.focusField == 1 ? 2 : 1;
    } else if (virtualKey == KeyEnter) {
        Play();
    } else {
        return false;
    }
    RequestRepaint();
    return true;
}

void OnChar(unsigned unit) {
    WideChar *field = g_state.focusField == 1 ? g_state.userName
                      : g_state.focusField == 2 ? g_state.password
                                                : nullptr;
    if (field == nullptr) return;
    int n = TextLength(field);
    if (unit == 8) {
        if (n > 0) field[n - 1] = 0;
    } else if (unit >= 32 && n < FieldMaxUnits) {
        field[n] = WideChar(unit);
        field[n + 1] = 0;
    }
    RequestRepaint();
}

void OnMediaNotify(int code) { OnMusicNotify(code); }

bool KeepsHotspotCursor() { return g_state.hoverIndex >= 0; }
