// The board's faults during a write and dump by address: the ones the
// protocol recovers from, and the ones that end the run.
#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

struct FaultCase {
    const char* name;
    std::vector<std::string> fault;  // qex_sim options
    bool recovers;
    std::vector<std::string> messages;
};

// Test names show the case, not its bytes.
void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class E2EFault : public testing::TestWithParam<FaultCase> {};

// Bytes the host sends before the write's data: the firmware ping, the
// storage and chip information commands, WRITE_CMD.
constexpr size_t kBeforeWriteData = 4 * 24;
constexpr size_t kFileSize = 5120;  // 10 sectors: chunks of 2048, 2048 and 1024 bytes

TEST_P(E2EFault, WriteAndDump)
{
    const FaultCase& c = GetParam();
    Fixture fx;
    ASSERT_TRUE(fx.StartSim(BoardArgs(true, c.fault)));
    const Bytes data = Pattern(kFileSize, 41);
    const std::string image = fx.MakeFile("image.bin", data);
    // The dump file exists already: a run that fails must leave it alone.
    const Bytes previous = Pattern(77, 42);
    const std::string dump = fx.MakeFile("dump.bin", previous);
    const ProcessResult r = fx.Run({"-w", image, "-r", dump, "--storage", "snor", "--size", "10"}, ZOLK_QEX_PATH,
                                   60000);
    EXPECT_FALSE(r.timedOut) << r.out;
    for (const std::string& message : c.messages) {
        EXPECT_NE(r.out.find(message), std::string::npos) << message << "\n" << r.out;
    }
    if (c.recovers) {
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Complete ZOLK\n"), std::string::npos) << r.out;
        const Bytes snor = ReadAll(fx.Snor());
        ASSERT_GE(snor.size(), kFileSize);
        EXPECT_TRUE(Slice(snor, 0, kFileSize) == data);
        EXPECT_TRUE(ReadAll(dump) == data);
    } else {
        EXPECT_NE(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(r.out.find("Complete ZOLK"), std::string::npos) << r.out;
        EXPECT_TRUE(ReadAll(dump) == previous);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, E2EFault,
    testing::Values(
        FaultCase{"RefusedChunkIsSentAgain", {"--nack-chunk", "1"}, true, {}},
        FaultCase{"CorruptedDumpChunkIsReceivedAgain", {"--corrupt-dump-chunk", "1"}, true, {}},
        FaultCase{"ChunkRejectedAsInvalid",
                  {"--reject-chunk", "1"},
                  false,
                  {"Failed to send file\n", "Param1 : 0xFFFF0101(INVALID_CMD)", "Failed ZOLK\n"}},
        FaultCase{"WrongFinalCrc", {"--bad-final-crc"}, false, {"Receved CRC : ", "Failed ZOLK\n"}},
        FaultCase{"HangUpInTheWrite",
                  {"--hangup-after", std::to_string(kBeforeWriteData + 24 + 2048 + 100)},
                  false,
                  {"gone"}}),
    CaseName());

}  // namespace
}  // namespace e2e
