// SIGINT, SIGTERM and SIGHUP in the middle of a run: the run ends at the
// next safe point with one line saying so and 128 + the signal number, the
// file at the dump path is as it was, what arrived is kept as .partial, and
// nothing more goes to the board.
#include <signal.h>

#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

struct StopCase {
    const char* name;
    int signalNumber;
    const char* signalName;
    std::vector<std::string> sim;  // qex_sim options beside the chip
    bool dump;                     // a 1 MiB dump of snor into keep.bin; otherwise a boot load
    std::string when;              // the output that shows the step to stop is under way
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class E2EStop : public testing::TestWithParam<StopCase> {};

TEST_P(E2EStop, EndsCleanlyKeepingTheOldFile)
{
    const StopCase& c = GetParam();
    Fixture fx;
    const Bytes snor = Pattern(kMiB, 71);
    WriteAll(fx.Snor(), snor);
    const fs::path trace = fx.Dir() / "trace.jsonl";
    std::vector<std::string> simArgs = BoardArgs(false, {"--trace", trace.string()});
    simArgs.insert(simArgs.end(), c.sim.begin(), c.sim.end());
    ASSERT_TRUE(fx.StartSim(simArgs));
    const Bytes previous = Pattern(9000, 72);
    const std::string dump = fx.MakeFile("keep.bin", previous);
    std::vector<std::string> args;
    if (c.dump) {
        args = {"-r", dump, "--storage", "snor", "--size", "2048"};
    } else {
        args = {"--zolk", fx.MakeFile("zolk.bin", Pattern(4096, 73)), "--hsm",
                fx.MakeFile("hsm.bin", Pattern(kHsmFileSize, 74))};
    }

    SignalPlan plan;
    plan.signalNumber = c.signalNumber;
    plan.when = [&c](const std::string& out) { return out.find(c.when) != std::string::npos; };
    const ProcessResult r = fx.RunSignalled(args, &plan);
    ASSERT_TRUE(plan.sent) << r.out;
    EXPECT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, 128 + c.signalNumber) << r.out << r.err;
    EXPECT_EQ(r.signal, 0);

    // One line says why the run ended, on a line of its own; the failure
    // messages that only echo the stop are not printed.
    const std::string stopped = std::string("Run stopped by ") + c.signalName + " - nothing more is sent to the board\n";
    EXPECT_EQ(CountOf(r.out, stopped), 1u) << r.out;
    EXPECT_NE(r.out.find("\n[main:"), std::string::npos);
    const size_t at = r.out.find(stopped);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(r.out.rfind('\n', at), r.out.rfind("[main:", at) - 1) << r.out;
    for (const char* echo : {"Failed read data", "Serial line is gone", "Failed ZOLK", "Complete ZOLK",
                             "Failed to write in"}) {
        EXPECT_EQ(r.out.find(echo), std::string::npos) << echo << "\n" << r.out;
    }

    EXPECT_TRUE(ReadAll(dump) == previous);
    if (c.dump) {
        const Bytes partial = ReadAll(dump + ".partial");
        EXPECT_GT(partial.size(), 0u);
        EXPECT_LT(partial.size(), kMiB);
        EXPECT_TRUE(partial == Slice(snor, 0, partial.size()));
        EXPECT_NE(r.out.find("Dump into " + dump + " stopped - kept " + std::to_string(partial.size()) +
                             " of 1048576 bytes in " + dump + ".partial (incomplete)\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(fx.WorkFiles(), (std::vector<std::string>{"keep.bin", "keep.bin.partial"}));
    } else {
        EXPECT_EQ(fx.WorkFiles(), (std::vector<std::string>{"hsm.bin", "keep.bin", "zolk.bin"}));
    }

    // The board got no command after the one that was running.
    fx.Sim().Stop();
    const std::vector<std::string> packets = ReceivedPackets(trace);
    if (c.dump) {
        const std::vector<std::string> start = {"FW_PING", "STORAGE_INFO_CMD", "CHIP_INFO_CMD", "READ_CMD"};
        ASSERT_GE(packets.size(), start.size());
        EXPECT_TRUE(std::vector<std::string>(packets.begin(), packets.begin() + 4) == start);
        for (size_t i = start.size(); i < packets.size(); ++i) {
            EXPECT_EQ(packets[i], "CHUNK_ACK") << i;
        }
    } else {
        for (const std::string& p : packets) {
            EXPECT_TRUE(p == "FW_PING" || p == "noise" || p == "START_CMD") << p;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, E2EStop,
    testing::Values(
        // A paced line makes the 1 MiB dump take about 23 s; the signal comes
        // once a tenth has arrived.
        StopCase{"SigintInADump", SIGINT, "SIGINT", {"--firmware-running", "--line-rate"}, true, " 10% ["},
        StopCase{"SigtermInADump", SIGTERM, "SIGTERM", {"--firmware-running", "--line-rate"}, true, " 10% ["},
        StopCase{"SighupInADump", SIGHUP, "SIGHUP", {"--firmware-running", "--line-rate"}, true, " 10% ["},
        // A board that keeps refusing the start packet: the handshake retries
        // until the stop.
        StopCase{"SigintInTheBootHandshake", SIGINT, "SIGINT", {"--refuse-start", "100000"}, false, "Retry : 3"}),
    CaseName());

}  // namespace
}  // namespace e2e
