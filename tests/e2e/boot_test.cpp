// Whole runs of zolk_qex against qex_sim: the firmware already running, the
// boot load from reset, its failures, and a per-chip build form.
#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

TEST(E2ERun, FirmwareRunningNoJob)
{
    Fixture fx;
    ASSERT_TRUE(fx.StartSim(BoardArgs(true)));
    const ProcessResult r = fx.Run({});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("ZOLK QEX v0.0.1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("QEX 0x30230: eflash"), std::string::npos) << r.out;  // the storage information text
    EXPECT_NE(r.out.find("Complete ZOLK\n"), std::string::npos) << r.out;
    EXPECT_TRUE(HasDateLine(r.out)) << r.out;
    EXPECT_EQ(r.out.find("Complete to send start msg"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Enforce chipnumber"), std::string::npos) << r.out;
}

// Where the boot load takes the HSM image from.
struct BootSource {
    const char* name;
    bool hsmFile;  // --hsm; otherwise the write file holds the HSM image
};

// Test names show the case, not its bytes.
void PrintTo(const BootSource& c, std::ostream* os) { *os << c.name; }

class E2EBootLoad : public testing::TestWithParam<BootSource> {};

TEST_P(E2EBootLoad, LoadsBothImagesThenRuns)
{
    Fixture fx;
    ASSERT_TRUE(fx.StartSim(BoardArgs(false)));
    const Bytes image = Pattern(kHsmFileSize, 1);
    const std::string zolk = fx.MakeFile("zolk.bin", Pattern(kZolkImageSize, 2));
    const std::string source = fx.MakeFile(GetParam().hsmFile ? "hsm.bin" : "image.bin", image);
    std::vector<std::string> args = {"--zolk", zolk};
    if (GetParam().hsmFile) {
        args.insert(args.end(), {"--hsm", source});
    } else {
        // The write file is also written: by address into snor.
        args.insert(args.end(), {"-w", source, "--storage", "snor"});
    }
    const ProcessResult r = fx.Run(args);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(CountOf(r.out, "Complete to send start msg\n"), 1u) << r.out;
    EXPECT_EQ(CountOf(r.out, "Complete to send hsm\n"), 1u) << r.out;
    EXPECT_NE(r.out.find("Complete to send zolk\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Complete to load ZOLK F/W\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ZOLK firmware started (qex_sim)"), std::string::npos) << r.out;  // echoed start-up text
    EXPECT_NE(r.out.find("Complete ZOLK\n"), std::string::npos) << r.out;
    EXPECT_TRUE(HasDateLine(r.out)) << r.out;
    if (!GetParam().hsmFile) {
        const Bytes snor = ReadAll(fx.Snor());
        ASSERT_GE(snor.size(), image.size());
        EXPECT_TRUE(Slice(snor, 0, image.size()) == image);
        EXPECT_TRUE(AllErased(snor, image.size(), snor.size() - image.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, E2EBootLoad,
                         testing::Values(BootSource{"HsmFile", true}, BootSource{"HsmFromWriteFile", false}),
                         CaseName());

TEST(E2EBootRetry, FirmwareTransferFailsOnceAndStartsAgain)
{
    Fixture fx;
    // The board resets in the middle of the ZOLK image. Bytes before it: the
    // firmware ping (24), the start packet (16), the HSM announcement (16)
    // and image (0x10000), the ZOLK announcement (16).
    const size_t beforeZolkImage = 24 + 16 + 16 + 0x10000 + 16;
    ASSERT_TRUE(fx.StartSim(BoardArgs(false, {"--reset-after", std::to_string(beforeZolkImage + kZolkImageSize / 2)})));
    const std::string hsm = fx.MakeFile("hsm.bin", Pattern(kHsmFileSize, 3));
    const std::string zolk = fx.MakeFile("zolk.bin", Pattern(kZolkImageSize, 4));
    const ProcessResult r = fx.Run({"--zolk", zolk, "--hsm", hsm});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    // The second attempt starts from the handshake and sends the HSM again.
    EXPECT_EQ(CountOf(r.out, "Complete to send start msg\n"), 2u) << r.out;
    EXPECT_EQ(CountOf(r.out, "Complete to send hsm\n"), 2u) << r.out;
    EXPECT_EQ(CountOf(r.out, "Complete to send zolk\n"), 1u) << r.out;
    EXPECT_NE(r.out.find("Complete to load ZOLK F/W\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Complete ZOLK\n"), std::string::npos) << r.out;
}

// Failures the run finds when the board needs a boot load: the image files
// are checked only then (a board whose firmware runs needs none).
struct BootFailure {
    const char* name;
    std::vector<std::string> simArgs;
    std::vector<std::string> args;      // {hsm}, {zolk} and {short} stand for the files of the test
    std::vector<std::string> messages;  // likewise
    size_t startMessages;               // how often the handshake went through
};

// Test names show the case, not its bytes.
void PrintTo(const BootFailure& c, std::ostream* os) { *os << c.name; }

class E2EBootFailure : public testing::TestWithParam<BootFailure> {};

std::string WithFiles(std::string text, const std::vector<std::pair<std::string, std::string>>& files)
{
    for (const auto& [key, path] : files) {
        for (size_t at = text.find(key); at != std::string::npos; at = text.find(key)) {
            text.replace(at, key.size(), path);
        }
    }
    return text;
}

TEST_P(E2EBootFailure, EndsEarlyWithAClearMessage)
{
    const BootFailure& c = GetParam();
    Fixture fx;
    ASSERT_TRUE(fx.StartSim(BoardArgs(false, c.simArgs)));
    const std::vector<std::pair<std::string, std::string>> files = {
        {"{hsm}", fx.MakeFile("hsm.bin", Pattern(kHsmFileSize, 5))},
        {"{zolk}", fx.MakeFile("zolk.bin", Pattern(4096, 6))},
        {"{short}", fx.MakeFile("short.bin", Pattern(5000, 7))},
    };
    std::vector<std::string> args;
    for (const std::string& arg : c.args) {
        args.push_back(WithFiles(arg, files));
    }
    const ProcessResult r = fx.Run(args);
    EXPECT_EQ(r.exitCode, kExitEarlyEnd) << r.out << r.err;
    for (const std::string& message : c.messages) {
        const std::string expanded = WithFiles(message, files);
        EXPECT_NE(r.out.find(expanded), std::string::npos) << expanded << "\n" << r.out;
    }
    EXPECT_EQ(r.out.find("(null)"), std::string::npos) << r.out;
    EXPECT_EQ(CountOf(r.out, "Complete to send start msg\n"), c.startMessages) << r.out;
    EXPECT_EQ(r.out.find("Complete ZOLK"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Failed ZOLK"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, E2EBootFailure,
    testing::Values(
        BootFailure{"NoZolkOption",
                    {},
                    {"--hsm", "{hsm}"},
                    {"No ZOLK firmware file given (--zolk [zolk rom]) - the board needs a boot load\n",
                     "You need to check mandatory files\n"},
                    0},
        BootFailure{"NoHsmSource",
                    {},
                    {"--zolk", "{zolk}"},
                    {"No HSM image source given (--hsm [qex rom], or a write file that holds the HSM image)",
                     "You need to check mandatory files\n"},
                    0},
        BootFailure{"WriteFileTooShortForTheHsmImage",
                    {},
                    {"--zolk", "{zolk}", "-w", "{short}", "--storage", "snor"},
                    {"HSM image source {short} holds 5000 bytes", "You need to check mandatory files\n"},
                    0},
        BootFailure{"ImagesRefusedEveryTime",
                    {"--refuse-image"},
                    {"--zolk", "{zolk}", "--hsm", "{hsm}"},
                    {"Received NACK\n", "Boot ROM refused the images 3 times - check the HSM and ZOLK files\n"},
                    3}),
    CaseName());

#ifdef ZOLK_QEX_CHIP_PATH
// The per-chip form talks at 115200 to the boot ROM and 921600 to the
// firmware, and looks the bank up under its own chip number whatever the
// board reports.
TEST(E2EPerChip, BootsWritesAndDumpsUnderTheEnforcedChip)
{
    Fixture fx;
    ASSERT_TRUE(fx.StartSim({"--form", "per-chip", "--chip", "0x20360", "--expand-flash", "--ecc"}));
    const std::string hsm = fx.MakeFile("hsm.bin", Pattern(kHsmFileSize, 7));
    const std::string zolk = fx.MakeFile("zolk.bin", Pattern(4096, 8));
    const Bytes data = Pattern(5000, 9);
    const std::string image = fx.MakeFile("image.bin", data);
    const std::string dump = fx.Path("dump.bin");
    const ProcessResult r =
        fx.Run({"--zolk", zolk, "--hsm", hsm, "-w", image, "-r", dump, "--bank", "0"}, ZOLK_QEX_CHIP_PATH);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Complete to load ZOLK F/W\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Enforce chipnumber = 30230\n"), std::string::npos) << r.out;
    // Row of chip 30230 with expand flash and ECC: eflash 2 MiB, snor 1 MiB.
    EXPECT_NE(r.out.find("eFlash size : 2097152 byte\nSNOR offset : 0x0\nSNOR size : 1048576 byte\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Complete ZOLK\n"), std::string::npos) << r.out;
    const Bytes eflash = ReadAll(fx.Eflash());
    ASSERT_GE(eflash.size(), data.size());
    EXPECT_TRUE(Slice(eflash, 0, data.size()) == data);
    const Bytes dumped = ReadAll(dump);
    ASSERT_EQ(dumped.size(), 3u * 1024 * 1024);
    EXPECT_TRUE(Slice(dumped, 0, data.size()) == data);
    EXPECT_TRUE(AllErased(dumped, data.size(), dumped.size() - data.size()));
}
#endif

}  // namespace
}  // namespace e2e
