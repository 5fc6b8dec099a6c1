// The simulated board's trace as the benchmarks read it: packets with their
// first two words, data blocks with their length, and the phases of a run
// found in them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TraceLine {
    double t = 0;
    bool rx = false;
    bool packet = false;
    uint32_t w0 = 0;
    uint32_t w1 = 0;
    uint64_t data = 0;
};

std::vector<TraceLine> ReadTrace(const std::string& path);

// Steady-state data phase of one firmware transfer: from the host's first
// chunk reply (write: the board's first CHUNK_ACK; dump: the host's first
// CHUNK_ACK) to the board's final ACK. Chunk 0 is left out: it waits behind
// the host's fixed pause before the data phase, which is counted apart.
struct Phase {
    double startMs = -1;
    double endMs = -1;
    double cmdMs = -1;  // the command packet arrived
    size_t chunks = 0;

    double Ms() const { return endMs - startMs; }
};

Phase FindPhase(const std::vector<TraceLine>& trace, uint32_t cmd, size_t chunks);

// Boot image: from the announcement (plus the host's fixed pauses) to the
// last image byte.
double BootImageMs(const std::vector<TraceLine>& trace, uint32_t cmd, uint64_t size);

// The write and the dump of one window of size bytes in a traced run at baud:
// their data phases and the share of the line their payload took (all
// chunks but the first).
struct LineEfficiency {
    Phase write;
    Phase dump;
    double writeShare = 0;
    double dumpShare = 0;
};
LineEfficiency MeasureLine(const std::vector<TraceLine>& trace, uint64_t size, double baud);
