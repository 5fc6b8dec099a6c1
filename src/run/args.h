// The command line of zolk_qex: its parser (the options and the usage
// text: run/options.h; the number readers: run/numbers.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run/numbers.h"
#include "run/options.h"
#include "support/zolk_args.h"


bool ParseArgs(int argc, char** argv, ZOLKArgs* args);
bool CheckLongOptions(int argc, char** argv);
char* StrDup(const char* text);
