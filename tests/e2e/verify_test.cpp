// --verify: what a write put into storage is read back and compared with the
// file, against a board that keeps every byte and one whose flash does not
// keep some (qex_sim --weak-cells), by window and by bank.
#include <cstdio>

#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

struct VerifyCase {
    const char* name;
    bool byBank;
    // Weak bytes in snor: their address and count (count 0: a good board).
    size_t weakAddress;
    size_t weakCount;
    bool withDump;  // -r as well
};

void PrintTo(const VerifyCase& c, std::ostream* os) { *os << c.name; }

// By window: 12 KiB into snor at sector 2 of 4096 bytes. By bank: bank 0 of
// chip 30230 (2 MiB of eflash at 0, then snor at 0), a file 8 KiB longer than
// the eflash part.
constexpr size_t kWindowAddress = 0x2000;
constexpr size_t kWindowSize = 12288;
constexpr size_t kBankEflash = 2 * kMiB;
constexpr size_t kBankSnorPart = 8192;

std::string Hex(size_t value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%zX", value);
    return text;
}

// The message of a verify of `size` bytes of `storage` at `address` whose
// written bytes were `wrote`, with the bytes from weakOffset on read back
// erased.
std::string VerifyMessage(const char* storage, size_t address, const Bytes& wrote, size_t weakOffset, size_t weakCount)
{
    size_t differing = 0;
    size_t first = 0;
    for (size_t i = weakOffset; i < weakOffset + weakCount && i < wrote.size(); ++i) {
        if (wrote[i] != 0xFF) {
            first = differing == 0 ? i : first;
            ++differing;
        }
    }
    if (differing == 0) {
        return "Verify complete - " + std::to_string(wrote.size()) + " bytes of " + storage + " at " + Hex(address) +
               " match\n";
    }
    char text[200];
    std::snprintf(text, sizeof(text),
                  "Verify failed - %s at %s: %zu of %zu bytes differ, the first at byte %zu (wrote 0x%02X, read "
                  "0xFF)\n",
                  storage, Hex(address).c_str(), differing, wrote.size(), first, wrote[first]);
    return text;
}

class E2EVerify : public testing::TestWithParam<VerifyCase> {};

TEST_P(E2EVerify, ReadsBackAndCompares)
{
    const VerifyCase& c = GetParam();
    const bool weak = c.weakCount != 0;
    Fixture fx;
    std::vector<std::string> simArgs = BoardArgs(true);
    if (weak) {
        simArgs.push_back("--weak-cells");
        simArgs.push_back("snor:" + Hex(c.weakAddress) + ":" + std::to_string(c.weakCount));
    }
    ASSERT_TRUE(fx.StartSim(simArgs));

    const Bytes data = Pattern(c.byBank ? kBankEflash + kBankSnorPart : kWindowSize, 41);
    const std::string image = fx.MakeFile("image.bin", data);
    const std::string dump = fx.Path("dump.bin");
    std::vector<std::string> args = {"-w", image, "--verify"};
    if (c.byBank) {
        args.insert(args.end(), {"--bank", "0"});
    } else {
        args.insert(args.end(), {"--storage", "snor", "--addr", "2", "--sector-size", "4096"});
    }
    if (c.withDump) {
        args.insert(args.end(), {"-r", dump});
        if (!c.byBank) {
            args.insert(args.end(), {"--size", "3"});
        }
    }
    const ProcessResult r = fx.Run(args);

    // One line for every part written, failed or not; a bank write stops at
    // the part whose verify failed.
    std::vector<std::string> messages;
    if (c.byBank) {
        messages.push_back(VerifyMessage("eflash", 0, Slice(data, 0, kBankEflash), 0, 0));
        messages.push_back(
            VerifyMessage("snor", 0, Slice(data, kBankEflash, kBankSnorPart), c.weakAddress, c.weakCount));
    } else {
        messages.push_back(VerifyMessage("snor", kWindowAddress, data, c.weakAddress - kWindowAddress, c.weakCount));
    }
    for (const std::string& message : messages) {
        EXPECT_EQ(CountOf(r.out, message), 1u) << message << "\n" << r.out;
    }
    const bool failed = messages.back().rfind("Verify failed", 0) == 0;
    ASSERT_EQ(failed, weak) << "the pattern has erased bytes where the weak cells are";
    EXPECT_EQ(CountOf(r.out, "Verify "), messages.size() + CountOf(r.out, "Verify - reading back")) << r.out;

    const Bytes snor = ReadAll(fx.Snor());
    if (weak) {
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_NE(r.out.find("Failed ZOLK\n"), std::string::npos) << r.out;
        EXPECT_EQ(c.byBank, r.out.find("Failed to write in SNOR\n") != std::string::npos) << r.out;
        // A failed verify is a failed write: the dump is not done.
        if (c.withDump) {
            EXPECT_NE(r.out.find("Dump to " + dump + " is not done because the write failed\n"), std::string::npos)
                << r.out;
        }
        EXPECT_FALSE(fs::exists(dump));
        return;
    }
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Complete ZOLK\n"), std::string::npos) << r.out;
    if (c.byBank) {
        EXPECT_TRUE(Slice(ReadAll(fx.Eflash()), 0, kBankEflash) == Slice(data, 0, kBankEflash));
        EXPECT_TRUE(Slice(snor, 0, kBankSnorPart) == Slice(data, kBankEflash, kBankSnorPart));
    } else {
        EXPECT_TRUE(Slice(snor, kWindowAddress, kWindowSize) == data);
    }
    // The verify read into memory: only the dump asked for made a file.
    EXPECT_EQ(fs::exists(dump), c.withDump);
    if (c.withDump) {
        const Bytes dumped = ReadAll(dump);
        EXPECT_TRUE(Slice(dumped, 0, data.size()) == data);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boards, E2EVerify,
    testing::Values(VerifyCase{"GoodBoardByWindowThenDump", false, 0, 0, true},
                    VerifyCase{"GoodBoardByBank", true, 0, 0, false},
                    VerifyCase{"WeakCellsByWindowStopTheDump", false, kWindowAddress + 0x100, 3, true},
                    VerifyCase{"WeakCellsInTheSnorPartOfABank", true, 0x10, 2, false}),
    CaseName());

}  // namespace
}  // namespace e2e
