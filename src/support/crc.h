// The 32-bit CRC of every packet and transfer (reflected polynomial
// 0xD8018001, start 0, no final xor; "123456789" -> 0x6EC2EDC4).
#pragma once

#include <cstdint>

class ZOLKFile;

uint32_t CalcCRC(const void* data, uint64_t length, uint32_t crc);
// CRC of a whole file by name; 0 on a null name or a file that does not open.
uint32_t CalcCRCInFile(const char* pFileName);
// CRC of size bytes from the start of the file (size 0: the whole file).
uint32_t CalcCRCInFile(ZOLKFile* pFile, uint64_t size);
// CRC of size bytes from offset (size 0: to the end of the file). An offset at
// or beyond the end with size 0 gives 0.
uint32_t CalcCRCInFile(ZOLKFile* pFile, uint64_t offset, uint64_t size);
