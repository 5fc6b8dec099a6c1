// The run arguments: the command line turned into one record. The parser
// lives with the run driver; the record sits here, below every part of the
// code that reads it.
#pragma once

#include <cstdint>

class ZOLKFile;

struct ZOLKArgs {
    char* pWriteFileName = nullptr;  // -w, --write
    char* pReadFileName = nullptr;   // -r, --read
    // -m, --storage: "snor" or "eflash"; when set the run writes and dumps by
    // address, otherwise by bank (the bank operations store their own names).
    char* pStorage = nullptr;
    char* pArea = nullptr;         // -e, --area (stored, not used)
    char* pPart = nullptr;         // -p, --part (stored, not used)
    char* pHsmFileName = nullptr;  // --hsm
    char* pZolkFileName = nullptr; // --zolk
    uint64_t ullAddr = 0;          // -a, --addr: sectors on the command line, bytes after parsing
    uint64_t ullSize = 0;          // -s, --size: likewise; 0 = the whole file for a write
    uint64_t ullSectorSize = 512;  // --sector-size: 512 or 4096
    uint8_t bLowFormat = 0;        // -l, --low-format
    uint8_t bDeviceInfo = 0;       // -d, --device-info (stored, not used)
    uint8_t bDebug = 0;            // -g, --debug
    uint8_t bSaveLog = 0;          // --save-log
    uint8_t bSpeed = 0;            // --speed
    uint8_t bTime = 0;             // --time
    uint32_t uiPort = 0;           // --port N; 0 = ask on the console
    uint32_t uiBank = 0;           // --bank 0 or 1
    // --port given as a device path (POSIX) or a COM name (Windows).
    char* pPortName = nullptr;
    uint8_t bPortAuto = 0;   // --port auto: the one USB serial port present
    uint8_t bListPorts = 0;  // --list-ports: list the serial ports and end
    // Offset in the write file where the bytes to send start. Not an option:
    // a write by address sends the file from its start; a bank write sends
    // the snor part from where the eflash part ended; the boot load sends the
    // HSM image from 0x2000. Kept apart from ullAddr, the storage address.
    uint64_t ullFileOffset = 0;
    // Not an option either: the write file while the operation that sends
    // it has it open, so that the command's size and CRC are read from the
    // same open file as the data. Null: it is opened by name.
    ZOLKFile* pWriteFile = nullptr;
    // --timeout-scale N: every bound of a wait for the board times N, for
    // slow boards (1 to kMaxTimeoutScale).
    uint32_t uiTimeoutScale = 1;
    // --verify: every part a write put into storage is read back and
    // compared with the file.
    uint8_t bVerify = 0;
    char* pReportFileName = nullptr;  // --report: the run's JSON record
    char* pPortGiven = nullptr;       // --port as the user wrote it, for the record
};

inline constexpr uint32_t kMaxTimeoutScale = 1000;
