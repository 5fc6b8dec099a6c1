// The protocol interface through which the target operations drive either
// wire protocol: ProtocolFW (firmware, 24-byte packets) or ProtocolCB (boot
// ROM, 16-byte packets).
#pragma once

#include <cstdint>

#include "protocol/codes.h"
#include "protocol/packet.h"

class CSerialPort;
struct ZOLKArgs;

// How long a data phase waits for the target's next bytes before it gives up
// (a write or dump chunk header, chunk, chunk reply or final answer). The
// waits for a command's acknowledgement stay unlimited.
inline constexpr uint32_t kDefaultSilenceLimitMs = 10000;
// How often in a row one chunk may be refused for its CRC before the
// transfer fails.
inline constexpr uint32_t kMaxChunkRetries = 16;

class ZolkProtocol {
public:
    virtual bool SendCommand(const ProtocolPacket* pCmd) = 0;
    // Waits for one response (poll count as for CSerialPort::ReadDataTimeout)
    // into pRes (or an internal buffer) and checks it against the command.
    virtual bool RecvResPacket(uint32_t cmd, ProtocolPacket* pRes, uint32_t pollCount) = 0;
    virtual ProtocolPacket MakeCmdPacket(uint32_t code, const ZOLKArgs* pZolkArgs) = 0;
    virtual uint32_t GetPacketSize() = 0;
    // Sends the file region [offset, offset + size) (size 0: to the end).
    virtual bool SendFile(const char* pFileName, uint32_t offset, uint32_t size) = 0;
    virtual bool CheckResPacket(const ProtocolPacket* pRes, uint32_t cmd, const uint32_t* pCrc) = 0;
    virtual CSerialPort* GetSerial() = 0;

    // Sends the file region, then reads the final answer and checks it
    // against the CRC of that same region.
    bool SendFileAndRecvRes(const char* pFileName, uint32_t cmd, uint32_t offset, uint32_t size);
    // Writes the code's name into text (at least 32 bytes) and returns text.
    static char* DefineToString(uint32_t code, char* text);

    // Silence bound of the data phases, in ms (tests shorten it).
    static void SetSilenceLimitMs(uint32_t ms);
    static uint32_t GetSilenceLimitMs();

protected:
    ZolkProtocol() = default;
    ~ZolkProtocol() = default;

    // The bodies both protocols share. The tags name the calling class and
    // operation ("[ProtocolFW::SendCommand:%d] "); the packet size decides the
    // words sent, received and dumped.
    bool SendCommandAs(const ProtocolPacket* pCmd, const char* tag);
    bool RecvResPacketAs(uint32_t cmd, ProtocolPacket* pRes, uint32_t pollCount, const char* tag);
    // bFirmware: compare the expected CRC and refuse FW_PING silently.
    bool CheckResPacketAs(const ProtocolPacket* pRes, uint32_t cmd, const uint32_t* pCrc,
                          bool bFirmware, const char* tag, const char* dumpTag);
    void DumpPacketAs(int level, const ProtocolPacket* pPacket, const char* tag);

    // One read inside a data phase, bounded by the silence limit.
    enum class PhaseRead {
        kComplete,  // all bytes arrived
        kSilent,    // the target sent nothing for the silence limit
        kGone,      // the line is gone (hang-up, I/O error, port closed)
        kFailed,    // the port reported a failure (it printed why)
        kStopped,   // the run was asked to stop (nothing printed)
    };
    // With bRetryFailures a failed read that leaves the line usable is
    // repeated; otherwise it ends the read with kFailed.
    // pGot (may be null) receives the count that arrived.
    PhaseRead ReadInPhase(void* pBuf, uint32_t size, bool bRetryFailures, uint32_t* pGot = nullptr);
    // The line cannot carry anything any more.
    bool LineLost();
};

// Checks, before anything is sent, that the file opens and holds the whole
// region [offset, offset + size) (size 0: from offset to the end, which must
// then hold at least one byte). Prints a clear message and returns false
// otherwise.
bool CheckFileRegion(const char* pFileName, uint64_t offset, uint64_t size);
// The same, with the messages behind the caller's tag.
bool CheckFileRegion(const char* pFileName, uint64_t offset, uint64_t size, const char* tag);
