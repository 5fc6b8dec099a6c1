// Packets as a scripted target sends them: a packet from its words, and its
// bytes on the wire (through the codec, with the CRC word left as given).
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/packet.h"

inline ProtocolPacket Packet(uint32_t cmdType, uint32_t p0 = 0, uint32_t p1 = 0, uint32_t p2 = 0, uint32_t p3 = 0,
                             uint32_t p4 = 0)
{
    ProtocolPacket packet;
    packet.cmdType = cmdType;
    packet.param[0] = p0;
    packet.param[1] = p1;
    packet.param[2] = p2;
    packet.param[3] = p3;
    packet.param[4] = p4;
    return packet;
}

inline std::vector<uint8_t> Wire(const ProtocolPacket& packet, size_t size = kFwPacketSize)
{
    std::vector<uint8_t> out(size);
    EncodePacket(packet, out.data(), size);
    return out;
}
