// Stand-in for the probe period in the end-to-end build of the launcher:
// one probe a second, so a scenario sees the status dot change within a
// short deadline. Linked instead of src/app/probe_period.cpp.
#include "app/input.h"

extern const int ProbePeriodMs = 1000;
