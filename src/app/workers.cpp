// Starting the check/patch worker under the busy protocol: only the
// user-interface thread starts runs, so testing and setting busy here can
// never let two runs start. Platform-neutral over the thread seam.
#include "app/workers.h"

#include "base/state.h"
#include "patch/engine.h"
#include "platform/thread.h"

bool StartPassWorker(int mode) {
    if (g_state.busy) return false;
    g_state.busy = 1;
    if (StartWorker(mode == Check ? CheckThread : PatchThread)) return true;
    g_state.busy = 0;  // no worker will ever clear it
    return false;
}
