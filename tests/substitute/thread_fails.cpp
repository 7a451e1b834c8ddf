// Substitute thread backend whose workers can never be created, standing in
// for a system out of threads (which cannot be arranged reliably here).
#include "platform/thread.h"

int g_workerStartAttempts = 0;

bool StartWorker(ThreadEntry) {
    g_workerStartAttempts++;
    return false;
}
