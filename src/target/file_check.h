// Checks of the image files needed to boot a board from reset.
#pragma once

#include <cstdint>

struct ZOLKArgs;

// The ZOLK firmware file and the HSM image source open, and the HSM source
// holds the whole HSM image.
bool CheckMandatoryFilesQEX(const ZOLKArgs* pZolkArgs);
// The file opens for reading and, when validSize is not 0, has that size.
// *pSize (may be null) gets the size of a file that passed.
bool CheckFile(const char* pFileName, uint64_t validSize, uint64_t* pSize = nullptr);

// Where the HSM image lies in its source file.
inline constexpr uint32_t kHsmImageOffset = 0x2000;
inline constexpr uint32_t kHsmImageSize = 0x10000;
// The file the boot load takes the HSM image from: the --hsm file, or else
// the write file (null when neither is given).
char* HsmImageSource(const ZOLKArgs* pZolkArgs);

// Checks the files of a run before the port is opened: the write file and,
// when given, the ZOLK firmware file (each opens, is a regular file, is not
// empty) and the HSM file (holds the HSM image); the dump path (it is not the
// write, HSM or ZOLK file, and its directory takes a new file: one is created
// and removed again). Prints a message naming the file and the reason; false
// ends the run as failed.
bool CheckRunFiles(const ZOLKArgs* pZolkArgs);
// The --report path, checked before everything else: it must take a new file
// and be none of the run's other files. A refused path refuses the run, and
// the message says that no report is written.
bool CheckReportFile(const ZOLKArgs* pZolkArgs);
