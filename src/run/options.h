// The options of zolk_qex: the letters and long names the scanner knows,
// what the plain ones store, and the usage text --help prints.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/zolk_args.h"

// The short letters in the scanner's form ("w:" takes a value).
extern const char* const kShortOptions;
// The long options, ended by an empty entry. The value 0 makes ParseArgs act
// on the entry's name.
extern const option kLongOptions[];
extern const int kLongOptionCount;

// An option that only stores its value (a copy of the text) or sets its
// flag; the others are read one by one in ParseArgs.
struct StoredOption {
    int letter;        // the scanner's value: the short letter, or 0 for a long-only option
    const char* name;  // the long name (the entry's name when letter is 0)
    char* ZOLKArgs::*text;
    uint8_t ZOLKArgs::*flag;
};
// The stored option the scanner returned (letter, or 0 with the long name),
// or null.
const StoredOption* FindStoredOption(int letter, const char* name);

void PrintUsage();
// The block --help prints after the usage text: what this build adds.
void PrintBuildOptions();
// Every option the command line accepts, as it is written there ("-w",
// "--write"): the list the manual page and the README are checked against.
std::vector<std::string> AcceptedOptions();
