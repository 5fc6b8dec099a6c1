// The one way the program touches host files: a stream with its 64-bit size
// measured at open and one owned read buffer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class ZOLKFile {
public:
    static constexpr uint32_t kDefaultBufferSize = 131072;

    ZOLKFile();
    // Opens at once, as Open with a 131072-byte buffer; a null name only
    // leaves the object empty.
    ZOLKFile(const char* pFileName, const char* mode);
    ~ZOLKFile();
    ZOLKFile(const ZOLKFile&) = delete;
    ZOLKFile& operator=(const ZOLKFile&) = delete;

    bool Open(const char* pFileName, const char* mode, uint32_t bufferSize = kDefaultBufferSize);
    // Reads up to size bytes into the object's buffer; returns the buffer or
    // null when not open. A short read is reported but still returns the buffer.
    uint8_t* Read(uint64_t size, uint64_t* pReadSize = nullptr);
    // Writes all size bytes; false (with a message) on a failed or short write.
    bool Write(const void* data, uint64_t size);
    bool SetOffset(int64_t offset, int origin);
    uint64_t GetSize() const { return m_size; }
    bool IsOpen() const { return m_stream != nullptr; }
    // The name given to Open (empty before).
    const std::string& GetName() const { return m_name; }
    // Flushes buffered output to the file; false (with a message) on failure.
    bool Flush();

private:
    FILE* m_stream = nullptr;
    std::unique_ptr<uint8_t[]> m_buffer;
    uint32_t m_bufferSize = 0;
    std::string m_name;
    uint64_t m_size = 0;
};
