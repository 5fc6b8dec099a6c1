// Firmware command protocol: 24-byte packets with the ZOLK firmware.
#pragma once

#include "protocol/zolk_protocol.h"
#include "support/byte_sink.h"

class ProtocolFW : public ZolkProtocol {
public:
    explicit ProtocolFW(CSerialPort* serial) : m_serial(serial), m_packetSize(kFwPacketSize) {}

    bool SendCommand(const ProtocolPacket* pCmd) override;
    bool RecvResPacket(uint32_t cmd, ProtocolPacket* pRes, uint32_t pollCount) override;
    // WRITE_CMD: param[0] storage type, param[1] size of the file region,
    // param[2] storage address, param[3] CRC of the region; READ_CMD: storage
    // type, size, address. param[4] is the packet CRC.
    ProtocolPacket MakeCmdPacket(uint32_t code, const ZOLKArgs* pZolkArgs) override;
    uint32_t GetPacketSize() override { return m_packetSize; }
    bool SendFile(ZOLKFile& file, uint32_t offset, uint32_t size) override;
    bool CheckResPacket(const ProtocolPacket* pRes, uint32_t cmd, const uint32_t* pCrc) override;
    CSerialPort* GetSerial() override { return m_serial; }

    bool RecvData(void* pBuf, uint32_t size, uint32_t pollCount);
    // The data phase of a dump into pSink, then the final answer and its CRC.
    // pSink gets the chunks in order; a failure leaves in it what arrived.
    bool DumpProtocol(ByteSink* pSink, uint32_t cmd, uint32_t size);
    bool RecvDataAndCreateFile(ByteSink* pSink, uint32_t cmd, uint32_t size, uint32_t* pCRC);
    void DumpPacket(int level, const ProtocolPacket* pPacket);

private:
    const char* SendFileTag() const override;

    CSerialPort* m_serial;
    uint32_t m_packetSize;
};
