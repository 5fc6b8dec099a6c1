#include "protocol/codes.h"

#include <cstring>

#include "support/logger.h"

namespace {
struct CodeEntry {
    uint32_t code;
    const char* name;
};
// Every named code; CHUNK_ACK deliberately has no name.
constexpr CodeEntry kCodes[] = {
    {START_CMD, "START_CMD"},
    {WRITE_CMD, "WRITE_CMD"},
    {READ_CMD, "READ_CMD"},
    {FW_PING, "FW_PING"},
    {STORAGE_INFO_CMD, "STORAGE_INFO_CMD"},
    {LOW_FORMAT_CMD, "LOW_FORMAT_CMD"},
    {VERSION_CMD, "VERSION_CMD"},
    {CHIP_INFO_CMD, "CHIP_INFO_CMD"},
    {RECEIVE_HSM_CMD, "RECEIVE_HSM_CMD"},
    {RECEIVE_ZOLK_CMD, "RECEIVE_ZOLK_CMD"},
    {ACK, "ACK"},
    {NACK, "NACK"},
    {FAIL_CALC_CRC_FILE, "FAIL_CALC_CRC_FILE"},
    {INVALID_CMD, "INVALID_CMD"},
    {FAIL_CALC_CRC_CMD, "FAIL_CALC_CRC_CMD"},
};
}  // namespace

const char* CodeName(uint32_t code)
{
    for (const CodeEntry& entry : kCodes) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return "Unknown define";
}

uint32_t StrToUintStorageType(const char* name)
{
    if (name == nullptr) {
        return 0;
    }
    if (strcmp(name, "snor") == 0) {
        return STORAGE_SNOR;
    }
    if (strcmp(name, "eflash") == 0) {
        return STORAGE_EFLASH;
    }
    LOG_MSG(LOG_ERROR, "[StrToUintStorageType:%d] ", "\"%s\" is invalid storage type\n", name);
    return 0;
}
