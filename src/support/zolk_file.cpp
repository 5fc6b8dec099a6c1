#include "support/zolk_file.h"

#include <filesystem>
#include <new>
#include <system_error>

#include "support/logger.h"

// 64-bit seek and tell: the C library's long-offset calls are 32 bits wide on
// some hosts, the *64 forms are 64 bits wherever the compiler's C library has
// them (glibc, mingw-w64).
namespace {
bool Seek64(FILE* stream, int64_t offset, int origin)
{
    return fseeko64(stream, offset, origin) == 0;
}

int64_t Tell64(FILE* stream)
{
    return ftello64(stream);
}
}  // namespace

ZOLKFile::ZOLKFile() = default;

ZOLKFile::ZOLKFile(const char* pFileName, const char* mode)
{
    if (pFileName != nullptr) {
        Open(pFileName, mode, kDefaultBufferSize);
    }
}

ZOLKFile::~ZOLKFile()
{
    m_buffer.reset();
    m_bufferSize = 0;
    m_name.clear();
    if (m_stream != nullptr) {
        const int result = std::fclose(m_stream);
        m_stream = nullptr;
        if (result != 0) {
            LOG_MSG(LOG_ERROR, "[ZOLKFile::~ZOLKFile:%d] ", "Failed to close file - %d\n", result);
        }
    }
    m_size = 0;
}

bool ZOLKFile::Open(const char* pFileName, const char* mode, uint32_t bufferSize)
{
    if (ZOLKLogger::GetInstance()->IsDebug()) {
        LOG_MSG(LOG_DETAIL, "[ZOLKFile::Open:%d] ", "Open file - %s\n", pFileName ? pFileName : "(null)");
    }
    if (pFileName == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLKFile::Open:%d] ", "pFileName == NULL\n");
        return false;
    }
    if (m_stream != nullptr || mode == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLKFile::Open:%d] ", "Failed to open file - %s\n", pFileName);
        return false;
    }

    FILE* stream = std::fopen(pFileName, mode);
    // A directory opens for reading on some hosts but holds no data.
    std::error_code ec;
    if (stream != nullptr && std::filesystem::is_directory(pFileName, ec)) {
        std::fclose(stream);
        stream = nullptr;
    }

    m_name = pFileName;
    m_buffer.reset(new (std::nothrow) uint8_t[bufferSize]());
    m_bufferSize = m_buffer ? bufferSize : 0;

    if (stream == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLKFile::Open:%d] ", "Failed to open file - %s\n", pFileName);
        return false;
    }
    m_stream = stream;

    m_size = 0;
    if (Seek64(m_stream, 0, SEEK_END)) {
        const int64_t end = Tell64(m_stream);
        m_size = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    std::rewind(m_stream);
    return true;
}

uint8_t* ZOLKFile::Read(uint64_t size, uint64_t* pReadSize)
{
    if (pReadSize != nullptr) {
        *pReadSize = 0;
    }
    if (m_stream == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLKFile::Read:%d] ", "File is not openned\n");
        return nullptr;
    }
    if (!m_buffer) {
        LOG_MSG(LOG_ERROR, "[ZOLKFile::Read:%d] ", "Read buffer is not allocated - %s\n", m_name.c_str());
        return nullptr;
    }
    if (size > m_bufferSize) {
        LOG_MSG(LOG_ERROR, "[ZOLKFile::Read:%d] ", "Read size is larger than buffer - requestSize : %llu, bufferSize : %u\n",
                static_cast<unsigned long long>(size), m_bufferSize);
        return nullptr;
    }

    const size_t readSize = std::fread(m_buffer.get(), 1, static_cast<size_t>(size), m_stream);
    if (readSize != size) {
        LOG_MSG(LOG_ERROR, "[ZOLKFile::Read:%d] ", "Failed to read file - readSize : %llu, requestSize : %llu\n",
                static_cast<unsigned long long>(readSize), static_cast<unsigned long long>(size));
    }
    if (pReadSize != nullptr) {
        *pReadSize = readSize;
    }
    return m_buffer.get();
}

bool ZOLKFile::Write(const void* data, uint64_t size)
{
    if (m_stream == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLKFile::Write:%d] ", "File is not openned\n");
        return false;
    }
    if (size == 0) {
        return true;
    }
    const size_t writeSize = data != nullptr ? std::fwrite(data, 1, static_cast<size_t>(size), m_stream) : 0;
    if (writeSize != size) {
        LOG_MSG(LOG_ERROR, "[ZOLKFile::Write:%d] ", "Failed to write file - writeSize : %llu, requestSize : %llu\n",
                static_cast<unsigned long long>(writeSize), static_cast<unsigned long long>(size));
        return false;
    }
    return true;
}

// A full disk often shows only here, when the buffered bytes reach the file.
bool ZOLKFile::Flush()
{
    if (m_stream == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLKFile::Flush:%d] ", "File is not openned\n");
        return false;
    }
    if (std::fflush(m_stream) != 0) {
        LOG_MSG(LOG_ERROR, "[ZOLKFile::Flush:%d] ", "Failed to flush file - %s\n", m_name.c_str());
        return false;
    }
    return true;
}

bool ZOLKFile::SetOffset(int64_t offset, int origin)
{
    if (m_stream == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLKFile::SetOffset:%d] ", "File is not openned\n");
        return false;
    }
    if (!Seek64(m_stream, offset, origin)) {
        LOG_MSG(LOG_ERROR, "[ZOLKFile::SetOffset:%d] ", "Failed to set offset\n");
        return false;
    }
    return true;
}
