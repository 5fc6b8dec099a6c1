// Command lines that would do something other than what they say are
// refused before the port is opened: a message, the hint line, the early
// end, and nothing sent to the board.
#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

struct RefusalCase {
    const char* name;
    std::vector<std::string> args;  // after --port; {img.bin} is a 5000-byte file, {dump.bin} a new dump path
    std::string message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class E2ERefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(E2ERefusal, NothingSent)
{
    const RefusalCase& c = GetParam();
    Fixture fx;
    const fs::path trace = fx.Dir() / "trace.jsonl";
    ASSERT_TRUE(fx.StartSim(BoardArgs(true, {"--trace", trace.string()})));
    fx.MakeFile("img.bin", Pattern(5000, 81));
    std::vector<std::string> args;
    for (const std::string& arg : c.args) {
        args.push_back(fx.Expand(arg));
    }
    const ProcessResult r = fx.Run(args, ZOLK_QEX_PATH, 30000);
    EXPECT_EQ(r.exitCode, kExitEarlyEnd) << r.out << r.err;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.message << "\n" << r.out;
    EXPECT_NE(r.out.find("Try '--help' for more information.\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("open port"), std::string::npos) << r.out;
    EXPECT_EQ(fx.WorkFiles(), std::vector<std::string>{"img.bin"});
    fx.Sim().Stop();
    EXPECT_TRUE(ReceivedPackets(trace).empty());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, E2ERefusal,
    testing::Values(
        RefusalCase{"LowFormatLimitedToAStorage",
                    {"--low-format", "--storage", "snor"},
                    "A low format erases all storage of the board (eflash and snor) - --storage cannot limit it"},
        RefusalCase{"BankWriteWithAnAddress",
                    {"-w", "{img.bin}", "--bank", "0", "--addr", "8"},
                    "--addr needs --storage [snor|eflash] - a write or dump by bank covers the bank's eflash and "
                    "snor parts"},
        RefusalCase{"BankDumpWithSizeAndAddress",
                    {"-r", "{dump.bin}", "--bank", "1", "--size", "0x100", "--addr", "0x1234"},
                    "--addr with --size needs --storage [snor|eflash]"},
        RefusalCase{"UnknownStorageName",
                    {"-w", "{img.bin}", "--storage", "SNOR"},
                    "\"SNOR\" is invalid storage type - the storage types are snor and eflash\n"},
        RefusalCase{"StrayArgument",
                    {"--device-info", "extra"},
                    "Unexpected argument : extra - not an option nor the value of one\n"},
        RefusalCase{"OptionWhereTheFileNameShouldBe",
                    {"-r", "--bank", "0"},
                    "The file name of -r begins with '-' : --bank - is the file name missing? Write ./--bank"},
        RefusalCase{"EmptyValue", {"-w", "{img.bin}", "--port", ""}, "The value of --port is empty\n"},
        RefusalCase{"NegativeSize", {"-r", "{dump.bin}", "--storage", "snor", "--size", "-1"}, "-1 is invalid value\n"},
        RefusalCase{"NumberWithTrailingJunk", {"--bank", "1x"}, "1x is invalid value\n"},
        RefusalCase{"NumberTooLarge",
                    {"-w", "{img.bin}", "--storage", "snor", "--addr", "0x10000000000000000"},
                    "0x10000000000000000 is invalid value\n"}),
    CaseName());

}  // namespace
}  // namespace e2e
