// Starting the check/patch worker under the busy protocol.
// Platform-neutral over the thread seam.
#pragma once

// Starts CheckThread (mode Check) or PatchThread (any other mode) unless a
// run is active. busy is set before the thread starts and cleared again when
// it cannot be started. False when nothing was started.
bool StartPassWorker(int mode);
