#include "protocol/packet.h"

#include "support/crc.h"

void PutLE32(uint8_t* out, uint32_t value)
{
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value >> 16);
    out[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetLE32(const uint8_t* in)
{
    return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
           (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

void EncodePacket(const ProtocolPacket& packet, uint8_t* out, size_t size)
{
    uint8_t wire[kPacketBufferSize];
    PutLE32(wire, packet.cmdType);
    for (int i = 0; i < 5; ++i) {
        PutLE32(wire + 4 + 4 * i, packet.param[i]);
    }
    for (size_t i = 0; i < size && i < kPacketBufferSize; ++i) {
        out[i] = wire[i];
    }
}

ProtocolPacket DecodePacket(const uint8_t* in, size_t size)
{
    uint8_t wire[kPacketBufferSize] = {};
    for (size_t i = 0; i < size && i < kPacketBufferSize; ++i) {
        wire[i] = in[i];
    }
    ProtocolPacket packet;
    packet.cmdType = GetLE32(wire);
    for (int i = 0; i < 5; ++i) {
        packet.param[i] = GetLE32(wire + 4 + 4 * i);
    }
    return packet;
}

uint32_t PacketCRC(const ProtocolPacket& packet, size_t size)
{
    uint8_t wire[kPacketBufferSize];
    EncodePacket(packet, wire, kPacketBufferSize);
    return CalcCRC(wire, size - 4, 0);
}
