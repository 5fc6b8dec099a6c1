// Writes and dumps through the firmware, by bank and by address, and the low
// format, checked against the board's storage files and the dump files.
#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

struct BankCase {
    const char* name;
    std::vector<std::string> chip;  // qex_sim chip options
    uint32_t bank;
    size_t fileSize;
    // The bank as the table gives it.
    size_t eflashOffset, eflashSize, snorOffset, snorSize;
    bool accepted;
    std::vector<std::string> messages;
};

// Test names show the case, not its bytes.
void PrintTo(const BankCase& c, std::ostream* os) { *os << c.name; }

class E2EBank : public testing::TestWithParam<BankCase> {};

TEST_P(E2EBank, WriteThenDump)
{
    const BankCase& c = GetParam();
    Fixture fx;
    std::vector<std::string> simArgs = {"--firmware-running"};
    simArgs.insert(simArgs.end(), c.chip.begin(), c.chip.end());
    ASSERT_TRUE(fx.StartSim(simArgs));
    const Bytes data = Pattern(c.fileSize, 11);
    const std::string image = fx.MakeFile("image.bin", data);
    const std::string dump = fx.Path("dump.bin");
    const ProcessResult r = fx.Run({"-w", image, "-r", dump, "--bank", std::to_string(c.bank)});
    for (const std::string& message : c.messages) {
        EXPECT_NE(r.out.find(message), std::string::npos) << message << "\n" << r.out;
    }
    const Bytes eflash = ReadAll(fx.Eflash());
    const Bytes snor = ReadAll(fx.Snor());
    if (!c.accepted) {
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_NE(r.out.find("Failed ZOLK\n"), std::string::npos) << r.out;
        EXPECT_TRUE(AllErased(eflash, 0, eflash.size()));
        EXPECT_TRUE(AllErased(snor, 0, snor.size()));
        EXPECT_FALSE(fs::exists(dump));
        return;
    }
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Complete ZOLK\n"), std::string::npos) << r.out;

    // The file's head in eflash, the rest in snor from where eflash ended;
    // every other byte still erased.
    const size_t inEflash = std::min(c.eflashSize, c.fileSize);
    const size_t inSnor = c.fileSize - inEflash;
    ASSERT_GE(eflash.size(), c.eflashOffset + c.eflashSize);
    ASSERT_GE(snor.size(), c.snorOffset + c.snorSize);
    EXPECT_TRUE(Slice(eflash, c.eflashOffset, inEflash) == Slice(data, 0, inEflash));
    EXPECT_TRUE(Slice(snor, c.snorOffset, inSnor) == Slice(data, inEflash, inSnor));
    EXPECT_TRUE(AllErased(eflash, 0, c.eflashOffset));
    EXPECT_TRUE(AllErased(eflash, c.eflashOffset + inEflash, eflash.size() - c.eflashOffset - inEflash));
    EXPECT_TRUE(AllErased(snor, 0, c.snorOffset));
    EXPECT_TRUE(AllErased(snor, c.snorOffset + inSnor, snor.size() - c.snorOffset - inSnor));

    // The dump holds the eflash part followed by the snor part.
    const Bytes dumped = ReadAll(dump);
    ASSERT_EQ(dumped.size(), c.eflashSize + c.snorSize);
    EXPECT_TRUE(Slice(dumped, 0, c.fileSize) == data);
    EXPECT_TRUE(AllErased(dumped, c.fileSize, dumped.size() - c.fileSize));
}

const std::vector<std::string> kChip30230 = {"--chip", "0x30230", "--expand-flash", "--ecc"};

INSTANTIATE_TEST_SUITE_P(
    Rows, E2EBank,
    testing::Values(
        BankCase{"Chip30230_2_5MiB",
                 kChip30230,
                 0,
                 2 * kMiB + kMiB / 2,
                 0, 2 * kMiB, 0, kMiB,
                 true,
                 {"---bank info---\nbank - 0\neFlash offset : 0x0\neFlash size : 2097152 byte\n",
                  "---storage info---\neflash\noffset : 0x0\nsize : 2097152 byte\n",
                  "---storage info---\nsnor\noffset : 0x0\nsize : 524288 byte\n"}},
        BankCase{"Chip30230_3MiB", kChip30230, 0, 3 * kMiB, 0, 2 * kMiB, 0, kMiB, true, {}},
        BankCase{"Chip30230_OneByteTooMany",
                 kChip30230,
                 0,
                 3 * kMiB + 1,
                 0, 2 * kMiB, 0, kMiB,
                 false,
                 {"[ERROR] File size(3145729) > Storage size(3145728)\n"}},
        BankCase{"Chip20360_Bank1_NoEflashPart",
                 {"--chip", "0x20360", "--expand-flash", "--dual-bank"},
                 1,
                 100 * 1024,
                 0, 0, 0, 2 * kMiB,
                 true,
                 {"bank - 1\neFlash offset : 0x0\neFlash size : 0 byte\nSNOR offset : 0x0\nSNOR size : 2097152 byte\n"}},
        BankCase{"Chip30110_Bank1_EflashOffset",
                 {"--chip", "0x30110", "--dual-bank"},
                 1,
                 5000,
                 0x100000, 0x100000, 0, 0,
                 true,
                 {"---storage info---\neflash\noffset : 0x100000\nsize : 5000 byte\n"}},
        BankCase{"ChipWithoutRow",
                 {"--chip", "0x30110", "--ecc"},
                 0,
                 1000,
                 0, 0, 0, 0,
                 false,
                 {"Storage for the chip information below is not defined\nChip Number : 0x30110\nBank Number : "
                  "0\nDual Bank : false\nExpand Flash : false\nECC : true\n"}}),
    CaseName());

struct WindowCase {
    const char* name;
    const char* storage;
    const char* addr;  // sectors of 4096 bytes
    const char* size;
    size_t fileSize;
    size_t offset;  // bytes
    size_t written;
};

// Test names show the case, not its bytes.
void PrintTo(const WindowCase& c, std::ostream* os) { *os << c.name; }

class E2EWindow : public testing::TestWithParam<WindowCase> {};

TEST_P(E2EWindow, WriteThenDumpByAddress)
{
    const WindowCase& c = GetParam();
    Fixture fx;
    ASSERT_TRUE(fx.StartSim(BoardArgs(true)));
    const Bytes data = Pattern(c.fileSize, 21);
    const std::string image = fx.MakeFile("image.bin", data);
    const std::string dump = fx.Path("dump.bin");
    const ProcessResult r = fx.Run({"-w", image, "-r", dump, "--storage", c.storage, "--addr", c.addr, "--size",
                                    c.size, "--sector-size", "4096"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Complete ZOLK\n"), std::string::npos) << r.out;
    const Bytes written = ReadAll(std::string(c.storage) == "snor" ? fx.Snor() : fx.Eflash());
    const Bytes other = ReadAll(std::string(c.storage) == "snor" ? fx.Eflash() : fx.Snor());
    ASSERT_GE(written.size(), c.offset + c.written);
    EXPECT_TRUE(Slice(written, c.offset, c.written) == Slice(data, 0, c.written));
    EXPECT_TRUE(AllErased(written, 0, c.offset));
    EXPECT_TRUE(AllErased(written, c.offset + c.written, written.size() - c.offset - c.written));
    EXPECT_TRUE(AllErased(other, 0, other.size()));
    EXPECT_TRUE(ReadAll(dump) == Slice(data, 0, c.written));
}

INSTANTIATE_TEST_SUITE_P(Windows, E2EWindow,
                         testing::Values(WindowCase{"SnorWholeFile", "snor", "2", "3", 12288, 8192, 12288},
                                         WindowCase{"EflashHeadOfFile", "eflash", "1", "1", 12288, 4096, 4096}),
                         CaseName());

struct FormatCase {
    const char* name;
    bool nackSecondAnswer;
};

// Test names show the case, not its bytes.
void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class E2ELowFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(E2ELowFormat, ErasesOrEndsEarly)
{
    const FormatCase& c = GetParam();
    Fixture fx;
    // A board whose storage holds data from an earlier run.
    WriteAll(fx.Eflash(), Pattern(2 * kMiB, 31));
    WriteAll(fx.Snor(), Pattern(kMiB, 32));
    std::vector<std::string> simArgs = BoardArgs(true, {"--format-ms", "100"});
    if (c.nackSecondAnswer) {
        simArgs.push_back("--nack-format");
    }
    ASSERT_TRUE(fx.StartSim(simArgs));
    const ProcessResult r = fx.Run({"-l"});
    EXPECT_NE(r.out.find("Start to low format\n"), std::string::npos) << r.out;
    // The command names no storage: the user is told that all of it goes.
    const size_t warning = r.out.find("All storage of the board (eflash and snor) will be erased\n");
    EXPECT_NE(warning, std::string::npos) << r.out;
    EXPECT_LT(warning, r.out.find("Complete to receive ack for cmd(0xAAAA0015")) << r.out;
    EXPECT_NE(r.out.find("Please wait, low-format can take a long time!\n"), std::string::npos) << r.out;
    if (c.nackSecondAnswer) {
        EXPECT_EQ(r.exitCode, kExitEarlyEnd) << r.out << r.err;
        EXPECT_NE(r.out.find("Received NACK\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Complete to low format\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Complete ZOLK"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Failed ZOLK"), std::string::npos) << r.out;
        EXPECT_FALSE(HasDateLine(r.out)) << r.out;
    } else {
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Complete to low format\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Complete ZOLK\n"), std::string::npos) << r.out;
        const Bytes eflash = ReadAll(fx.Eflash());
        const Bytes snor = ReadAll(fx.Snor());
        EXPECT_TRUE(AllErased(eflash, 0, eflash.size()));
        EXPECT_TRUE(AllErased(snor, 0, snor.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, E2ELowFormat,
                         testing::Values(FormatCase{"Completes", false}, FormatCase{"NackAsSecondAnswer", true}),
                         CaseName());

}  // namespace
}  // namespace e2e
