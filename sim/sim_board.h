// The simulated QEX board: boot ROM and ZOLK firmware as one state machine.
// Its parts live in a file each: the input, the output and the faults that
// fire at a byte count or a time (sim_board.cpp), the boot ROM
// (sim_boot_rom.cpp), the firmware commands and their chunk loops
// (sim_firmware.cpp); the flash is sim_storage.h, the trace sim_trace.h.
//
// The board is fed with the bytes that arrive on its serial line, each batch
// tagged with the line speed in force, and produces the bytes it sends back,
// each batch tagged with the speed the board sends at. It holds the storage
// (eflash and snor), the mode (boot ROM or firmware) and the faults it was
// told to play. It knows nothing of terminals: SimServer (sim_server.h) moves
// the bytes between it and a pseudo-terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/packet.h"
#include "sim_storage.h"
#include "sim_trace.h"
#include "sim_wire.h"

// Faults the board plays on demand. A value of -1 (or false) turns one off.
// Chunk numbers count from 0 within each transfer.
struct SimFaults {
    int64_t refuseStart = 0;        // refuse (NACK) the first K start packets
    int64_t nackChunk = -1;         // NACK write chunk K for its CRC, once
    int64_t rejectChunk = -1;       // NACK write chunk K with INVALID_CMD (ends the write)
    int64_t corruptDumpChunk = -1;  // flip a byte of dump chunk K on the wire, once
    bool badFinalCrc = false;       // wrong CRC in the final ACK of every write and dump
    int64_t silentAfter = -1;       // stop answering after N bytes received in total
    int64_t hangupAfter = -1;       // close the line after N bytes received in total
    int64_t resetAfter = -1;        // fall back to the boot ROM after N bytes received, once
    bool refuseImage = false;       // NACK every boot image as if its CRC were wrong
    bool nackFormat = false;        // NACK as the second answer to LOW_FORMAT_CMD
    uint32_t silentOn = 0;          // stop answering on receiving this command (0: off)
    uint32_t silentAfterAck = 0;    // stop answering right after acknowledging this command (0: off)
    uint32_t refuseCommand = 0;     // NACK this firmware command with INVALID_CMD every time (0: off)
    std::vector<SimWeakCells> weakCells;  // bytes a write does not change from erased
};

// The code of a command or boot announcement by its name ("WRITE_CMD",
// "RECEIVE_HSM_CMD", ...); 0 for a name that is none.
uint32_t SimCommandCode(const std::string& name);

struct SimConfig {
    uint32_t chip = 0x30230;  // reported chip number, hexadecimal-digit form
    bool expandFlash = false;
    bool ecc = false;
    bool dualBank = false;
    uint64_t eflashSize = 0;  // 0: the chip's default (DefaultStorageSizes)
    uint64_t snorSize = 0;
    bool perChipForm = false;  // speeds of the per-chip forms (115200 / 921600)
    bool anySpeed = false;     // accept and send at any line speed
    bool firmwareRunning = false;
    uint32_t formatMs = 300;  // duration of a low format
    std::string storageDir;   // empty: storage in memory
    SimFaults faults;

    uint32_t BootRomBaud() const { return perChipForm ? 115200u : 57600u; }
    uint32_t FirmwareBaud() const { return perChipForm ? 921600u : 460800u; }
};

class SimBoard {
public:
    enum class Mode { BootRom, Firmware };

    // Bytes the board sends, at the speed it sends them.
    struct Output {
        uint32_t baud;
        std::vector<uint8_t> bytes;
    };

    explicit SimBoard(const SimConfig& config, SimTrace& trace = SimTrace::None());
    // Opens the storage (files in the storage directory, or memory).
    bool Init(std::string* error);

    // Bytes received at the given line speed, at time nowMs (any monotonic
    // millisecond clock).
    void Receive(const uint8_t* data, size_t size, uint32_t baud, uint64_t nowMs);
    // Lets timed work (a low format) finish; call at NextEventMs or later.
    void Tick(uint64_t nowMs);
    // Time of the next timed event, or UINT64_MAX.
    uint64_t NextEventMs() const;
    // The host closed the line: partial packets and data phases are dropped;
    // mode and storage stay, as on a board whose cable was pulled.
    void HostClosed();

    std::vector<Output> TakeOutput();
    bool HangupRequested() const { return m_hangup; }

    Mode GetMode() const { return m_mode; }
    uint32_t ListenBaud() const;
    SimStorage& Eflash() { return m_eflash; }
    SimStorage& Snor() { return m_snor; }
    const SimConfig& Config() const { return m_config; }
    uint64_t BytesReceived() const { return m_rxTotal; }
    std::string StorageText() const;
    std::string StartupText() const;

    static constexpr size_t kChunkSize = kSimChunkSize;

private:
    enum class State {
        BootHunt,       // boot ROM: waiting for the start packet
        BootCommand,    // boot ROM: started, waiting for an announcement
        BootImage,      // boot ROM: taking image bytes
        FwCommand,      // firmware: waiting for a command packet
        FwFormatting,   // firmware: erasing, input waits
        FwWriteData,    // firmware: waiting for a chunk header and chunk
        FwReadReply,    // firmware: waiting for the host's chunk reply
    };

    void ProcessInput(uint64_t nowMs);
    bool StepBoot();
    bool StepFirmware(uint64_t nowMs);
    void HandleBootPacket(const ProtocolPacket& packet);
    void HandleFwCommand(const ProtocolPacket& packet, uint64_t nowMs);
    void HandleWriteChunk();
    void HandleReadReply(const ProtocolPacket& packet, uint64_t nowMs);
    void SendReadChunk();
    void EnterFirmware();
    void ResetToBootRom();
    // The board falls silent from here on (a fault), once.
    void FallSilent(const char* why);
    // True when the command is the one the board falls silent on.
    bool SilentOn(uint32_t code);

    void SendPacket(const ProtocolPacket& packet, size_t size, uint32_t baud);
    void SendBytes(const uint8_t* data, size_t size, uint32_t baud, bool isData);
    void Reply(uint32_t type, uint32_t p0, uint32_t p1);  // firmware, 24 bytes
    void BootReply(uint32_t type, uint32_t p0, uint32_t p1 = 0);
    // An answer of either protocol, its CRC in the word after the parameters.
    void Answer(uint32_t type, uint32_t p0, uint32_t p1, size_t size, uint32_t baud);
    SimStorage* StorageFor(uint32_t code);
    // Drops the bytes received and not yet taken.
    void DropInput();
    // The firmware goes back to taking commands.
    void EndTransfer();

    SimConfig m_config;
    SimTrace& m_trace;
    SimStorage m_eflash;
    SimStorage m_snor;

    Mode m_mode = Mode::BootRom;
    State m_state = State::BootHunt;
    std::vector<uint8_t> m_in;  // received, not yet consumed
    size_t m_inPos = 0;
    std::vector<Output> m_out;

    uint64_t m_rxTotal = 0;
    uint64_t m_lastRxMs = 0;
    uint32_t m_rxBaud = 0;  // line speed of the bytes being processed, for the trace
    bool m_silent = false;
    bool m_hangup = false;
    bool m_resetDone = false;
    int64_t m_startsRefused = 0;
    bool m_nackChunkDone = false;
    bool m_corruptDone = false;

    // Boot ROM
    bool m_hsmLoaded = false;
    uint32_t m_imageCode = 0;
    uint32_t m_imageSize = 0;
    uint32_t m_imageCrcExpected = 0;
    uint32_t m_imageReceived = 0;
    uint32_t m_imageCrc = 0;

    // Firmware data phases
    uint64_t m_formatDoneMs = UINT64_MAX;
    SimStorage* m_xferStorage = nullptr;
    uint32_t m_xferStorageCode = 0;
    uint32_t m_xferAddr = 0;
    uint32_t m_xferSize = 0;
    uint32_t m_xferDone = 0;   // bytes acknowledged
    uint32_t m_xferCrc = 0;    // running CRC of acknowledged bytes
    uint32_t m_chunkIndex = 0;
};
