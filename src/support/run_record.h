// What one run did, kept for the machine-readable report: the steps in the
// order they ran, what each moved, and the port and chip they ran against.
//
// The run driver and the target operations open a step where it starts and
// end it where its result is known (RecordedStep); the transfer code adds to
// whichever step is open (bytes, chunk retries, the two CRCs of the final
// answer) without knowing which it is. Nothing here prints.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

enum class StepKind { kQuery, kBootLoad, kLowFormat, kWrite, kVerify, kDump };
enum class StepResult { kOk, kFailed, kStopped, kSkipped };

const char* StepKindName(StepKind kind);      // "query", "boot_load", ...
const char* StepResultName(StepResult result);  // "ok", "failed", "stopped", "skipped"

struct RunStep {
    StepKind kind = StepKind::kQuery;
    std::string storage;     // "eflash" or "snor"; empty when the step names no storage
    bool hasWindow = false;  // address and size below are known
    uint64_t address = 0;
    uint64_t size = 0;
    uint64_t bytesMoved = 0;  // bytes the other side took (write) or that arrived whole (dump)
    bool hasCrc = false;      // a final answer carried a CRC to compare
    uint32_t hostCrc = 0;
    uint32_t boardCrc = 0;
    uint32_t chunkRetries = 0;  // chunks sent or asked for again
    double seconds = 0;
    StepResult result = StepResult::kFailed;
};

// Chip numbers as their names read ("30230"): the board reports its number
// in hexadecimal digits (0x30230), a per-chip form enforces its own.
struct RunChip {
    bool known = false;    // the chip information was read
    std::string reported;  // as the board reported it
    std::string used;      // what the run used for the bank table
    bool expandFlash = false;
    bool ecc = false;
    bool dualBank = false;
};

class RunRecord {
public:
    static RunRecord& Get();

    // A new step, open until End. A step still open is ended as failed
    // first.
    void Begin(StepKind kind);
    void Begin(StepKind kind, const char* storage, uint64_t address, uint64_t size);
    // Ends the open step: ok, stopped (a stop was requested) or failed.
    // Returns ok.
    bool End(bool ok);
    // A step the run did not do because an earlier one failed.
    void Skip(StepKind kind, const char* storage, uint64_t address, uint64_t size);

    // Additions to the open step; without one they are dropped.
    void AddBytes(uint64_t bytes);
    void AddRetry();
    void SetCrcs(uint32_t hostCrc, uint32_t boardCrc);

    void SetChip(const RunChip& chip) { m_chip = chip; }
    const RunChip& Chip() const { return m_chip; }
    // The port as the user gave it (option value or typed text), the device
    // the run chose for it, and whether that opened.
    void SetPortGiven(const std::string& given) { m_portGiven = given; }
    void SetPortDevice(const std::string& device) { m_portDevice = device; }
    void SetPortOpened() { m_portOpened = true; }
    const std::string& PortGiven() const { return m_portGiven; }
    const std::string& PortDevice() const { return m_portDevice; }
    bool PortOpened() const { return m_portOpened; }

    const std::vector<RunStep>& Steps() const { return m_steps; }
    // Forgets everything (tests).
    void Clear();

private:
    RunRecord() = default;
    RunStep* Open();

    std::vector<RunStep> m_steps;
    bool m_open = false;
    std::chrono::steady_clock::time_point m_openedAt;
    RunChip m_chip;
    std::string m_portGiven;
    std::string m_portDevice;
    bool m_portOpened = false;
};

// A step for the span of a scope: ended as failed when the scope is left
// without End (an early return).
class RecordedStep {
public:
    explicit RecordedStep(StepKind kind) { RunRecord::Get().Begin(kind); }
    RecordedStep(StepKind kind, const char* storage, uint64_t address, uint64_t size)
    {
        RunRecord::Get().Begin(kind, storage, address, size);
    }
    ~RecordedStep()
    {
        if (!m_ended) {
            RunRecord::Get().End(false);
        }
    }
    RecordedStep(const RecordedStep&) = delete;
    RecordedStep& operator=(const RecordedStep&) = delete;

    // Ends the step; returns ok.
    bool End(bool ok)
    {
        m_ended = true;
        return RunRecord::Get().End(ok);
    }

private:
    bool m_ended = false;
};
