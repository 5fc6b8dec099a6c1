// Boot protocol: 16-byte packets with the chip's boot ROM.
#pragma once

#include "protocol/zolk_protocol.h"

class ProtocolCB : public ZolkProtocol {
public:
    explicit ProtocolCB(CSerialPort* serial) : ZolkProtocol(serial, kCbPacketSize, "ProtocolCB") {}

    // Start handshake with the boot ROM: true once it answered.
    bool StartQEXZOLK();

private:
    // RECEIVE_HSM_CMD / RECEIVE_ZOLK_CMD: param[0] image size, param[1] image
    // CRC (the image is the file region of the run arguments: ullFileOffset
    // and ullSize, size 0 = to the end); param[2] is the packet CRC.
    bool FillCommand(uint32_t code, const ZOLKArgs* pZolkArgs, ProtocolPacket* pPacket) override;
    // The raw image bytes go in writes of at most 4 bytes.
    bool SendRegion(ZOLKFile& file, uint32_t total, ProgressBar::Transfer& progress, const char* tag) override;
};
