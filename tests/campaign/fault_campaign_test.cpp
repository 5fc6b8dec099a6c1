// Seeded random fault campaign: whole runs of zolk_qex against qex_sim, each
// with one fault of the simulated board at a random point, several runs side
// by side. Every run must end in time, without a sanitizer report, with the
// process result its verdict calls for, and with the board's storage and any
// dump file matching a model of what the run did.
//
// ZOLK_CAMPAIGN_SEED replays a campaign (the seed is printed), ZOLK_CAMPAIGN_RUNS
// and ZOLK_CAMPAIGN_JOBS change its size and the number of runs side by side.
//
// One file: the planner (which fault at which byte of a run), the model of
// what a run must leave behind and the runner that holds one against the
// other are one campaign; the byte layouts the planner places faults in and
// the transfers the model replays are read side by side.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/file_data.h"
#include "common/sim_process.h"
#include "common/temp_dir.h"
#include "protocol/packet.h"
#include "sim_wire.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kDefaultSeed = 20261210;
constexpr int kDefaultRuns = 200;
constexpr int kDefaultJobs = 8;
// A run with one silence of the host's 10 s bound, a round of the start
// handshake and a boot load stays far below this; only a hang reaches it.
constexpr int kRunLimitMs = 90000;

constexpr size_t kEflashSize = 0x200000;  // chip 0x30230 with expand flash and ECC
constexpr size_t kSnorSize = 0x100000;
constexpr size_t kBankDumpAddr = 0x100000;  // dual bank: bank 1 is the upper eflash MiB
constexpr size_t kBankDumpSize = 0x100000;
constexpr size_t kPacket = kFwPacketSize;
constexpr size_t kBootPacket = kCbPacketSize;
constexpr size_t kHsmFileSize = 0x12000;
constexpr size_t kHsmImageSize = 0x10000;
constexpr size_t kZolkSize = 8192;
constexpr size_t kSector = 512;
// The board has received LOW_FORMAT_CMD whole after the ping, the storage and
// the chip information commands.
constexpr size_t kFormatEnd = 4 * kPacket;

enum class Outcome { kComplete, kFailed, kEarlyEnd, kAnyFailure, kHang, kCrash };

const char* OutcomeName(Outcome o)
{
    switch (o) {
    case Outcome::kComplete: return "complete";
    case Outcome::kFailed: return "failed";
    case Outcome::kEarlyEnd: return "early-end";
    case Outcome::kAnyFailure: return "failed-or-early-end";
    case Outcome::kHang: return "HANG";
    case Outcome::kCrash: return "CRASH";
    }
    return "?";
}

enum class Kind { kWindowWrite, kWindowDump, kWriteThenDump, kBankWrite, kBankSplitWrite, kBankDump, kLowFormat, kBoot };

const char* KindName(Kind k)
{
    switch (k) {
    case Kind::kWindowWrite: return "window-write";
    case Kind::kWindowDump: return "window-dump";
    case Kind::kWriteThenDump: return "write+dump";
    case Kind::kBankWrite: return "bank-write";
    case Kind::kBankSplitWrite: return "bank-split-write";
    case Kind::kBankDump: return "bank-dump";
    case Kind::kLowFormat: return "low-format";
    case Kind::kBoot: return "boot-load";
    }
    return "?";
}

// Reproducible bytes, different for every seed.
Bytes Pattern(size_t size, uint64_t seed)
{
    Bytes out(size);
    std::mt19937_64 gen(seed);
    for (size_t i = 0; i < size; i += 8) {
        uint64_t v = gen();
        for (size_t j = 0; j < 8 && i + j < size; ++j) {
            out[i + j] = static_cast<uint8_t>(v >> (8 * j));
        }
    }
    return out;
}

// One storage transfer of the run, in the order the tool does them.
struct Transfer {
    bool write = true;
    bool eflash = true;
    size_t addr = 0;
    size_t size = 0;
    size_t fileOffset = 0;  // writes: where in the write file the region starts
};

struct Plan {
    int index = 0;
    Kind kind = Kind::kWindowWrite;
    uint64_t seed = 0;
    std::string fault = "none";
    std::vector<std::string> simArgs;
    std::vector<std::string> toolArgs;  // after --port; file names relative to the run directory
    bool boot = false;
    bool lowFormat = false;
    size_t writeFileSize = 0;
    bool dump = false;
    std::vector<Transfer> transfers;
    Outcome expected = Outcome::kComplete;
};

// Byte counts the board receives, to place the byte-count faults: ranges in
// which the host is inside a data phase (bounded by the silence limit).
struct Layout {
    size_t total = 0;
    std::vector<std::pair<size_t, size_t>> dataPhases;  // [begin, end)
};

Layout FirmwareLayout(const Plan& p)
{
    Layout l;
    size_t at = 3 * kPacket;  // ping, storage information, chip information
    if (p.lowFormat) {
        at += kPacket;
    }
    for (const Transfer& t : p.transfers) {
        at += kPacket;  // WRITE_CMD / READ_CMD
        const size_t begin = at;
        // Writes: header and data per chunk; dumps: the host's reply per chunk.
        at += t.write ? SimChunkCount(t.size) * kPacket + t.size : SimChunkCount(t.size) * kPacket;
        if (at > begin) {
            l.dataPhases.emplace_back(begin, at);
        }
    }
    l.total = at;
    return l;
}

class Planner {
public:
    explicit Planner(uint64_t seed) : m_gen(seed) {}

    Plan Make(int index)
    {
        Plan p;
        p.index = index;
        p.seed = m_gen();
        p.simArgs = {"--chip", "0x30230", "--expand-flash", "--ecc", "--eflash-size", "2M", "--snor-size", "1M"};
        p.toolArgs = {"--zolk", "zolk.bin", "--hsm", "hsm.bin"};
        p.kind = PickKind();
        switch (p.kind) {
        case Kind::kWindowWrite: AddWindowWrite(p, Size(64, 300 * 1024), false); break;
        case Kind::kWindowDump: AddWindowDump(p); break;
        case Kind::kWriteThenDump: AddWindowWrite(p, Size(1, 128) * kSector, true); break;
        case Kind::kBankWrite: AddBankWrite(p, Size(100, 200 * 1024)); break;
        case Kind::kBankSplitWrite: AddBankWrite(p, kEflashSize + Size(1, 64 * 1024)); break;
        case Kind::kBankDump:
            p.simArgs.push_back("--dual-bank");
            p.toolArgs.insert(p.toolArgs.end(), {"-r", "dump.bin", "--bank", "1"});
            p.dump = true;
            p.transfers.push_back({false, true, kBankDumpAddr, kBankDumpSize, 0});
            break;
        case Kind::kLowFormat:
            p.lowFormat = true;
            p.toolArgs.push_back("--low-format");
            p.simArgs.insert(p.simArgs.end(), {"--format-ms", std::to_string(Size(20, 300))});
            if (Chance(50)) {
                AddWindowWrite(p, Size(64, 64 * 1024), false);
            }
            break;
        case Kind::kBoot:
            p.boot = true;
            if (Chance(50)) {
                AddWindowWrite(p, Size(64, 32 * 1024), false);
            }
            break;
        }
        if (!p.boot) {
            p.simArgs.push_back("--firmware-running");
        }
        PickFault(p);
        return p;
    }

private:
    bool Chance(int percent) { return static_cast<int>(m_gen() % 100) < percent; }
    size_t Size(size_t lo, size_t hi) { return lo + static_cast<size_t>(m_gen() % (hi - lo + 1)); }

    Kind PickKind()
    {
        static const std::vector<std::pair<Kind, int>> weights = {
            {Kind::kWindowWrite, 22}, {Kind::kWindowDump, 16}, {Kind::kWriteThenDump, 14},
            {Kind::kBankWrite, 9},    {Kind::kBankSplitWrite, 3}, {Kind::kBankDump, 4},
            {Kind::kLowFormat, 12},   {Kind::kBoot, 20},
        };
        int total = 0;
        for (const auto& w : weights) {
            total += w.second;
        }
        int r = static_cast<int>(m_gen() % static_cast<uint64_t>(total));
        for (const auto& w : weights) {
            if (r < w.second) {
                return w.first;
            }
            r -= w.second;
        }
        return Kind::kWindowWrite;
    }

    // A write by address into a random sector of eflash or snor, of the
    // whole file; with withDump the same window is dumped afterwards.
    void AddWindowWrite(Plan& p, size_t size, bool withDump)
    {
        const bool eflash = Chance(50);
        const size_t storage = eflash ? kEflashSize : kSnorSize;
        const size_t sector = Size(0, (storage - size) / kSector);
        p.writeFileSize = size;
        p.toolArgs.insert(p.toolArgs.end(), {"-w", "write.bin", "--storage", eflash ? "eflash" : "snor", "-a",
                                             std::to_string(sector)});
        p.transfers.push_back({true, eflash, sector * kSector, size, 0});
        if (withDump) {
            p.toolArgs.insert(p.toolArgs.end(), {"-s", std::to_string(size / kSector), "-r", "dump.bin"});
            p.transfers.push_back({false, eflash, sector * kSector, size, 0});
            p.dump = true;
        }
    }

    void AddWindowDump(Plan& p)
    {
        const bool eflash = Chance(50);
        const size_t storage = eflash ? kEflashSize : kSnorSize;
        const size_t sectors = Size(1, 400);
        const size_t sector = Size(0, storage / kSector - sectors);
        p.toolArgs.insert(p.toolArgs.end(), {"-r", "dump.bin", "--storage", eflash ? "eflash" : "snor", "-a",
                                             std::to_string(sector), "-s", std::to_string(sectors)});
        p.transfers.push_back({false, eflash, sector * kSector, sectors * kSector, 0});
        p.dump = true;
    }

    // Bank 0: eflash 2 MiB at 0, then snor 1 MiB at 0.
    void AddBankWrite(Plan& p, size_t size)
    {
        p.writeFileSize = size;
        p.toolArgs.insert(p.toolArgs.end(), {"-w", "write.bin", "--bank", "0"});
        const size_t head = std::min(size, kEflashSize);
        p.transfers.push_back({true, true, 0, head, 0});
        if (size > head) {
            p.transfers.push_back({true, false, 0, size - head, head});
        }
    }

    // Chunks of the longest write (or dump) of the run: a chunk fault names
    // a chunk number, counted within each transfer.
    static size_t MostChunks(const Plan& p, bool write)
    {
        size_t n = 0;
        for (const Transfer& t : p.transfers) {
            n = t.write == write ? std::max(n, SimChunkCount(t.size)) : n;
        }
        return n;
    }

    void SetFault(Plan& p, const std::string& option, const std::string& value, Outcome expected)
    {
        p.simArgs.push_back("--" + option);
        if (!value.empty()) {
            p.simArgs.push_back(value);
        }
        p.fault = option;
        p.expected = expected;
    }

    size_t InPhases(const Layout& l)
    {
        size_t span = 0;
        for (const auto& r : l.dataPhases) {
            span += r.second - r.first;
        }
        size_t pick = Size(0, span - 1);
        for (const auto& r : l.dataPhases) {
            if (pick < r.second - r.first) {
                return r.first + pick;
            }
            pick -= r.second - r.first;
        }
        return l.dataPhases.front().first;
    }

    void PickFault(Plan& p)
    {
        const size_t writeChunks = MostChunks(p, true);
        const size_t dumpChunks = MostChunks(p, false);
        const bool transfers = !p.transfers.empty();
        // Weighted list of the faults that apply to this run.
        std::vector<std::pair<std::string, int>> options = {{"none", 8}, {"hangup-after", 14}};
        if (writeChunks > 0) {
            options.insert(options.end(), {{"nack-chunk", 12}, {"reject-chunk", 10}});
        }
        if (dumpChunks > 0) {
            options.push_back({"corrupt-dump-chunk", 12});
        }
        if (transfers) {
            options.push_back({"bad-final-crc", 9});
        }
        // Every wait for the board is bounded, so silence may come anywhere
        // but in the two waits that are unbounded by design: the start
        // handshake (a board waiting for a reset) and the board's erase in a
        // low format. Each silence costs the host's full 10 s bound.
        if (p.boot) {
            options.insert(options.end(), {{"refuse-start", 14}, {"refuse-image", 5}, {"reset-after", 4},
                                           {"silent-after", 4}, {"silent-after-ack", 3}, {"silent-on", 2}});
        } else {
            options.insert(options.end(), {{"silent-after", 5}, {"silent-after-ack", 4}, {"silent-on", 2},
                                           {"reset-after", 5}});
            if (p.lowFormat) {
                options.push_back({"nack-format", 10});
            }
        }
        int total = 0;
        for (const auto& o : options) {
            total += o.second;
        }
        int r = static_cast<int>(m_gen() % static_cast<uint64_t>(total));
        std::string fault = options.front().first;
        for (const auto& o : options) {
            if (r < o.second) {
                fault = o.first;
                break;
            }
            r -= o.second;
        }

        const Layout fw = FirmwareLayout(p);
        const size_t bootImageStart = kPacket + 2 * kBootPacket;  // ping, start packet, HSM announcement
        const size_t bootEnd = bootImageStart + kHsmImageSize + kBootPacket + kZolkSize;
        if (fault == "none") {
            p.expected = Outcome::kComplete;
        } else if (fault == "nack-chunk") {
            SetFault(p, fault, std::to_string(Size(0, writeChunks - 1)), Outcome::kComplete);
        } else if (fault == "reject-chunk") {
            SetFault(p, fault, std::to_string(Size(0, writeChunks - 1)), Outcome::kFailed);
        } else if (fault == "corrupt-dump-chunk") {
            SetFault(p, fault, std::to_string(Size(0, dumpChunks - 1)), Outcome::kComplete);
        } else if (fault == "bad-final-crc") {
            SetFault(p, fault, "", Outcome::kFailed);
        } else if (fault == "refuse-start") {
            SetFault(p, fault, std::to_string(Size(1, 40)), Outcome::kComplete);
        } else if (fault == "refuse-image") {
            SetFault(p, fault, "", Outcome::kEarlyEnd);
        } else if (fault == "nack-format") {
            SetFault(p, fault, "", Outcome::kEarlyEnd);
        } else if (fault == "hangup-after") {
            const size_t end = p.boot ? bootEnd : fw.total;
            SetFault(p, fault, std::to_string(Size(0, end - 1)), Outcome::kAnyFailure);
        } else if (fault == "silent-after") {
            if (p.boot) {
                // From the start answer to the end of the firmware image: the
                // boot load gives up after one more round of the handshake.
                SetFault(p, fault, std::to_string(Size(kPacket + kBootPacket, bootEnd - 1)), Outcome::kEarlyEnd);
            } else {
                // After the ping; not at the very end of LOW_FORMAT_CMD, where
                // the board would go quiet inside its own erase.
                size_t at = Size(kPacket, fw.total - 1);
                if (p.lowFormat && at == kFormatEnd) {
                    --at;
                }
                SetFault(p, fault, std::to_string(at), Outcome::kAnyFailure);
            }
        } else if (fault == "silent-after-ack" || fault == "silent-on") {
            const std::vector<std::string> commands = SilenceCommands(p, fault == "silent-on");
            const std::string& command = commands[Size(0, commands.size() - 1)];
            SetFault(p, fault, command, p.boot ? Outcome::kEarlyEnd : Outcome::kAnyFailure);
        } else if (fault == "reset-after") {
            if (p.boot) {
                // Inside the HSM image: the boot ROM drops it, the final
                // answer never comes, and the boot load starts again.
                SetFault(p, fault, std::to_string(bootImageStart + Size(0, kHsmImageSize - 1)), Outcome::kComplete);
            } else if (Chance(25)) {
                // During the firmware ping: the host finds the boot ROM and
                // loads the firmware first.
                SetFault(p, fault, std::to_string(Size(0, kPacket - 1)), Outcome::kComplete);
            } else if (!fw.dataPhases.empty() && Chance(50)) {
                SetFault(p, fault, std::to_string(InPhases(fw)), Outcome::kFailed);
            } else {
                // Anywhere after the ping: the next answer never comes.
                SetFault(p, fault, std::to_string(Size(kPacket, fw.total - 1)), Outcome::kAnyFailure);
            }
        }
    }

    // The commands of the run the board may fall silent at (silentOn: on
    // receiving them, else right after acknowledging them). Left out: those
    // whose silence is an unbounded wait by design (the ping and the start
    // packet, which a board waiting for a reset leaves unanswered, and the
    // end of a low format), and the acknowledgement of WRITE_CMD and
    // READ_CMD, whose bound grows with the window (30 s per MiB).
    static std::vector<std::string> SilenceCommands(const Plan& p, bool silentOn)
    {
        std::vector<std::string> out;
        if (p.boot) {
            if (!silentOn) {
                out.push_back("START_CMD");
            }
            out.insert(out.end(), {"RECEIVE_HSM_CMD", "RECEIVE_ZOLK_CMD"});
            return out;
        }
        if (!silentOn) {
            out.push_back("FW_PING");
        }
        out.insert(out.end(), {"STORAGE_INFO_CMD", "CHIP_INFO_CMD"});
        if (silentOn && p.lowFormat) {
            out.push_back("LOW_FORMAT_CMD");
        }
        if (!silentOn) {
            for (const Transfer& t : p.transfers) {
                out.push_back(t.write ? "WRITE_CMD" : "READ_CMD");
            }
        }
        return out;
    }

    std::mt19937_64 m_gen;
};

struct RunResult {
    Outcome outcome = Outcome::kCrash;
    std::vector<std::string> problems;
    double seconds = 0;
};

std::string Describe(const Plan& p)
{
    std::ostringstream s;
    s << "run " << p.index << " [" << KindName(p.kind) << ", " << p.fault << "] qex_sim";
    for (const auto& a : p.simArgs) {
        s << ' ' << a;
    }
    s << " | zolk_qex --port PTY";
    for (const auto& a : p.toolArgs) {
        s << ' ' << a;
    }
    return s.str();
}

bool HasCause(const std::string& out, size_t verdictAt)
{
    static const char* const kCauses[] = {"Failed", "failed", "Invalid", "NACK", "Unknown response",
                                          "stopped", "gone", "refused", "[ERROR]", "not done"};
    std::istringstream lines(out.substr(0, verdictAt));
    std::string line;
    while (std::getline(lines, line)) {
        for (const char* c : kCauses) {
            if (line.find(c) != std::string::npos) {
                return true;
            }
        }
        unsigned received = 0;
        unsigned calculated = 0;
        const size_t at = line.find("Receved CRC : ");
        if (at != std::string::npos &&
            std::sscanf(line.c_str() + at, "Receved CRC : %x, Calculated CRC : %x", &received, &calculated) == 2 &&
            received != calculated) {
            return true;
        }
    }
    return false;
}

// Storage as a successful run leaves it, and the dump the run should write.
struct Model {
    Bytes eflash;
    Bytes snor;
    Bytes dump;
};

Model Apply(const Plan& p, const Bytes& eflash, const Bytes& snor, const Bytes& writeFile)
{
    Model m{eflash, snor, {}};
    if (p.lowFormat) {
        std::fill(m.eflash.begin(), m.eflash.end(), 0xFF);
        std::fill(m.snor.begin(), m.snor.end(), 0xFF);
    }
    for (const Transfer& t : p.transfers) {
        Bytes& s = t.eflash ? m.eflash : m.snor;
        if (t.write) {
            std::copy_n(writeFile.begin() + static_cast<std::ptrdiff_t>(t.fileOffset), t.size,
                        s.begin() + static_cast<std::ptrdiff_t>(t.addr));
        } else {
            m.dump.insert(m.dump.end(), s.begin() + static_cast<std::ptrdiff_t>(t.addr),
                          s.begin() + static_cast<std::ptrdiff_t>(t.addr + t.size));
        }
    }
    return m;
}

// After a failed run every byte holds its old value or the one the run
// would have left (or the erased value when a low format was asked).
std::string CheckPartial(const char* name, const Bytes& got, const Bytes& before, const Bytes& after, bool erased)
{
    if (got.size() != before.size()) {
        return std::string(name) + " changed size";
    }
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i] != before[i] && got[i] != after[i] && !(erased && got[i] == 0xFF)) {
            return std::string(name) + " holds a byte the run never sent at offset " + std::to_string(i);
        }
    }
    return {};
}

RunResult Execute(const Plan& p, const fs::path& root)
{
    RunResult result;
    const auto start = std::chrono::steady_clock::now();
    const fs::path dir = root / ("run" + std::to_string(p.index));
    const fs::path storage = dir / "storage";
    fs::create_directories(storage);

    const Bytes eflash = Pattern(kEflashSize, p.seed);
    const Bytes snor = Pattern(kSnorSize, p.seed + 1);
    const Bytes writeFile = Pattern(p.writeFileSize, p.seed + 2);
    WriteAll(storage / "eflash.bin", eflash);
    WriteAll(storage / "snor.bin", snor);
    WriteAll(dir / "hsm.bin", Pattern(kHsmFileSize, p.seed + 3));
    WriteAll(dir / "zolk.bin", Pattern(kZolkSize, p.seed + 4));
    if (p.writeFileSize > 0) {
        WriteAll(dir / "write.bin", writeFile);
    }

    std::vector<std::string> simArgs = p.simArgs;
    simArgs.insert(simArgs.end(), {"--storage-dir", storage.string()});
    SimProcess sim(simArgs);
    if (!sim.Started()) {
        result.problems.push_back("qex_sim did not start: " + sim.Error());
        return result;
    }
    std::vector<std::string> argv = {"/usr/bin/env", "-C", dir.string(), ZOLK_QEX_PATH, "--port", sim.PtyPath()};
    argv.insert(argv.end(), p.toolArgs.begin(), p.toolArgs.end());
    const ProcessResult r = RunProcess(argv, "", kRunLimitMs);
    sim.Stop();
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const size_t complete = r.out.find("Complete ZOLK\n");
    const size_t failed = r.out.find("Failed ZOLK\n");
    if (r.timedOut) {
        result.outcome = Outcome::kHang;
        result.problems.push_back("no end within the time limit");
    } else if (r.signal != 0) {
        result.outcome = Outcome::kCrash;
        result.problems.push_back("ended by signal " + std::to_string(r.signal));
    } else if (complete != std::string::npos && failed == std::string::npos && r.exitCode == 0) {
        result.outcome = Outcome::kComplete;
    } else if (failed != std::string::npos && complete == std::string::npos && r.exitCode == 1) {
        result.outcome = Outcome::kFailed;
        if (!HasCause(r.out, failed)) {
            result.problems.push_back("\"Failed ZOLK\" without a cause before it");
        }
    } else if (complete == std::string::npos && failed == std::string::npos && r.exitCode == 255) {
        result.outcome = Outcome::kEarlyEnd;
    } else {
        result.outcome = Outcome::kCrash;
        result.problems.push_back("verdict and process result disagree: exit " + std::to_string(r.exitCode));
    }
    if (r.err.find("Sanitizer") != std::string::npos || r.err.find("runtime error") != std::string::npos) {
        result.problems.push_back("sanitizer report on standard error");
    }
    const bool expectedOk = p.expected == result.outcome ||
                            (p.expected == Outcome::kAnyFailure &&
                             (result.outcome == Outcome::kFailed || result.outcome == Outcome::kEarlyEnd));
    if (!expectedOk && result.problems.empty()) {
        result.problems.push_back(std::string("expected ") + OutcomeName(p.expected) + ", got " +
                                  OutcomeName(result.outcome));
    }

    const Model m = Apply(p, eflash, snor, writeFile);
    const Bytes gotEflash = ReadAll(storage / "eflash.bin");
    const Bytes gotSnor = ReadAll(storage / "snor.bin");
    const bool dumpExists = fs::exists(dir / "dump.bin");
    const Bytes gotDump = dumpExists ? ReadAll(dir / "dump.bin") : Bytes();
    // A failed dump keeps what arrived beside the dump file's name.
    const bool partialExists = fs::exists(dir / "dump.bin.partial");
    const Bytes gotPartial = partialExists ? ReadAll(dir / "dump.bin.partial") : Bytes();
    const auto isPrefix = [&m](const Bytes& got) {
        return got.size() <= m.dump.size() && std::equal(got.begin(), got.end(), m.dump.begin());
    };
    if (result.outcome == Outcome::kComplete) {
        if (gotEflash != m.eflash) {
            result.problems.push_back("eflash differs from the model");
        }
        if (gotSnor != m.snor) {
            result.problems.push_back("snor differs from the model");
        }
        if (p.dump && gotDump != m.dump) {
            result.problems.push_back("dump file differs from the model (" + std::to_string(gotDump.size()) + " of " +
                                      std::to_string(m.dump.size()) + " bytes)");
        }
        if (partialExists) {
            result.problems.push_back("a complete run left a .partial dump file");
        }
    } else {
        for (const std::string& s : {CheckPartial("eflash", gotEflash, eflash, m.eflash, p.lowFormat),
                                     CheckPartial("snor", gotSnor, snor, m.snor, p.lowFormat)}) {
            if (!s.empty()) {
                result.problems.push_back(s);
            }
        }
        if ((dumpExists && !isPrefix(gotDump)) || (partialExists && !isPrefix(gotPartial))) {
            result.problems.push_back("partial dump file is not a prefix of the storage window");
        }
    }
    if (!result.problems.empty()) {
        result.problems.push_back("output:\n" + r.out + "\nstderr:\n" + r.err);
    } else {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    return result;
}

int EnvInt(const char* name, int fallback)
{
    const char* v = getenv(name);
    return v != nullptr && *v != '\0' ? static_cast<int>(strtol(v, nullptr, 0)) : fallback;
}

TEST(FaultCampaign, RandomFaultsNeverCorruptOrHang)
{
    const char* seedText = getenv("ZOLK_CAMPAIGN_SEED");
    const uint64_t seed = seedText != nullptr && *seedText != '\0' ? strtoull(seedText, nullptr, 0) : kDefaultSeed;
    const int runs = EnvInt("ZOLK_CAMPAIGN_RUNS", kDefaultRuns);
    const int jobs = std::max(1, EnvInt("ZOLK_CAMPAIGN_JOBS", kDefaultJobs));
    std::printf("fault campaign: seed %llu (replay with ZOLK_CAMPAIGN_SEED=%llu), %d runs, %d side by side\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed), runs, jobs);

    Planner planner(seed);
    std::vector<Plan> plans;
    for (int i = 0; i < runs; ++i) {
        plans.push_back(planner.Make(i));
    }

    TempDir rootDir("zolk_campaign");
    ASSERT_TRUE(rootDir.Made());
    const fs::path root = rootDir.Path();

    std::vector<RunResult> results(plans.size());
    std::atomic<size_t> next{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int j = 0; j < jobs; ++j) {
        workers.emplace_back([&] {
            for (size_t i = next++; i < plans.size(); i = next++) {
                results[i] = Execute(plans[i], root);
            }
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::map<std::string, std::map<std::string, int>> counts;
    std::map<std::string, int> kinds;
    double longest = 0;
    int bad = 0;
    for (size_t i = 0; i < plans.size(); ++i) {
        counts[plans[i].fault][OutcomeName(results[i].outcome)]++;
        kinds[KindName(plans[i].kind)]++;
        longest = std::max(longest, results[i].seconds);
        if (!results[i].problems.empty()) {
            ++bad;
            std::string text;
            for (const auto& s : results[i].problems) {
                text += s + "\n";
            }
            ADD_FAILURE() << Describe(plans[i]) << " (seed " << seed << ")\n" << text;
        }
    }
    std::printf("%-20s %9s %9s %10s %6s %6s\n", "fault", "complete", "failed", "early-end", "hang", "crash");
    for (const auto& [fault, byOutcome] : counts) {
        const auto get = [&](Outcome o) {
            const auto it = byOutcome.find(OutcomeName(o));
            return it == byOutcome.end() ? 0 : it->second;
        };
        std::printf("%-20s %9d %9d %10d %6d %6d\n", fault.c_str(), get(Outcome::kComplete), get(Outcome::kFailed),
                    get(Outcome::kEarlyEnd), get(Outcome::kHang), get(Outcome::kCrash));
    }
    std::printf("runs by kind:");
    for (const auto& [kind, n] : kinds) {
        std::printf(" %s %d;", kind.c_str(), n);
    }
    std::printf("\n%zu runs in %.1f s (longest run %.1f s), %d with problems, seed %llu\n", plans.size(), seconds,
                longest, bad, static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    if (bad != 0) {
        rootDir.Keep();
        std::printf("run directories of the failed runs kept in %s\n", root.c_str());
    }
}

}  // namespace
