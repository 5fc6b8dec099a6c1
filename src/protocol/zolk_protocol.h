// The protocol base through which the target operations drive either wire
// protocol: ProtocolFW (firmware, 24-byte packets) or ProtocolCB (boot ROM,
// 16-byte packets).
#pragma once

#include <cstdint>
#include <string>

#include "protocol/codes.h"
#include "protocol/packet.h"
#include "support/progress_bar.h"

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

// The two protocols differ in their packet size (which also decides the
// words sent, received and dumped), in how a command packet is made and in
// how a file goes out; everything else is here, once. The target operations
// drive either protocol through the seven virtual operations below (in the
// order of the table of virtual operations); their shared bodies are here and
// each protocol supplies its command words and its data phase.
class ZolkProtocol {
public:
    ZolkProtocol(const ZolkProtocol&) = delete;
    ZolkProtocol& operator=(const ZolkProtocol&) = delete;

    virtual bool SendCommand(const ProtocolPacket* pCmd);
    // Waits for one response into pRes (or an internal buffer) and checks it
    // against the command. A poll count above 0 waits as
    // CSerialPort::ReadDataTimeout does (the firmware ping); 0 waits at most
    // AnswerBoundMs() of silence.
    virtual bool RecvResPacket(uint32_t cmd, ProtocolPacket* pRes, uint32_t pollCount);
    // The command packet of code, its last word the packet CRC; missing run
    // arguments are printed and leave the packet without its words.
    virtual ProtocolPacket MakeCmdPacket(uint32_t code, const ZOLKArgs* pZolkArgs);
    virtual uint32_t GetPacketSize() const { return m_packetSize; }
    // Sends the file region [offset, offset + size) (size 0: to the end),
    // with a progress bar.
    virtual bool SendFile(const char* pFileName, uint32_t offset, uint32_t size);
    // The firmware's answers also carry a CRC, compared with *pCrc when it is
    // given; a firmware that does not answer FW_PING is no error.
    virtual bool CheckResPacket(const ProtocolPacket* pRes, uint32_t cmd, const uint32_t* pCrc);
    void DumpPacket(int level, const ProtocolPacket* pPacket);
    virtual CSerialPort* GetSerial() const { return m_serial; }

    // Sends the file region, then reads the final answer and checks it
    // against the CRC of that same region.
    bool SendFileAndRecvRes(const char* pFileName, uint32_t cmd, uint32_t offset, uint32_t size);
    // The same for a file the caller has open and whose region it checked
    // (CheckFileRegion) before the command announced it.
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
    // className names the protocol in the message tags ("ProtocolFW").
    ZolkProtocol(CSerialPort* serial, uint32_t packetSize, const char* className)
        : m_serial(serial), m_packetSize(packetSize), m_className(className)
    {
    }
    ~ZolkProtocol() = default;

    // The words of code's command packet before its CRC; false (printed)
    // when the run arguments it needs are missing.
    virtual bool FillCommand(uint32_t code, const ZOLKArgs* pZolkArgs, ProtocolPacket* pPacket) = 0;
    // The data phase of SendFile: total bytes of the file, which stands at
    // the region's start; progress counts them.
    virtual bool SendRegion(ZOLKFile& file, uint32_t total, ProgressBar::Transfer& progress, const char* tag) = 0;

    // SendFile's work on an open file whose region was checked.
    bool SendOpenFile(ZOLKFile& file, uint32_t offset, uint32_t size);

    // The next size bytes of the file SendRegion sends; null when the file
    // ended early (it shrank since its region was checked: the read says so).
    static const uint8_t* ReadPiece(ZOLKFile& file, uint32_t size);

    // The tag of a method of the protocol: "[ProtocolFW::SendFile:%d] ".
    std::string Tag(const char* method) const;
    bool IsFirmware() const { return m_packetSize == kFwPacketSize; }

    // The run arguments of a command that names a file (the write file or
    // the read file); prints which is missing behind tag.
    static bool HasArgsFile(const ZOLKArgs* pZolkArgs, bool writeFile, const char* tag);
    // The image or write region of the run arguments: its size (ullSize, or
    // from ullFileOffset to the end of the write file) and the CRC of exactly
    // those bytes (0 for an empty region).
    struct Region {
        uint32_t size = 0;
        uint32_t crc = 0;
    };
    static Region RegionOfArgs(const ZOLKArgs& zolkArgs);

    // How one read of the board's answer, bounded by boundMs of silence,
    // ended.
    enum class PhaseRead {
        kComplete,  // all bytes arrived
        kSilent,    // the board sent nothing for the bound
        kGone,      // the line is gone (hang-up, I/O error, port closed)
        kDamaged,   // a line error damaged the bytes; the line still works
        kStopped,   // a stop was requested (print nothing)
        kFailed,    // the port failed for good (it printed why)
    };
    // The words of the messages that end a phase read: "No <what> for 10 s -
    // the board stopped answering" and "Serial line is gone - waiting for the
    // <what>".
    struct PhaseWords {
        const char* what;
        // A damaged read ends the exchange: "Damaged <what> - a line error
        // (...)". Otherwise the caller asks for the bytes again, silently.
        bool damageEnds = false;
        // The silence message says how many of the bytes came.
        bool countCame = false;
        // Not 0: the silence message names the header (fewer bytes than
        // this came) or the data of <what>.
        uint32_t headerSize = 0;
    };
    // One read of the board's answer, bounded by boundMs of silence. Prints
    // what ended it behind tag; damaged input has been dropped. pGot (may be
    // null) receives the count that arrived.
    PhaseRead ReadPhase(void* pBuf, uint32_t size, uint64_t boundMs, const PhaseWords& words, const char* tag,
                        uint32_t* pGot = nullptr);
    // Prints why a write to the board failed, behind tag: nothing after a
    // stop, "Serial line is gone - <doing>" for a line that is gone, "Serial
    // port failed - <doing>" for a port that failed for good, and shortText
    // for a write that did not take all the bytes. Both texts are formats of
    // the byte the transfer stood at and its total ("... at byte %u of %u").
    void ReportWriteFailure(const char* tag, const char* doing, const char* shortText, uint32_t at, uint32_t total);
    // The answer that ends a transfer, within the answer bound, checked
    // against the command and the CRC of the bytes moved.
    bool RecvFinalAnswer(uint32_t cmd, const char* what, const char* tag, uint32_t crc);
    // Decodes the received answer into pRes and checks it against cmd.
    bool TakeAnswer(const uint8_t* wire, uint32_t cmd, ProtocolPacket* pRes);
    // Prints "No <what> for <bound> - the board stopped answering<detail>".
    static void ReportSilence(const char* tag, const char* what, uint64_t boundMs, const char* detail = "");
    // The line cannot carry anything any more (gone, failing for good, or a
    // stop was requested).
    bool LineLost() const;

private:
    // RecvResPacket and RecvAnswer: a poll count above 0 waits as
    // ReadDataTimeout does, 0 at most boundMs of silence.
    bool ReceiveAnswer(uint32_t cmd, ProtocolPacket* pRes, uint64_t boundMs, uint32_t pollCount, const char* what);
    PhaseRead ReadInPhase(void* pBuf, uint32_t size, uint64_t boundMs, uint32_t* pGot);
    void ReportPhase(PhaseRead r, const PhaseWords& words, const char* tag, uint64_t boundMs, uint32_t got,
                     uint32_t size);
    // Takes in and drops what is left of damaged input, so that the next
    // answer is read from its start.
    void SkipDamagedInput();

    CSerialPort* m_serial;
    uint32_t m_packetSize;
    const char* m_className;
    bool m_wentSilent = false;
};

// Checks, before anything is sent, that the open file holds the whole region
// [offset, offset + size) (size 0: from offset to the end, which must then
// hold at least one byte) and that it fits the 32-bit words of the wire.
// Prints a clear message behind tag and returns false otherwise.
bool CheckFileRegion(const ZOLKFile& file, uint64_t offset, uint64_t size, const char* tag);
// The same for a named file, opened into file (which must be closed) first.
bool CheckFileRegion(const char* pFileName, uint64_t offset, uint64_t size, const char* tag, ZOLKFile& file);
