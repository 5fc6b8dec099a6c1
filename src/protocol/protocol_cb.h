// Boot protocol: 16-byte packets with the chip's boot ROM.
#pragma once

#include "protocol/zolk_protocol.h"

class ProtocolCB : public ZolkProtocol {
public:
    explicit ProtocolCB(CSerialPort* serial) : m_serial(serial), m_packetSize(kCbPacketSize) {}

    bool SendCommand(const ProtocolPacket* pCmd) override;
    bool RecvResPacket(uint32_t cmd, ProtocolPacket* pRes, uint32_t pollCount) override;
    // RECEIVE_HSM_CMD / RECEIVE_ZOLK_CMD: param[0] image size, param[1] image
    // CRC (the image is the file region of the run arguments: ullFileOffset
    // and ullSize, size 0 = to the end); param[2] is the packet CRC.
    ProtocolPacket MakeCmdPacket(uint32_t code, const ZOLKArgs* pZolkArgs) override;
    uint32_t GetPacketSize() override { return m_packetSize; }
    // Streams the raw image bytes in writes of at most 4 bytes.
    bool SendFile(ZOLKFile& file, uint32_t offset, uint32_t size) override;
    bool CheckResPacket(const ProtocolPacket* pRes, uint32_t cmd, const uint32_t* pCrc) override;
    CSerialPort* GetSerial() override { return m_serial; }

    // Start handshake with the boot ROM: true once it answered.
    bool StartQEXZOLK();
    void DumpPacket(int level, const ProtocolPacket* pPacket);

private:
    const char* SendFileTag() const override;

    CSerialPort* m_serial;
    uint32_t m_packetSize;
};
