// Command line of zolk_qex: option scanning into the run-arguments record.
// The options themselves and the usage text are in options.cpp.
#include "run/args.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "run/options.h"
#include "support/logger.h"
#include "transport/serial_port.h"

namespace {

constexpr const char* kHintLine = "Try '--help' for more information.\n";

// Copies made by StrDup stay reachable from here until the process ends:
// the record's string fields are replaced freely and never freed.
std::vector<char*>& StrDupCopies()
{
    static auto* copies = new std::vector<char*>();
    return *copies;
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

// The options a port list takes besides itself: how it reports (--debug,
// --save-log) and the letters that have no effect anywhere.
bool ListPortsTakes(int c, int longIndex)
{
    if (c == 0 && longIndex >= 0 && longIndex < kLongOptionCount) {
        const char* name = kLongOptions[longIndex].name;
        return strcmp(name, "list-ports") == 0 || strcmp(name, "save-log") == 0;
    }
    return c == 'g' || c == 'c' || c == 'f' || c == 'n';
}

// The combinations that would do something other than what the command line
// says; each refusal says why.
bool CheckCombinations(const ZOLKArgs* args, bool addrGiven, bool sizeGiven, const std::string& notForList)
{
    bool ok = true;
    if (args->bListPorts && !notForList.empty()) {
        LOG_MSG(LOG_ERROR, "[ParseArgs:%d] ",
                "--list-ports only lists the serial ports and ends - it would ignore %s; run the list on its own\n",
                notForList.c_str());
        ok = false;
    }
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

// The long-only options that read their value, by name.
bool ApplyNamedOption(const char* name, ZOLKArgs* args)
{
    if (strcmp(name, "port") == 0) {
        args->pPortGiven = StrDup(optarg);
        return ParsePortOption(optarg, args);
    }
    if (strcmp(name, "sector-size") == 0) {
        return ParseSectorSizeOption(optarg, args);
    }
    if (strcmp(name, "timeout-scale") == 0) {
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
    std::string notForList;  // the first option a port list would ignore
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
        if (c != '?' && c != ':' && notForList.empty() && !ListPortsTakes(c, longIndex)) {
            notForList = OptionName(c, longIndex);
        }
        const bool named = c == 0 && longIndex >= 0 && longIndex < kLongOptionCount;
        if (const StoredOption* stored = FindStoredOption(c, named ? kLongOptions[longIndex].name : nullptr)) {
            if (stored->text != nullptr) {
                args->*stored->text = StrDup(optarg);
            } else {
                args->*stored->flag = 1;
            }
            continue;
        }
        switch (c) {
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
            if (named && !ApplyNamedOption(kLongOptions[longIndex].name, args)) {
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
    if (!CheckCombinations(args, addrGiven, sizeGiven, notForList)) {
        result = false;
    }
    if (!result) {
        fputs(kHintLine, stdout);
    }
    return result;
}
