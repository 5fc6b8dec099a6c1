// Reproducible test data: bytes that differ from chunk to chunk and from the
// erased value (0xFF runs), so that a misplaced, repeated or lost chunk shows
// in a comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The byte sequence of a 32-bit linear congruential generator that starts
// in state: each byte is bits 16..23 of the next state (the low bits of such
// a generator repeat too soon to be data).
inline std::vector<uint8_t> LcgBytes(size_t size, uint32_t state)
{
    std::vector<uint8_t> out(size);
    for (uint8_t& b : out) {
        state = state * 1103515245u + 12345u;
        b = static_cast<uint8_t>(state >> 16);
    }
    return out;
}

// As LcgBytes, from a start spread over the generator's states, so that
// neighbouring seeds (1, 2, 3 for the files of one test) give sequences that
// share no run.
inline std::vector<uint8_t> Pattern(size_t size, uint32_t seed)
{
    return LcgBytes(size, seed * 2654435761u + 12345u);
}
