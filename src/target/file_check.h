// Checks of the image files needed to boot a board from reset.
#pragma once

#include <cstdint>

struct ZOLKArgs;

// The ZOLK firmware file and the HSM image source open, and the HSM source
// holds the whole HSM image.
bool CheckMandatoryFilesQEX(const ZOLKArgs* pZolkArgs);
// The file opens for reading and, when validSize is not 0, has that size.
bool CheckFile(const char* pFileName, uint64_t validSize);

// Where the HSM image lies in its source file.
inline constexpr uint32_t kHsmImageOffset = 0x2000;
inline constexpr uint32_t kHsmImageSize = 0x10000;

// Checks the files of a run before anything is sent to the target: the write
// file (missing, unreadable, a directory, empty), the dump file (its path can
// be created; it is not the write, HSM or ZOLK file). Prints a clear message
// naming the file and the reason; false ends the run as failed.
bool CheckRunFiles(const ZOLKArgs* pZolkArgs);
