#include "sim_storage.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// How far the banks of each chip reach into eflash and snor, over every
// configuration of expand flash, ECC and dual bank the host knows for it.
// The board has these numbers of its own: it is a board, and takes nothing
// from the host's tables.
struct ChipStorage {
    uint32_t chip;  // hexadecimal-digit form, as the board reports it
    uint64_t eflash;
    uint64_t snor;
};
constexpr ChipStorage kChipStorage[] = {
    {0x30110, 0x200000, 0},        {0x30140, 0x200000, 0},        {0x20230, 0x200000, 0x100000},
    {0x30230, 0x200000, 0x100000}, {0x20360, 0x200000, 0x200000}, {0x30360, 0x200000, 0x1BD000},
};
constexpr uint64_t kUnknownChipStorage = 2u * 1024u * 1024u;

}  // namespace

void DefaultStorageSizes(uint32_t chip, uint64_t* eflashSize, uint64_t* snorSize)
{
    *eflashSize = kUnknownChipStorage;
    *snorSize = kUnknownChipStorage;
    for (const ChipStorage& row : kChipStorage) {
        if (row.chip == chip) {
            *eflashSize = row.eflash;
            *snorSize = row.snor;
        }
    }
}

SimStorage::~SimStorage()
{
    Close();
}

void SimStorage::Close()
{
    if (m_mapSize != 0) {
        msync(m_data, m_mapSize, MS_SYNC);
        munmap(m_data, m_mapSize);
        m_mapSize = 0;
    }
    m_data = nullptr;
    m_size = 0;
    m_memory.clear();
}

bool SimStorage::Open(const std::string& path, uint64_t size, std::string* error)
{
    Close();
    if (path.empty()) {
        m_memory.assign(size, 0xFF);
        m_data = m_memory.empty() ? nullptr : m_memory.data();
        m_size = size;
        return true;
    }
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        *error = "cannot stat " + path + ": " + strerror(errno);
        close(fd);
        return false;
    }
    const uint64_t oldSize = static_cast<uint64_t>(st.st_size);
    if (oldSize < size && ftruncate(fd, static_cast<off_t>(size)) != 0) {
        *error = "cannot resize " + path + ": " + strerror(errno);
        close(fd);
        return false;
    }
    if (size != 0) {
        void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            *error = "cannot map " + path + ": " + strerror(errno);
            close(fd);
            return false;
        }
        m_data = static_cast<uint8_t*>(map);
        m_mapSize = size;
        // Flash that was never written reads as erased.
        if (oldSize < size) {
            memset(m_data + oldSize, 0xFF, size - oldSize);
        }
    }
    close(fd);
    m_size = size;
    return true;
}

void SimStorage::Erase()
{
    if (m_size != 0) {
        memset(m_data, 0xFF, m_size);
    }
}

void SimStorage::Flush()
{
    if (m_mapSize != 0) {
        msync(m_data, m_mapSize, MS_SYNC);
    }
}

void SimStorage::KeepWeakCellsErased(const std::vector<SimWeakCells>& weakCells, uint32_t storageCode,
                                     uint64_t address, uint64_t size)
{
    for (const SimWeakCells& weak : weakCells) {
        const uint64_t begin = std::max(weak.address, address);
        const uint64_t end = std::min({weak.address + weak.count, address + size, m_size});
        if (weak.storage == storageCode && begin < end) {
            memset(m_data + begin, 0xFF, end - begin);
        }
    }
}
