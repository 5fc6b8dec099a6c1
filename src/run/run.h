// The order of one run of zolk_qex, for the build form given.
#pragma once

#include "support/build_form.h"

// Process results.
inline constexpr int kResultComplete = 0;   // "Complete ZOLK"
inline constexpr int kResultFailed = 1;     // "Failed ZOLK": a write, dump or boot load failed
inline constexpr int kResultEarlyEnd = -1;  // bad command line, no port, missing files, failed low format
// A run stopped by SIGINT, SIGTERM or SIGHUP (or their Windows console
// events) ends with 128 + the signal number: 130, 143, 129.

int RunMain(int argc, char** argv, const BuildForm& form);
