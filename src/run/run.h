// The order of one run of zolk_qex, for the build form given.
#pragma once

#include "support/build_form.h"

// Process results.
// "Complete ZOLK" (and a port list that was printed).
inline constexpr int kResultComplete = 0;
// "Failed ZOLK": a refused file or report path (checked before the port
// opens), a line lost or silent during the queries, a failed write, verify
// or dump; also a port list that could not be made.
inline constexpr int kResultFailed = 1;
// No verdict: a bad command line, no port or one that cannot be set up, a
// failed boot load (its image files missing or short included), a failed
// low format.
inline constexpr int kResultEarlyEnd = -1;
// A run stopped by SIGINT, SIGTERM or SIGHUP (or their Windows console
// events) ends with 128 + the signal number: 130, 143, 129.

int RunMain(int argc, char** argv, const BuildForm& form);
