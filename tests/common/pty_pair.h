// A pseudo-terminal pair for tests: the test plays the target on the master
// side while the code under test opens the slave path like a serial device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class PtyPair {
public:
    // Creates the pair with the master in raw mode (no echo, no line
    // processing), so bytes cross unchanged once the slave is raw too.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }
    // The master descriptor is non-blocking; -1 after CloseMaster.
    int MasterFd() const { return m_master; }

    // Writes all bytes to the master side (the host reads them).
    void Write(const void* data, size_t size);
    void Write(const std::vector<uint8_t>& data) { Write(data.data(), data.size()); }
    // Reads exactly size bytes the host sent, waiting at most timeoutMs in
    // total; returns what arrived (fewer bytes on time-out or hang-up).
    std::vector<uint8_t> Read(size_t size, int timeoutMs = 5000);
    // Reads whatever arrives until the line stays quiet for quietMs.
    std::vector<uint8_t> ReadUntilQuiet(int quietMs = 100, int timeoutMs = 5000);
    // Closes the master: the host side sees a hang-up.
    void CloseMaster();

private:
    int m_master = -1;
    std::string m_slavePath;
};
