// The protocol interface through which the target operations drive either
// wire protocol: ProtocolFW (firmware, 24-byte packets) or ProtocolCB (boot
// ROM, 16-byte packets).
#pragma once

#include <cstdint>

#include "protocol/codes.h"
#include "protocol/packet.h"

class CSerialPort;
class ZOLKFile;
struct ZOLKArgs;

// How long the board may stay silent where it answers at once (a command's
// acknowledgement, the query data, chunk replies and headers, final answers,
// the boot ROM's answers), before the run gives up on it.
inline constexpr uint32_t kDefaultSilenceLimitMs = 10000;
// The acknowledgement of WRITE_CMD and READ_CMD may come only after the board
// has erased or read the window: this many silence limits more per MiB of it
// (30 s per MiB at the default limit), as flashing tools bound their erases.
inline constexpr uint32_t kEraseLimitsPerMiB = 3;
// How often in a row one chunk may be refused for its CRC before the
// transfer fails.
inline constexpr uint32_t kMaxChunkRetries = 16;
// Damaged input is dropped until the line has been quiet this long.
inline constexpr uint64_t kLineErrorSkipQuietMs = 100;

class ZolkProtocol {
public:
    virtual bool SendCommand(const ProtocolPacket* pCmd) = 0;
    // Waits for one response into pRes (or an internal buffer) and checks it
    // against the command. A poll count above 0 waits as
    // CSerialPort::ReadDataTimeout does (the firmware ping); 0 waits at most
    // AnswerBoundMs() of silence.
    virtual bool RecvResPacket(uint32_t cmd, ProtocolPacket* pRes, uint32_t pollCount) = 0;
    virtual ProtocolPacket MakeCmdPacket(uint32_t code, const ZOLKArgs* pZolkArgs) = 0;
    virtual uint32_t GetPacketSize() = 0;
    // Sends the region [offset, offset + size) (size 0: to the end) of an
    // open file whose region was checked (CheckFileRegion).
    virtual bool SendFile(ZOLKFile& file, uint32_t offset, uint32_t size) = 0;
    virtual bool CheckResPacket(const ProtocolPacket* pRes, uint32_t cmd, const uint32_t* pCrc) = 0;
    virtual CSerialPort* GetSerial() = 0;

    // Sends the file region, then reads the final answer and checks it
    // against the CRC of that same region. The named file is opened and its
    // region checked first; an open file is used as it is (its region was
    // checked before the command announced it).
    bool SendFileAndRecvRes(const char* pFileName, uint32_t cmd, uint32_t offset, uint32_t size);
    bool SendFileAndRecvRes(ZOLKFile& file, uint32_t cmd, uint32_t offset, uint32_t size);
    // Writes the code's name into text (at least 32 bytes) and returns text.
    static char* DefineToString(uint32_t code, char* text);

    // Reads size bytes of the board's answer unless the board stays silent
    // for boundMs (kWaitWithoutBound: until they come, the line is gone or a
    // stop is requested). A failure is printed behind tag: "No <what> for
    // 10 s - the board stopped answering", a line that is gone, damaged
    // bytes; a stop prints nothing. *pGot (may be null) gets the count.
    bool RecvWithin(void* pBuf, uint32_t size, uint64_t boundMs, const char* what, const char* tag,
                    uint32_t* pGot = nullptr);
    // One response within boundMs of silence, checked against the command;
    // what names it in the message of a passed bound (null: "answer to
    // <command>").
    bool RecvAnswer(uint32_t cmd, ProtocolPacket* pRes, uint64_t boundMs, const char* what = nullptr);
    // The last wait of this object ended because the board stayed silent.
    bool WentSilent() const { return m_wentSilent; }

    // The silence limit in ms, before the scale (tests shorten it).
    static void SetSilenceLimitMs(uint32_t ms);
    static uint32_t GetSilenceLimitMs();
    // --timeout-scale: every bound of a wait is multiplied by it (at least 1).
    static void SetTimeoutScale(uint32_t scale);
    static uint32_t GetTimeoutScale();
    // The bound of the answers the board gives at once: the silence limit
    // times the scale.
    static uint64_t AnswerBoundMs();
    // The bound of the acknowledgement of WRITE_CMD or READ_CMD for a window
    // of windowBytes: 10 s plus 30 s per MiB (rounded up), times the scale.
    static uint64_t EraseAnswerBoundMs(uint64_t windowBytes);
    // "10 s", or "300 ms" for a bound that is no whole number of seconds.
    static const char* BoundText(uint64_t boundMs, char* text, uint32_t textSize);

protected:
    ZolkProtocol() = default;
    ~ZolkProtocol() = default;

    // The tag of the messages of SendFile ("[ProtocolFW::SendFile:%d] ").
    virtual const char* SendFileTag() const = 0;
    // The write file of a command packet: the one the operation has open
    // (pZolkArgs->pWriteFile), or else the named file opened into opened.
    static ZOLKFile& WriteFileOf(const ZOLKArgs* pZolkArgs, ZOLKFile& opened);

    // The bodies both protocols share. The tags name the calling class and
    // operation ("[ProtocolFW::SendCommand:%d] "); the packet size decides the
    // words sent, received and dumped.
    bool SendCommandAs(const ProtocolPacket* pCmd, const char* tag);
    bool RecvResPacketAs(uint32_t cmd, ProtocolPacket* pRes, uint32_t pollCount, const char* tag);
    // bFirmware: compare the expected CRC and refuse FW_PING silently.
    bool CheckResPacketAs(const ProtocolPacket* pRes, uint32_t cmd, const uint32_t* pCrc,
                          bool bFirmware, const char* tag, const char* dumpTag);
    void DumpPacketAs(int level, const ProtocolPacket* pPacket, const char* tag);

    // One read of the board's answer, bounded by boundMs of silence.
    enum class PhaseRead {
        kComplete,  // all bytes arrived
        kSilent,    // the board sent nothing for the bound
        kGone,      // the line is gone (hang-up, I/O error, port closed)
        kDamaged,   // a line error damaged the bytes; the line still works
        kStopped,   // a stop was requested (print nothing)
        kFailed,    // the port failed for good (it printed why)
    };
    // pGot (may be null) receives the count that arrived.
    PhaseRead ReadInPhase(void* pBuf, uint32_t size, uint64_t boundMs, uint32_t* pGot = nullptr);
    // Decodes the received answer into pRes and checks it against cmd.
    bool TakeAnswer(const uint8_t* wire, uint32_t cmd, ProtocolPacket* pRes);
    // Takes in and drops what is left of damaged input, so that the next
    // answer is read from its start.
    void SkipDamagedInput();
    // Prints "No <what> for <bound> - the board stopped answering<detail>".
    static void ReportSilence(const char* tag, const char* what, uint64_t boundMs, const char* detail = "");
    // The line cannot carry anything any more (gone, failing for good, or a
    // stop was requested).
    bool LineLost();

private:
    bool m_wentSilent = false;
};

// Checks, before anything is sent, that the open file holds the whole region
// [offset, offset + size) (size 0: from offset to the end, which must then
// hold at least one byte) and that it fits the 32-bit words of the wire.
// Prints a clear message behind tag and returns false otherwise.
bool CheckFileRegion(const ZOLKFile& file, uint64_t offset, uint64_t size, const char* tag);
// The same for a named file, opened into file (which must be closed) first.
bool CheckFileRegion(const char* pFileName, uint64_t offset, uint64_t size, const char* tag, ZOLKFile& file);
