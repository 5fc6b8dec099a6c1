// The options of zolk_qex as data: the scanner's tables, the options that
// only store a value or set a flag, and the usage text.
#include "run/options.h"

#include <cstdio>
#include <cstring>

const char* const kShortOptions = "w:r:a:e:s:p:f:m:n:clhdg";

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
const int kLongOptionCount = sizeof(kLongOptions) / sizeof(kLongOptions[0]) - 1;


namespace {

const StoredOption kStoredOptions[] = {
    {'w', "write", &ZOLKArgs::pWriteFileName, nullptr},
    {'r', "read", &ZOLKArgs::pReadFileName, nullptr},
    {'m', "storage", &ZOLKArgs::pStorage, nullptr},
    {'e', "area", &ZOLKArgs::pArea, nullptr},
    {'p', "part", &ZOLKArgs::pPart, nullptr},
    {'l', "low-format", nullptr, &ZOLKArgs::bLowFormat},
    {'d', "device-info", nullptr, &ZOLKArgs::bDeviceInfo},
    {'g', "debug", nullptr, &ZOLKArgs::bDebug},
    {0, "zolk", &ZOLKArgs::pZolkFileName, nullptr},
    {0, "hsm", &ZOLKArgs::pHsmFileName, nullptr},
    {0, "report", &ZOLKArgs::pReportFileName, nullptr},
    {0, "time", nullptr, &ZOLKArgs::bTime},
    {0, "save-log", nullptr, &ZOLKArgs::bSaveLog},
    {0, "speed", nullptr, &ZOLKArgs::bSpeed},
    {0, "list-ports", nullptr, &ZOLKArgs::bListPorts},
    {0, "verify", nullptr, &ZOLKArgs::bVerify},
};

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

}  // namespace

const StoredOption* FindStoredOption(int letter, const char* name)
{
    for (const StoredOption& stored : kStoredOptions) {
        if (letter != 0 ? stored.letter == letter : name != nullptr && strcmp(stored.name, name) == 0) {
            return &stored;
        }
    }
    return nullptr;
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
