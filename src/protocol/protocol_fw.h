// Firmware command protocol: 24-byte packets with the ZOLK firmware.
#pragma once

#include "protocol/zolk_protocol.h"
#include "support/byte_sink.h"

class ProtocolFW : public ZolkProtocol {
public:
    explicit ProtocolFW(CSerialPort* serial) : ZolkProtocol(serial, kFwPacketSize, "ProtocolFW") {}

    bool RecvData(void* pBuf, uint32_t size, uint32_t pollCount);
    // The data phase of a dump into pSink, then the final answer and its CRC.
    // pSink gets the chunks in order; a failure leaves in it what arrived.
    bool DumpProtocol(ByteSink* pSink, uint32_t cmd, uint32_t size);
    bool RecvDataAndCreateFile(ByteSink* pSink, uint32_t cmd, uint32_t size, uint32_t* pCRC);

private:
    // WRITE_CMD: param[0] storage type, param[1] size of the file region,
    // param[2] storage address, param[3] CRC of the region; READ_CMD: storage
    // type, size, address. param[4] is the packet CRC.
    bool FillCommand(uint32_t code, const ZOLKArgs* pZolkArgs, ProtocolPacket* pPacket) override;
    // The region goes in chunks behind headers with the running CRC; a chunk
    // refused for its CRC or damaged on the line goes again.
    bool SendRegion(ZOLKFile& file, uint32_t total, ProgressBar::Transfer& progress, const char* tag) override;
    // One more refusal of the chunk at byte at, counted in the run record;
    // false (with the message) once there were too many in a row.
    static bool CountRefusal(uint32_t* pRefusals, uint32_t at, const char* tag);
};
