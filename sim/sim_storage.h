// The simulated board's flash: eflash and snor, each in memory or in a file
// mapped into memory, the sizes a chip has by default, and the worn cells
// that never take a write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Bytes of one storage that never take a write: they keep the erased value
// (0xFF), as worn-out flash cells do.
struct SimWeakCells {
    uint32_t storage = 0;  // STORAGE_EFLASH or STORAGE_SNOR
    uint64_t address = 0;
    uint64_t count = 0;
};

// Storage sizes of a chip (hexadecimal-digit number, as the board reports
// it): how far the banks of the chip reach into eflash and snor in any of its
// configurations; 2 MiB each for a chip the board has no sizes for.
void DefaultStorageSizes(uint32_t chip, uint64_t* eflashSize, uint64_t* snorSize);

// One storage: in memory, or a file mapped into memory so that every change
// is on disk as soon as it is made.
class SimStorage {
public:
    SimStorage() = default;
    ~SimStorage();
    SimStorage(const SimStorage&) = delete;
    SimStorage& operator=(const SimStorage&) = delete;

    // path empty: in memory. A missing file is created filled with 0xFF; a
    // shorter one is extended with 0xFF; a longer one keeps its extra bytes.
    bool Open(const std::string& path, uint64_t size, std::string* error);
    uint64_t Size() const { return m_size; }
    uint8_t* Data() { return m_data; }
    const uint8_t* Data() const { return m_data; }
    void Erase();  // every byte to 0xFF
    void Flush();  // pushes a mapped file's pages to disk
    // Puts the erased value back into the weak cells of this storage (code
    // storageCode) that lie in the window just written.
    void KeepWeakCellsErased(const std::vector<SimWeakCells>& weakCells, uint32_t storageCode, uint64_t address,
                             uint64_t size);

private:
    void Close();
    std::vector<uint8_t> m_memory;
    uint8_t* m_data = nullptr;
    uint64_t m_size = 0;
    uint64_t m_mapSize = 0;  // non-zero while a file is mapped
};
