#include <cstring>

#include "support/crc.h"
#include "support/logger.h"
#include "support/zolk_file.h"

namespace {
constexpr uint64_t kCrcChunk = 0x10000;
}  // namespace

uint32_t CalcCRCInFile(const char* pFileName)
{
    if (ZOLKLogger::GetInstance()->IsDebug()) {
        LOG_MSG(LOG_INFO, "[CalcCRCInFile:%d] ", "Start to calcuate CRC\n");
    }
    if (pFileName == nullptr) {
        LOG_MSG(LOG_ERROR, "[CalcCRCInFile:%d] ", "[ERROR] pFileName == NULL\n");
        return 0;
    }
    // A file that does not open has size 0 and gives 0; Open has reported it.
    ZOLKFile file;
    file.Open(pFileName, "rb", ZOLKFile::kDefaultBufferSize);
    return CalcCRCInFile(&file, file.GetSize());
}

uint32_t CalcCRCInFile(ZOLKFile* pFile, uint64_t size)
{
    return CalcCRCInFile(pFile, 0, size);
}

uint32_t CalcCRCInFile(ZOLKFile* pFile, uint64_t offset, uint64_t size)
{
    if (ZOLKLogger::GetInstance()->IsDebug()) {
        LOG_MSG(LOG_INFO, "[CalcCRCInFile:%d] ", "Start to calcuate CRC\n");
    }
    if (pFile == nullptr) {
        LOG_MSG(LOG_ERROR, "[CalcCRCInFile:%d] ", "[ERROR] pFile == NULL\n");
        return 0;
    }
    pFile->SetOffset(static_cast<int64_t>(offset), SEEK_SET);
    if (size == 0) {
        if (offset >= pFile->GetSize()) {
            return 0;
        }
        size = pFile->GetSize() - offset;
    }

    uint32_t crc = 0;
    while (size != 0) {
        const uint64_t chunk = size < kCrcChunk ? size : kCrcChunk;
        size -= chunk;
        uint64_t readSize = 0;
        uint8_t* pBuffer = pFile->Read(chunk, &readSize);
        if (pBuffer == nullptr) {
            return crc;
        }
        // The whole chunk length goes into the CRC, as the target counts it;
        // what a short read left unfilled counts as zero bytes.
        if (readSize < chunk) {
            std::memset(pBuffer + readSize, 0, static_cast<size_t>(chunk - readSize));
        }
        crc = CalcCRC(pBuffer, chunk, crc);
    }
    return crc;
}
