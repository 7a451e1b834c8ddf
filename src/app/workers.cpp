// The window's check/patch pass: the busy protocol around its worker, and
// the pass's reports turned into the status line. Only the user-interface
// thread starts runs, so testing and setting busy here can never let two
// runs start. Platform-neutral over the thread and window seams.
#include "app/workers.h"

#include "base/state.h"
#include "patch/engine.h"
#include "platform/thread.h"
#include "platform/window.h"

static const WideChar WaitingText[] = WTEXT("Waiting for another launcher to finish...");

// Every status the pass reports is shown at once: the window paints it
// before the pass goes on.
static void ShowStatus(void *, const WideChar *text, int32_t percent) {
    SetStatusText(&g_state, text);
    g_state.progress = percent;
    ForceRepaint();
}

static void ShowWaiting(void *context) { ShowStatus(context, WaitingText, 0); }

// Runs one pass with the configuration read at start-up. Failed files and
// an unusable manifest show only in the closing message.
static void RunWindowPass(int mode) {
    PassSettings settings = {g_state.programDir, g_state.patchUrl, g_state.manifestKey, mode, 0, false, false,
                             g_state.maxDownloadKiBps};
    PassReports reports = {nullptr, ShowStatus, ShowWaiting, nullptr, nullptr, nullptr, nullptr};
    PassOutcome outcome;
    RunManifestPass(&settings, &reports, &outcome);
}

uint32_t CheckThread(void *) {
    RunWindowPass(Check);
    g_state.busy = 0;
    return 0;
}

uint32_t PatchThread(void *) {
    RunWindowPass(Patch);
    g_state.busy = 0;
    return 0;
}

bool StartPassWorker(int mode) {
    if (g_state.busy) return false;
    g_state.busy = 1;
    if (StartWorker(mode == Check ? CheckThread : PatchThread)) return true;
    g_state.busy = 0;  // no worker will ever clear it
    return false;
}
