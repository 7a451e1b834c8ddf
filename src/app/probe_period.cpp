// The status probe's period in the shipped launcher: one probe every 20 s.
// Platform-neutral. Kept apart so the end-to-end build can link a 1 s
// period in its place without recompiling anything else.
#include "app/input.h"

extern const int ProbePeriodMs = 20000;
