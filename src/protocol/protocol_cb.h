// Boot protocol: 16-byte packets with the chip's boot ROM.
#pragma once

#include "protocol/zolk_protocol.h"

class ProtocolCB : public ZolkProtocol {
public:
    explicit ProtocolCB(CSerialPort* serial) : ZolkProtocol(serial, kCbPacketSize, "ProtocolCB") {}

    // RECEIVE_HSM_CMD / RECEIVE_ZOLK_CMD: param[0] image size, param[1] image
    // CRC (the image is the file region of the run arguments: ullFileOffset
    // and ullSize, size 0 = to the end); param[2] is the packet CRC.
    ProtocolPacket MakeCmdPacket(uint32_t code, const ZOLKArgs* pZolkArgs) override;
    // Streams the raw image bytes in writes of at most 4 bytes.
    bool SendFile(const char* pFileName, uint32_t offset, uint32_t size) override;

    // Start handshake with the boot ROM: true once it answered.
    bool StartQEXZOLK();
};
