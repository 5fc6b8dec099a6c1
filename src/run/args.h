// The command line of zolk_qex: its parser, the number readers and the usage text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/zolk_args.h"


bool ParseArgs(int argc, char** argv, ZOLKArgs* args);
bool CheckLongOptions(int argc, char** argv);
// The one reading of a number given by the user (option values, the port
// prompt): digits only, with 0x/0X for hexadecimal and a leading 0 for
// octal, else decimal; no sign, no blanks, nothing after the digits, and no
// larger than max. Quiet; *out is untouched on failure.
bool ParseUnsigned(const char* text, uint64_t max, uint64_t* out);
// ParseUnsigned for option values: a refused text prints "%s is invalid value".
bool StrToUint64(const char* text, uint64_t* out);
bool StrToUint32(const char* text, uint32_t* out);
void PrintUsage();
// The block --help prints after the usage text: what this build adds.
void PrintBuildOptions();
// Every option the command line accepts, as it is written there ("-w",
// "--write"): the list the manual page and the README are checked against.
std::vector<std::string> AcceptedOptions();
char* StrDup(const char* text);
