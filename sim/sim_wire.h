// How the simulated board cuts a transfer on the wire, for the board and for
// the programs that measure it or place faults in it by byte count (the
// benchmarks, the fault campaign): the chunk of the data phases and the
// number of chunks of a window. The packet sizes are the codec's
// (kFwPacketSize, kCbPacketSize in protocol/packet.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/codes.h"
#include "protocol/packet.h"

// Bytes of data in every chunk of a write or dump but the last: the
// protocol's chunk.
inline constexpr size_t kSimChunkSize = kChunkSize;

inline constexpr size_t SimChunkCount(uint64_t size)
{
    return static_cast<size_t>((size + kSimChunkSize - 1) / kSimChunkSize);
}

// Share of the line a data phase can carry at best: each chunk costs its
// header and the reply to it besides its data.
inline constexpr double kSimLineCeiling =
    static_cast<double>(kSimChunkSize) / static_cast<double>(kSimChunkSize + 2 * kFwPacketSize);
