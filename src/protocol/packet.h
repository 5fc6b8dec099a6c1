// ProtocolPacket: six little-endian u32 words. The wire form is encoded and
// decoded here and nowhere else; structs are never copied to the wire.
#pragma once

#include <cstddef>
#include <cstdint>

struct ProtocolPacket {
    uint32_t cmdType = 0;
    uint32_t param[5] = {0, 0, 0, 0, 0};
};

inline constexpr uint32_t kPacketBufferSize = 24;  // every packet buffer
inline constexpr uint32_t kFwPacketSize = 24;      // firmware protocol
inline constexpr uint32_t kCbPacketSize = 16;      // boot protocol

// Writes the first `size` bytes (16 or 24) of the packet's wire form.
void EncodePacket(const ProtocolPacket& packet, uint8_t* out, size_t size = kPacketBufferSize);
// Reads a packet from `size` bytes (16 or 24); missing words are zero.
ProtocolPacket DecodePacket(const uint8_t* in, size_t size = kPacketBufferSize);

void PutLE32(uint8_t* out, uint32_t value);
uint32_t GetLE32(const uint8_t* in);

// CRC of the packet's wire bytes before its last transmitted word (12 bytes
// for 16-byte packets, 20 for 24-byte ones).
uint32_t PacketCRC(const ProtocolPacket& packet, size_t size);
