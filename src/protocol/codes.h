// The 32-bit codes of both wire protocols, in one table with their names.
#pragma once

#include <cstdint>

enum : uint32_t {
    START_CMD = 0x4B4C4F5A,  // "ZOLK" on the wire
    WRITE_CMD = 0xAAAA0011,
    READ_CMD = 0xAAAA0012,
    FW_PING = 0xAAAA0013,
    STORAGE_INFO_CMD = 0xAAAA0014,
    LOW_FORMAT_CMD = 0xAAAA0015,
    VERSION_CMD = 0xAAAA0016,
    CHIP_INFO_CMD = 0xAAAA0017,
    RECEIVE_HSM_CMD = 0xFFFF0000,
    RECEIVE_ZOLK_CMD = 0xFFFF0001,
    ACK = 0xFFFF0010,
    NACK = 0xFFFF0011,
    CHUNK_ACK = 0xFFFF0012,
    FAIL_CALC_CRC_FILE = 0xFFFF0100,
    INVALID_CMD = 0xFFFF0101,
    FAIL_CALC_CRC_CMD = 0xFFFF0102,
};

// Data bytes behind one chunk header of a write or a dump, in both
// directions (the last chunk of a region may be shorter).
inline constexpr uint32_t kChunkSize = 2048;

// Storage type codes carried in WRITE_CMD and READ_CMD.
enum : uint32_t {
    STORAGE_SNOR = 0xAAAA1001,
    STORAGE_EFLASH = 0xAAAA1002,
};

// Storage code of a --storage name ("snor", "eflash"); 0, with the message
// "\"NAME\" is invalid storage type", for any other name, and 0 for none.
uint32_t StrToUintStorageType(const char* name);

// Name text of a code; "Unknown define" for anything else (CHUNK_ACK too).
const char* CodeName(uint32_t code);
