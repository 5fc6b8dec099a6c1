// A board that stops answering at any point of a run: every wait for it has a
// bound, and the run ends with one message that names what it waited for.
// Each case waits out the 10 s bound, so each is its own test and the cases
// run side by side.
#include <chrono>

#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes the board receives before a boot image: the firmware ping (sent at
// the firmware speed, noise to the boot ROM), the start packet and the HSM
// announcement.
constexpr size_t kBeforeHsmImage = 24 + 16 + 16;
// The 10 s bound, the host's fixed pauses and the start of two processes.
constexpr double kFirmwareBoundS = 10.0 + 8.0;
// A boot phase adds one round of the start handshake (about 5 s), which
// tells a board that was reset from one that stopped.
constexpr double kBootBoundS = kFirmwareBoundS + 7.0;

struct SilenceCase {
    const char* name;
    std::vector<std::string> fault;  // qex_sim options
    bool boot;                       // the board starts in its boot ROM
    std::vector<std::string> job;    // zolk_qex options besides the port and the image files
    int exitCode;
    std::string message;
};

void PrintTo(const SilenceCase& c, std::ostream* os) { *os << c.name; }

class E2ESilence : public testing::TestWithParam<SilenceCase> {};

TEST_P(E2ESilence, RunEndsWithinTheBound)
{
    const SilenceCase& c = GetParam();
    Fixture fx;
    ASSERT_TRUE(fx.StartSim(BoardArgs(!c.boot, c.fault)));
    std::vector<std::string> args = {"--zolk", fx.MakeFile("zolk.bin", Pattern(kZolkImageSize, 2)), "--hsm",
                                     fx.MakeFile("hsm.bin", Pattern(kHsmFileSize, 1))};
    for (const std::string& a : c.job) {
        args.push_back(a == "IMAGE" ? fx.MakeFile("image.bin", Pattern(5120, 3)) : a == "DUMP" ? fx.Path("dump.bin") : a);
    }
    const auto start = Clock::now();
    const ProcessResult r = fx.Run(args, ZOLK_QEX_PATH, 60000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    EXPECT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_EQ(CountOf(r.out, c.message), 1u) << c.message << "\n" << r.out;
    EXPECT_LT(seconds, c.boot ? kBootBoundS : kFirmwareBoundS) << r.out;
    EXPECT_EQ(r.out.find("Complete ZOLK"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Failed ZOLK") != std::string::npos, c.exitCode == 1) << r.out;
    EXPECT_FALSE(fs::exists(fx.Path("dump.bin"))) << "a failed dump left a complete-looking file";
}

INSTANTIATE_TEST_SUITE_P(
    Points, E2ESilence,
    testing::Values(
        SilenceCase{"AfterThePing", {"--silent-after-ack", "FW_PING"}, false, {}, 1,
                    "No storage information for 10 s - the board stopped answering\n"},
        SilenceCase{"StorageInformationTextMissing", {"--silent-after-ack", "STORAGE_INFO_CMD"}, false, {}, 1,
                    "No storage information for 10 s - the board stopped answering\n"},
        SilenceCase{"ChipInformationUnanswered", {"--silent-on", "CHIP_INFO_CMD"}, false, {}, 1,
                    "No chip information for 10 s - the board stopped answering\n"},
        SilenceCase{"ChipInformationBlockMissing", {"--silent-after-ack", "CHIP_INFO_CMD"}, false, {}, 1,
                    "No chip information for 10 s - the board stopped answering\n"},
        SilenceCase{"AfterTheWriteCommandAck", {"--silent-after-ack", "WRITE_CMD"}, false,
                    {"-w", "IMAGE", "--storage", "snor"}, 1,
                    "No reply to the chunk at byte 0 of 5120 for 10 s - the board stopped answering\n"},
        SilenceCase{"AfterTheReadCommandAck", {"--silent-after-ack", "READ_CMD"}, false,
                    {"-r", "DUMP", "--storage", "snor", "--size", "10"}, 1,
                    "No header of the chunk at byte 0 of 5120 for 10 s - the board stopped answering\n"},
        SilenceCase{"LowFormatUnanswered", {"--silent-on", "LOW_FORMAT_CMD"}, false, {"--low-format"}, kExitEarlyEnd,
                    "No answer to LOW_FORMAT_CMD for 10 s - the board stopped answering\n"},
        SilenceCase{"AfterTheHsmAnnouncement", {"--silent-on", "RECEIVE_HSM_CMD"}, true, {}, kExitEarlyEnd,
                    "No answer to RECEIVE_HSM_CMD for 10 s - the board stopped answering\n"},
        SilenceCase{"InsideTheHsmImage", {"--silent-after", std::to_string(kBeforeHsmImage + 20000)}, true, {},
                    kExitEarlyEnd, "No answer to the HSM image for 10 s - the board stopped answering\n"},
        SilenceCase{"AfterTheZolkImageAnnouncementAck", {"--silent-after-ack", "RECEIVE_ZOLK_CMD"}, true, {},
                    kExitEarlyEnd, "No answer to the ZOLK firmware image for 10 s - the board stopped answering\n"}),
    CaseName());

// The board's erase is the one wait without a bound, announced to the user:
// a format longer than the 10 s bound still completes.
TEST(E2ELongWaits, LowFormatLongerThanTheBoundCompletes)
{
    Fixture fx;
    ASSERT_TRUE(fx.StartSim({"--firmware-running", "--format-ms", "15000"}));
    const ProcessResult r = fx.Run({"--low-format"}, ZOLK_QEX_PATH, 60000);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Please wait, low-format can take a long time!\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Complete ZOLK\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("stopped answering"), std::string::npos) << r.out;
}

// --timeout-scale stretches every bound for a slow board.
TEST(E2ELongWaits, TimeoutScaleMultipliesTheBound)
{
    Fixture fx;
    ASSERT_TRUE(fx.StartSim({"--firmware-running", "--silent-after-ack", "FW_PING"}));
    const auto start = Clock::now();
    const ProcessResult r = fx.Run({"--timeout-scale", "2"}, ZOLK_QEX_PATH, 60000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("No storage information for 20 s - the board stopped answering\n"), std::string::npos)
        << r.out;
    EXPECT_GE(seconds, 20.0);
    EXPECT_LT(seconds, 20.0 + 8.0);
}

TEST(E2EPortChecks, TimeoutScaleValuesAreCheckedAtParse)
{
    for (const char* value : {"0", "x", "-1", "1001", "1.5", "2x"}) {
        SCOPED_TRACE(std::string("'") + value + "'");
        // The parse ends the run before any port is touched.
        const ProcessResult r = RunProcess({ZOLK_QEX_PATH, "--port", "/dev/zolk-no-such-tty", "--timeout-scale", value},
                                           "", 10000);
        EXPECT_EQ(r.exitCode, kExitEarlyEnd) << r.out;
        EXPECT_NE(r.out.find("Timeout scale is a whole number from 1 to 1000\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Try '--help' for more information.\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("open port"), std::string::npos) << r.out;
    }
}

// A path that opens but is no serial line ends the run at the open.
TEST(E2EPortChecks, NoSerialLineIsRefusedAtTheOpen)
{
    Fixture fx;
    const std::string file = fx.MakeFile("not_a_port.txt", Pattern(100, 5));
    for (const std::string& port : {std::string("/dev/null"), file}) {
        SCOPED_TRACE(port);
        const ProcessResult r = RunProcess({ZOLK_QEX_PATH, "--port", port}, "", 10000);
        EXPECT_EQ(r.exitCode, kExitEarlyEnd) << r.out;
        EXPECT_NE(r.out.find("Failed open port(" + port + ")\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Reason : not a serial line ("), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("send data"), std::string::npos) << r.out;
    }
    EXPECT_EQ(ReadAll(file), Pattern(100, 5)) << "nothing may be written to a file given as the port";
}

// A refused query lets the run go on (the jobs may not need it); a run that
// was asked for the device information fails with it.
struct QueryCase {
    const char* name;
    std::vector<std::string> job;
    int exitCode;
    const char* verdict;
};

void PrintTo(const QueryCase& c, std::ostream* os) { *os << c.name; }

class E2ERefusedQuery : public testing::TestWithParam<QueryCase> {};

TEST_P(E2ERefusedQuery, VerdictFollowsTheJob)
{
    const QueryCase& c = GetParam();
    Fixture fx;
    ASSERT_TRUE(fx.StartSim({"--firmware-running", "--refuse-command", "CHIP_INFO_CMD"}));
    std::vector<std::string> args;
    for (const std::string& a : c.job) {
        args.push_back(a == "IMAGE" ? fx.MakeFile("image.bin", Pattern(1024, 6)) : a);
    }
    const ProcessResult r = fx.Run(args, ZOLK_QEX_PATH, 60000);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_NE(r.out.find("Received NACK\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(c.verdict), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Jobs, E2ERefusedQuery,
                         testing::Values(QueryCase{"DeviceInfoFails", {"--device-info"}, 1, "Failed ZOLK\n"},
                                         QueryCase{"WriteByAddressGoesOn", {"-w", "IMAGE", "--storage", "snor"}, 0,
                                                   "Complete ZOLK\n"}),
                         CaseName());

}  // namespace
}  // namespace e2e
