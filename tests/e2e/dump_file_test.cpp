// The file at the dump path: a dump that arrives whole replaces it; every
// other end of the run leaves it byte for byte as it was, keeps what arrived
// as <name>.partial and leaves no other file behind.
#include <signal.h>

#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

constexpr size_t kWindow = 10 * 512;  // --size 10
// Bytes the host sends before the dump's data: the firmware ping, the
// storage and chip information commands, READ_CMD.
constexpr size_t kBeforeDumpData = 4 * 24;

enum class Outcome {
    kReplaced,     // the dump arrived whole and is at the dump path
    kKeptNothing,  // nothing arrived: no .partial is made
    kKeptPart,     // a prefix of the window is kept as .partial
    kKeptWhole,    // every byte arrived but the final check failed
    kRefused,      // the command line was refused: nothing sent
};

struct DumpFileCase {
    const char* name;
    std::vector<std::string> fault;     // qex_sim options
    std::vector<std::string> args;      // {dump} stands for the dump path
    std::vector<std::string> messages;  // likewise
    Outcome outcome;
    bool byBank = false;
    bool fileSizeLimit = false;  // the run may write files of at most 3000 bytes: a full disk
};

void PrintTo(const DumpFileCase& c, std::ostream* os) { *os << c.name; }

class E2EDumpFile : public testing::TestWithParam<DumpFileCase> {};

std::string WithDump(std::string text, const std::string& dump)
{
    for (size_t at = text.find("{dump}"); at != std::string::npos; at = text.find("{dump}", at + dump.size())) {
        text.replace(at, 6, dump);
    }
    return text;
}

TEST_P(E2EDumpFile, OldFileSurvivesOrIsReplacedWhole)
{
    const DumpFileCase& c = GetParam();
    Fixture fx;
    const Bytes eflash = Pattern(2 * kMiB, 61);
    const Bytes snor = Pattern(kMiB, 62);
    WriteAll(fx.Eflash(), eflash);
    WriteAll(fx.Snor(), snor);
    const fs::path trace = fx.Dir() / "trace.jsonl";
    std::vector<std::string> simArgs = BoardArgs(true, {"--trace", trace.string()});
    simArgs.insert(simArgs.end(), c.fault.begin(), c.fault.end());
    ASSERT_TRUE(fx.StartSim(simArgs));

    // The user's earlier dump and the leftover of an earlier failed one.
    const Bytes previous = Pattern(7000, 63);
    const Bytes oldPartial = Pattern(300, 64);
    const std::string dump = fx.MakeFile("keep.bin", previous);
    fx.MakeFile("keep.bin.partial", oldPartial);
    if (c.fileSizeLimit) {
        signal(SIGXFSZ, SIG_IGN);  // inherited: the write fails with EFBIG instead
        fx.SetWrapper({"prlimit", "--fsize=3000"});
    }

    std::vector<std::string> args;
    for (const std::string& arg : c.args) {
        args.push_back(WithDump(arg, dump));
    }
    const ProcessResult r = fx.Run(args, ZOLK_QEX_PATH, 60000);
    EXPECT_FALSE(r.timedOut) << r.out;
    for (const std::string& message : c.messages) {
        const std::string expanded = WithDump(message, dump);
        EXPECT_NE(r.out.find(expanded), std::string::npos) << expanded << "\n" << r.out;
    }

    const Bytes window = c.byBank ? [&] {
        Bytes bank = eflash;
        bank.insert(bank.end(), snor.begin(), snor.end());
        return bank;
    }()
                                  : Slice(snor, 0, kWindow);
    const Bytes gotDump = ReadAll(dump);
    const Bytes gotPartial = ReadAll(dump + ".partial");
    EXPECT_EQ(fx.WorkFiles(), (std::vector<std::string>{"keep.bin", "keep.bin.partial"}));
    switch (c.outcome) {
    case Outcome::kReplaced:
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_TRUE(gotDump == window) << gotDump.size() << " bytes";
        EXPECT_TRUE(gotPartial == oldPartial);
        return;
    case Outcome::kRefused:
        EXPECT_EQ(r.exitCode, kExitEarlyEnd) << r.out << r.err;
        fx.Sim().Stop();
        EXPECT_TRUE(ReceivedPackets(trace).empty());
        break;
    case Outcome::kKeptNothing:
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_NE(r.out.find("Dump into " + dump + " failed - no data kept, " + dump + " is as it was\n"),
                  std::string::npos)
            << r.out;
        EXPECT_TRUE(gotPartial == oldPartial);
        break;
    case Outcome::kKeptPart:
    case Outcome::kKeptWhole: {
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        // One message counts what was kept, against the whole window.
        const std::string kept = "kept " + std::to_string(gotPartial.size()) + " of " +
                                 std::to_string(window.size()) + " bytes in " + dump + ".partial (incomplete)\n";
        EXPECT_EQ(CountOf(r.out, "Dump into " + dump + " failed - " + kept), 1u) << kept << "\n" << r.out;
        EXPECT_EQ(CountOf(r.out, " bytes in "), 1u) << r.out;
        if (c.outcome == Outcome::kKeptWhole) {
            EXPECT_TRUE(gotPartial == window);
        } else {
            EXPECT_GT(gotPartial.size(), 0u);
            EXPECT_LT(gotPartial.size(), window.size());
            EXPECT_TRUE(gotPartial == Slice(window, 0, gotPartial.size()));
        }
        break;
    }
    }
    EXPECT_TRUE(gotDump == previous);
    EXPECT_EQ(r.out.find("Complete ZOLK"), std::string::npos) << r.out;
}

const std::vector<std::string> kSnorWindow = {"-r", "{dump}", "--storage", "snor", "--size", "10"};

INSTANTIATE_TEST_SUITE_P(
    Ends, E2EDumpFile,
    testing::Values(
        DumpFileCase{"GoodDumpByWindow", {}, kSnorWindow, {"Complete to receive file - {dump}\n"}, Outcome::kReplaced},
        DumpFileCase{"GoodDumpByBank", {}, {"-r", "{dump}", "--bank", "0"}, {}, Outcome::kReplaced, true},
        DumpFileCase{"WindowRefusedByTheBoard",
                     {},
                     {"-r", "{dump}", "--storage", "snor", "--addr", "2048", "--size", "10"},
                     {"Received NACK\n"},
                     Outcome::kKeptNothing},
        DumpFileCase{"WrongFinalCrc", {"--bad-final-crc"}, kSnorWindow, {"Receved CRC : "}, Outcome::kKeptWhole},
        DumpFileCase{"HangUp",
                     {"--hangup-after", std::to_string(kBeforeDumpData + 24 + 10)},
                     kSnorWindow,
                     {"Serial line is gone"},
                     Outcome::kKeptPart},
        DumpFileCase{"BoardFallsSilent",
                     {"--silent-after", std::to_string(kBeforeDumpData + 24)},
                     kSnorWindow,
                     {"the board stopped answering"},
                     Outcome::kKeptPart},
        DumpFileCase{"BankDumpHangsUpInTheSnorPart",
                     {"--hangup-after", std::to_string(kBeforeDumpData + 1024 * 24 + 24 + 100)},
                     {"-r", "{dump}", "--bank", "0"},
                     {"Failed to write in SNOR\n"},
                     Outcome::kKeptPart,
                     true},
        DumpFileCase{"FullDisk", {}, kSnorWindow, {"Failed to write {dump} - File too large\n"}, Outcome::kKeptPart,
                     false, true},
        DumpFileCase{"UnknownStorageText",
                     {},
                     {"-r", "{dump}", "--storage", "SNOR", "--size", "10"},
                     {"\"SNOR\" is invalid storage type - the storage types are snor and eflash\n"},
                     Outcome::kRefused}),
    CaseName());

}  // namespace
}  // namespace e2e
