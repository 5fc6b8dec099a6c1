// Command line of zolk_qex: option scanning into the run-arguments record.
#include "run/args.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/logger.h"
#include "transport/serial_port.h"

namespace {

constexpr const char* kShortOptions = "w:r:a:e:s:p:f:m:n:clhdg";

// The value 0 makes ParseArgs act on the entry's name.
const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"no-crc", no_argument, nullptr, 'c'},
    {"device-info", no_argument, nullptr, 'd'},
    {"debug", no_argument, nullptr, 'g'},
    {"low-format", no_argument, nullptr, 'l'},
    {"write", required_argument, nullptr, 'w'},
    {"read", required_argument, nullptr, 'r'},
    {"sector-size", required_argument, nullptr, 0},
    {"addr", required_argument, nullptr, 'a'},
    {"area", required_argument, nullptr, 'e'},
    {"part", required_argument, nullptr, 'p'},
    {"storage", required_argument, nullptr, 'm'},
    {"size", required_argument, nullptr, 's'},
    {"bank", required_argument, nullptr, 'b'},
    {"zolk", required_argument, nullptr, 0},
    {"hsm", required_argument, nullptr, 0},
    {"time", no_argument, nullptr, 0},
    {"save-log", no_argument, nullptr, 0},
    {"speed", no_argument, nullptr, 0},
    {"port", required_argument, nullptr, 0},
    {"timeout-scale", required_argument, nullptr, 0},
    {"list-ports", no_argument, nullptr, 0},
    {"verify", no_argument, nullptr, 0},
    {"report", required_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};
constexpr int kLongOptionCount = sizeof(kLongOptions) / sizeof(kLongOptions[0]) - 1;

constexpr const char* kHintLine = "Try '--help' for more information.\n";

const char* const kUsageText = R"USAGE(Usage : zolk_qex <command> <options>

Example:
  Start to zolk(load ZOLK F/W) :
    zolk_qex.exe --zolk zolk_qex.rom --hsm hsm.bin
  Download file :
    zolk_qex -w [file name] --bank 0
    zolk_qex -w [file name] --bank 1
  Read dump :
    zolk_qex -r [file name] --bank 0
    zolk_qex -r [file name] --bank 1 --size 0x100 --add 0x1234
  Erase storage(Low format) :
    zolk_qex --low-format --storage [storage type]
  Print storage info
    zolk_qex --device-info

Commands:
  -w, --write [file name]       Write data
  -r, --read [file name]        Read data
      --low-format              Erase storage
  -h, --help                    Print help

Options:
  -b, --bank [bank num]         Set target bank for 'write' and 'read'
                                bank 0, bank 1
  -a, --addr [address(sector)]  Set start address for 'write' and 'read'
                                Address entered is in sector units
                                Default 1 secotr : 512 bytes
  -s, --size [size(sector)]     Set size for 'write' and 'read'
                                Size entered is in sector units
                                Default 1 secotr : 512 bytes
      --sector-size             Set sector size of storage
                                Default value : 512 bytes
                                Only 512 and 4096 are supported
  -c, --no-crc                  No check crc
      --zolk [zolk rom]         Set zolk mandatory file(zolk.rom)
                                zolk rom : zolk firmware to be executed in sram is designated
      --hsm [qex rom]           This option is required when reading
                                Get hsm from qex rom
                                hsm : hsm firmware to verify zolk rom file
      --debug                   Print debug message
                                You can see more detailed message
      --time                    Print time stamp
                                You can see [min:sec:ms]
      --save-log                Save message
      --device-info             Print storage info
      --speed                   Print download or dump speed

Caution:
  If you want to enter in hexadecimal, prefix the value with '0x'
     ex) hex : 0x123, dec : 123
  File path token Linux = '/', Windows = '\'
)USAGE";

// What this build adds to the usage text and how it reads the options there;
// each option added later gets its line here.
const char* const kBuildOptionsText = R"TEXT(
In this build:
      --port [port]             Serial port: a device path on Linux (/dev/ttyUSB0),
                                a COM number or name on Windows (3, COM3),
                                or auto: the one USB serial port present
      --list-ports              List the serial ports of this machine and end
      --storage snor|eflash     Write or dump by address (--addr, --size);
                                without it by bank (--bank)
      --timeout-scale [n]       Multiply every bound of a wait for the board
                                by n (1 to 1000, default 1) for a slow board
      --verify                  Read back what a write put into storage and
                                compare it with the file
      --report [file name]      Write a JSON record of the run into the file
  -b is not a short option here: use --bank [bank num]
)TEXT";

// Copies made by StrDup stay reachable from here until the process ends:
// the record's string fields are replaced freely and never freed.
std::vector<char*>& StrDupCopies()
{
    static auto* copies = new std::vector<char*>();
    return *copies;
}

bool IsDigitOf(char c, int base)
{
    if (base == 16) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }
    return c >= '0' && c < '0' + base;
}

// ParseUnsigned with the message of a refused value.
bool StrToUnsigned(const char* text, uint64_t max, uint64_t* out)
{
    if (text == nullptr) {
        return false;
    }
    if (!ParseUnsigned(text, max, out)) {
        printf("%s is invalid value\n", text);
        return false;
    }
    return true;
}

// The option as the user gave it, for messages: "--port" or "-w".
std::string OptionName(int c, int longIndex)
{
    if (longIndex >= 0 && longIndex < kLongOptionCount) {
        return std::string("--") + kLongOptions[longIndex].name;
    }
    return std::string("-") + static_cast<char>(c);
}

bool TakesValue(int c, int longIndex)
{
    if (longIndex >= 0 && longIndex < kLongOptionCount) {
        return kLongOptions[longIndex].has_arg == required_argument;
    }
    const char* letter = c > 0 && c < 128 ? strchr(kShortOptions, c) : nullptr;
    return letter != nullptr && letter[1] == ':';
}

// The options whose value is a file name.
bool TakesFileName(int c, int longIndex)
{
    if (c == 'w' || c == 'r') {
        return true;
    }
    if (c == 0 && longIndex >= 0 && longIndex < kLongOptionCount) {
        const char* name = kLongOptions[longIndex].name;
        return strcmp(name, "zolk") == 0 || strcmp(name, "hsm") == 0 || strcmp(name, "report") == 0;
    }
    return false;
}

// A value the option cannot take whatever it means: an empty text, or a file
// name that is really the next option (as in -r --bank 0, which would dump
// into a file named "--bank").
bool CheckOptionValue(int c, int longIndex, const char* value)
{
    if (value == nullptr || !TakesValue(c, longIndex)) {
        return true;
    }
    if (value[0] == '\0') {
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ", "The value of %s is empty\n", OptionName(c, longIndex).c_str());
        return false;
    }
    if (value[0] == '-' && TakesFileName(c, longIndex)) {
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ",
                "The file name of %s begins with '-' : %s - is the file name missing? Write ./%s for a file of "
                "that name\n",
                OptionName(c, longIndex).c_str(), value, value);
        return false;
    }
    return true;
}

// The combinations that would do something other than what the command line
// says; each refusal says why.
bool CheckCombinations(const ZOLKArgs* args, bool addrGiven, bool sizeGiven)
{
    bool ok = true;
    if (args->pStorage != nullptr && strcmp(args->pStorage, "snor") != 0 && strcmp(args->pStorage, "eflash") != 0) {
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ", "\"%s\" is invalid storage type - the storage types are snor and eflash\n",
                args->pStorage);
        ok = false;
    }
    if (args->pStorage == nullptr && (addrGiven || sizeGiven)) {
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ",
                "%s needs --storage [snor|eflash] - a write or dump by bank covers the bank's eflash and snor parts "
                "as the bank table gives them\n",
                addrGiven && sizeGiven ? "--addr with --size" : (addrGiven ? "--addr" : "--size"));
        ok = false;
    }
    if (args->bLowFormat && args->pStorage != nullptr && args->pWriteFileName == nullptr &&
        args->pReadFileName == nullptr) {
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ",
                "A low format erases all storage of the board (eflash and snor) - --storage cannot limit it; leave "
                "--storage out\n");
        ok = false;
    }
    if (args->bVerify && args->pWriteFileName == nullptr) {
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ",
                "--verify needs a write (-w [file name]) - it reads back what the write put into storage\n");
        ok = false;
    }
    // A dump by address of no size would end "complete" with an empty file.
    if (args->pReadFileName != nullptr && args->pStorage != nullptr && args->ullSize == 0) {
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ", "A dump by storage type needs its size : --size [size(sector)]\n");
        ok = false;
    }
    return ok;
}

// The program's own diagnostics for what the scanner refused; its own
// reporting is off because its wording differs between C libraries.
void ReportScannerError(int argc, char** argv, int c)
{
    const char* prog = argc > 0 && argv[0] != nullptr ? argv[0] : "zolk_qex";
    const char* arg = optind >= 1 && optind - 1 < argc ? argv[optind - 1] : nullptr;
    const bool isLong = arg != nullptr && arg[0] == '-' && arg[1] == '-' && arg[2] != '\0';
    if (c == ':') {
        if (isLong) {
            fprintf(stderr, "%s: option requires an argument -- %s\n", prog, arg + 2);
        } else {
            fprintf(stderr, "%s: option requires an argument -- %c\n", prog, optopt);
        }
    } else if (optopt != 0) {
        fprintf(stderr, "%s: unknown option -- %c\n", prog, optopt);
    } else if (isLong) {
        fprintf(stderr, "%s: unknown option -- %s\n", prog, arg + 2);
    }
}

// Multiplies a value entered in sectors by the sector size; false when the
// byte value does not fit the 32-bit words of the wire.
bool SectorsToBytes(uint64_t* value, uint64_t sectorSize, const char* what)
{
    const uint64_t sectors = *value;
    uint64_t bytes = 0;
    const bool wrapped = __builtin_mul_overflow(sectors, sectorSize, &bytes);
    *value = sectors * sectorSize;
    if (wrapped) {
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ", "%s(%llu sectors of %llu bytes) does not fit in 32 bits\n", what,
                static_cast<unsigned long long>(sectors), static_cast<unsigned long long>(sectorSize));
        return false;
    }
    if (bytes > 0xFFFFFFFFull) {
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ", "%s(%llu bytes) does not fit in 32 bits\n", what,
                static_cast<unsigned long long>(bytes));
        return false;
    }
    return true;
}

// --port: "auto", a device text (a path on POSIX, a COM name on Windows) or
// a number. The last --port given counts.
bool ParsePortOption(const char* text, ZOLKArgs* args)
{
    if (strcmp(text, "auto") == 0) {
        args->bPortAuto = 1;
        args->pPortName = nullptr;
        args->uiPort = 0;
        return true;
    }
    const std::string device = CSerialPort::DeviceNameForText(text);
    if (!device.empty()) {
        args->pPortName = StrDup(device.c_str());
        args->uiPort = 0;
        args->bPortAuto = 0;
        return true;
    }
    uint32_t port = args->uiPort;
    if (!StrToUint32(text, &port)) {
        return false;
    }
    args->uiPort = port;
    args->pPortName = nullptr;
    args->bPortAuto = 0;
    return true;
}

bool ParseBankOption(const char* text, ZOLKArgs* args)
{
    uint32_t bank = 0;
    if (!StrToUint32(text, &bank)) {
        return false;
    }
    if (bank != 0 && bank != 1) {
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ", "Bank is supported only 0 and 1\n");
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ", "Entered bank : %u\n", bank);
        return false;
    }
    args->uiBank = bank;
    return true;
}

bool ParseSectorSizeOption(const char* text, ZOLKArgs* args)
{
    const bool parsed = StrToUint64(text, &args->ullSectorSize);
    if (args->ullSectorSize != 512 && args->ullSectorSize != 4096) {
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ", "Sector size is supported only 512 and 4096\n");
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ", "Entered sector size : %llu\n",
                static_cast<unsigned long long>(args->ullSectorSize));
        return false;
    }
    return parsed;
}

// --timeout-scale: a whole number from 1 to kMaxTimeoutScale, read by the
// parser of every numeric option.
bool ParseTimeoutScaleOption(const char* text, ZOLKArgs* args)
{
    uint64_t scale = 0;
    if (!ParseUnsigned(text, kMaxTimeoutScale, &scale) || scale < 1) {
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ", "Timeout scale is a whole number from 1 to %u\n", kMaxTimeoutScale);
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ", "Entered timeout scale : %s\n", text);
        return false;
    }
    args->uiTimeoutScale = static_cast<uint32_t>(scale);
    return true;
}

// Options whose table entry carries the value 0, by name.
bool ApplyNamedOption(const char* name, ZOLKArgs* args)
{
    if (strcmp(name, "time") == 0) {
        args->bTime = 1;
    } else if (strcmp(name, "save-log") == 0) {
        args->bSaveLog = 1;
    } else if (strcmp(name, "speed") == 0) {
        args->bSpeed = 1;
    } else if (strcmp(name, "list-ports") == 0) {
        args->bListPorts = 1;
    } else if (strcmp(name, "zolk") == 0) {
        args->pZolkFileName = StrDup(optarg);
    } else if (strcmp(name, "hsm") == 0) {
        args->pHsmFileName = StrDup(optarg);
    } else if (strcmp(name, "verify") == 0) {
        args->bVerify = 1;
    } else if (strcmp(name, "report") == 0) {
        args->pReportFileName = StrDup(optarg);
    } else if (strcmp(name, "port") == 0) {
        args->pPortGiven = StrDup(optarg);
        return ParsePortOption(optarg, args);
    } else if (strcmp(name, "sector-size") == 0) {
        return ParseSectorSizeOption(optarg, args);
    } else if (strcmp(name, "timeout-scale") == 0) {
        return ParseTimeoutScaleOption(optarg, args);
    }
    return true;
}

}  // namespace

char* StrDup(const char* text)
{
    if (text == nullptr) {
        return nullptr;
    }
    const size_t length = strlen(text);
    char* copy = new char[length + 1];
    memcpy(copy, text, length + 1);
    StrDupCopies().push_back(copy);
    return copy;
}

void PrintUsage()
{
    fputs(kUsageText, stdout);
}

void PrintBuildOptions()
{
    fputs(kBuildOptionsText, stdout);
}

std::vector<std::string> AcceptedOptions()
{
    std::vector<std::string> options;
    for (const char* letter = kShortOptions; *letter != '\0'; ++letter) {
        if (*letter != ':') {
            options.push_back(std::string("-") + *letter);
        }
    }
    for (int k = 0; k < kLongOptionCount; ++k) {
        options.push_back(std::string("--") + kLongOptions[k].name);
    }
    return options;
}

bool CheckLongOptions(int argc, char** argv)
{
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr || strncmp(arg, "--", 2) != 0) {
            continue;
        }
        bool known = false;
        for (int k = 0; k < kLongOptionCount && !known; ++k) {
            known = strcmp(arg + 2, kLongOptions[k].name) == 0;
        }
        if (!known) {
            LOG_MSG(LOG_ERROR, "[CheckLongOptions:%d] ", "Invaild option : %s\n", arg);
            return false;
        }
    }
    return true;
}

bool ParseUnsigned(const char* text, uint64_t max, uint64_t* out)
{
    if (text == nullptr || !IsDigitOf(text[0], 10)) {
        return false;
    }
    int base = 10;
    const char* digits = text;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits = text + 2;
    } else if (text[0] == '0' && text[1] != '\0') {
        base = 8;
        digits = text + 1;
    }
    if (*digits == '\0') {
        return false;  // "0x" alone
    }
    for (const char* c = digits; *c != '\0'; ++c) {
        if (!IsDigitOf(*c, base)) {
            return false;
        }
    }
    errno = 0;
    const unsigned long long value = strtoull(digits, nullptr, base);
    if (errno == ERANGE || value > max) {
        return false;
    }
    *out = value;
    return true;
}

bool StrToUint64(const char* text, uint64_t* out)
{
    return StrToUnsigned(text, UINT64_MAX, out);
}

bool StrToUint32(const char* text, uint32_t* out)
{
    uint64_t value = 0;
    if (!StrToUnsigned(text, UINT32_MAX, &value)) {
        return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}


bool ParseArgs(int argc, char** argv, ZOLKArgs* args)
{
    bool result = argc > 1;

    if (!CheckLongOptions(argc, argv)) {
        return false;
    }

    // optind 0 makes the scanner start afresh, POSIXLY_CORRECT included.
    optind = 0;
    opterr = 0;
    // The leading ':' tells a missing argument apart from an unknown letter.
    const std::string shortOptions = std::string(":") + kShortOptions;
    bool addrGiven = false;
    bool sizeGiven = false;
    for (;;) {
        int longIndex = -1;
        const int c = getopt_long(argc, argv, shortOptions.c_str(), kLongOptions, &longIndex);
        if (c == -1) {
            break;
        }
        if (c != '?' && c != ':' && !CheckOptionValue(c, longIndex, optarg)) {
            result = false;
            continue;
        }
        switch (c) {
        case 'w':
            args->pWriteFileName = StrDup(optarg);
            break;
        case 'r':
            args->pReadFileName = StrDup(optarg);
            break;
        case 'm':
            args->pStorage = StrDup(optarg);
            break;
        case 'e':
            args->pArea = StrDup(optarg);
            break;
        case 'p':
            args->pPart = StrDup(optarg);
            break;
        case 'a':
            addrGiven = true;
            if (!StrToUint64(optarg, &args->ullAddr)) {
                result = false;
            }
            break;
        case 's':
            sizeGiven = true;
            if (!StrToUint64(optarg, &args->ullSize)) {
                result = false;
            }
            break;
        case 'b':
            if (!ParseBankOption(optarg, args)) {
                result = false;
            }
            break;
        case 'l':
            args->bLowFormat = 1;
            break;
        case 'd':
            args->bDeviceInfo = 1;
            break;
        case 'g':
            args->bDebug = 1;
            break;
        case 'h':
            PrintUsage();
            PrintBuildOptions();
            return false;
        case 'c':
        case 'f':
        case 'n':
            // Accepted for compatibility; CRC checks are always on.
            break;
        case 0:
            if (longIndex >= 0 && longIndex < kLongOptionCount &&
                !ApplyNamedOption(kLongOptions[longIndex].name, args)) {
                result = false;
            }
            break;
        case '?':
        case ':':
            ReportScannerError(argc, argv, c);
            result = false;
            break;
        default:
            result = false;
            break;
        }
    }

    if (!SectorsToBytes(&args->ullAddr, args->ullSectorSize, "Address")) {
        result = false;
    }
    if (!SectorsToBytes(&args->ullSize, args->ullSectorSize, "Size")) {
        result = false;
    }
    // Arguments the scanner passed over would otherwise be ignored: a file
    // name without its -w, a stray value. (With POSIXLY_CORRECT scanning
    // stopped at the first of them.)
    if (optind < argc) {
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ", "Unexpected argument : %s - not an option nor the value of one\n",
                argv[optind]);
        result = false;
    }
    if (!CheckCombinations(args, addrGiven, sizeGiven)) {
        result = false;
    }
    if (!result) {
        fputs(kHintLine, stdout);
    }
    return result;
}
