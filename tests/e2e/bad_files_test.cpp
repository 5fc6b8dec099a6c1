// Bad write files, dump paths and log files: each run ends with a clear
// message and the right result, and no file of the user is lost.
#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

struct BadFileCase {
    const char* name;
    std::vector<std::string> args;      // {name} stands for a file of the working directory
    int exitCode;
    std::vector<std::string> messages;  // likewise
    bool beforePort = true;             // refused before the port is opened: nothing sent
};

// Test names show the case, not its bytes.
void PrintTo(const BadFileCase& c, std::ostream* os) { *os << c.name; }

class E2EBadFile : public testing::TestWithParam<BadFileCase> {};

TEST_P(E2EBadFile, RefusedWithoutLosingAFile)
{
    const BadFileCase& c = GetParam();
    Fixture fx;
    const fs::path trace = fx.Dir() / "trace.jsonl";
    ASSERT_TRUE(fx.StartSim(BoardArgs(true, {"--trace", trace.string()})));
    const Bytes image = Pattern(5120, 51);
    const Bytes kept = Pattern(300, 52);
    const std::string logText = "a regular file where the log directory would go\n";
    fx.MakeFile("img.bin", image);
    fx.MakeFile("keep.bin", kept);
    fx.MakeFile("empty.bin", {});
    fx.MakeFile("plain", Pattern(10, 53));
    fx.MakeFile("log", Bytes(logText.begin(), logText.end()));
    fs::create_directory(fx.Path("adir"));
    fs::create_symlink(fx.Path("img.bin"), fx.Path("link.bin"));

    std::vector<std::string> args;
    for (const std::string& arg : c.args) {
        args.push_back(fx.Expand(arg));
    }
    const ProcessResult r = fx.Run(args, ZOLK_QEX_PATH, 60000);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    for (const std::string& message : c.messages) {
        const std::string expanded = fx.Expand(message);
        EXPECT_NE(r.out.find(expanded), std::string::npos) << expanded << "\n" << r.out;
    }
    EXPECT_LE(CountOf(r.out, "Failed to save log"), 1u) << r.out;  // one warning at most
    if (c.exitCode == 1) {
        EXPECT_NE(r.out.find("Failed ZOLK\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Complete ZOLK"), std::string::npos) << r.out;
    }
    if (c.beforePort) {
        EXPECT_EQ(r.out.find("open port"), std::string::npos) << r.out;
        fx.Sim().Stop();
        EXPECT_TRUE(ReceivedPackets(trace).empty());
    }

    // Nothing was written to the board, and every file is as it was.
    const Bytes eflash = ReadAll(fx.Eflash());
    const Bytes snor = ReadAll(fx.Snor());
    EXPECT_TRUE(AllErased(eflash, 0, eflash.size()));
    EXPECT_TRUE(AllErased(snor, 0, snor.size()));
    EXPECT_TRUE(ReadAll(fx.Path("img.bin")) == image);
    EXPECT_TRUE(ReadAll(fx.Path("keep.bin")) == kept);
    EXPECT_TRUE(fs::is_symlink(fx.Path("link.bin")));
    EXPECT_TRUE(ReadAll(fx.Path("log")) == Bytes(logText.begin(), logText.end()));
    EXPECT_FALSE(fs::exists(fx.Path("nodir")));
    EXPECT_EQ(fx.WorkFiles(), (std::vector<std::string>{"adir", "empty.bin", "img.bin", "keep.bin", "link.bin", "log",
                                                        "plain"}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, E2EBadFile,
    testing::Values(
        BadFileCase{"MissingWriteFileByAddress",
                    {"-w", "{missing.bin}", "--storage", "snor"},
                    1,
                    {"Write file {missing.bin} cannot be opened - No such file or directory\n"}},
        BadFileCase{"MissingWriteFileByBank",
                    {"-w", "{missing.bin}"},
                    1,
                    {"Write file {missing.bin} cannot be opened - No such file or directory\n"}},
        BadFileCase{"EmptyWriteFileByAddress",
                    {"-w", "{empty.bin}", "--storage", "snor"},
                    1,
                    {"Write file {empty.bin} is empty"}},
        BadFileCase{"EmptyWriteFileByBank", {"-w", "{empty.bin}"}, 1, {"Write file {empty.bin} is empty"}},
        BadFileCase{"DirectoryWriteFileByAddress",
                    {"-w", "{adir}", "--storage", "snor"},
                    1,
                    {"Write file {adir} is a directory"}},
        BadFileCase{"DirectoryWriteFileByBank", {"-w", "{adir}"}, 1, {"Write file {adir} is a directory"}},
        BadFileCase{"EmptyZolkFile", {"--zolk", "{empty.bin}"}, 1, {"ZOLK firmware file {empty.bin} is empty\n"}},
        BadFileCase{"MissingZolkFile",
                    {"--zolk", "{missing.bin}", "--hsm", "{img.bin}"},
                    1,
                    {"ZOLK firmware file {missing.bin} cannot be opened - No such file or directory\n"}},
        BadFileCase{"HsmFileTooShort",
                    {"--hsm", "{img.bin}"},
                    1,
                    {"HSM file {img.bin} holds 5120 bytes, less than the 73728 bytes needed\n"}},
        BadFileCase{"DumpIntoMissingDirectory",
                    {"-r", "{nodir/dump.bin}", "--storage", "snor", "--size", "8"},
                    1,
                    {"Dump file {nodir/dump.bin} cannot be created - No such file or directory\n"}},
        BadFileCase{"DumpUnderRegularFile",
                    {"-r", "{plain/dump.bin}", "--storage", "snor", "--size", "8"},
                    1,
                    {"Dump file {plain/dump.bin} cannot be created - Not a directory\n"}},
        BadFileCase{"DumpIntoFullDevice",
                    {"-r", "/dev/full", "--storage", "snor", "--size", "8"},
                    1,
                    {"Dump into /dev/full failed - "},
                    false},
        BadFileCase{"DumpOverTheWriteFile",
                    {"-w", "{img.bin}", "-r", "{img.bin}", "--storage", "snor", "--size", "8"},
                    1,
                    {"Dump file {img.bin} is the same file as the write file {img.bin}"}},
        BadFileCase{"DumpThroughALinkToTheWriteFile",
                    {"-w", "{img.bin}", "-r", "{link.bin}"},
                    1,
                    {"Dump file {link.bin} is the same file as the write file {img.bin}"}},
        BadFileCase{"LogDirectoryIsARegularFile",
                    {"--save-log"},
                    0,
                    {"Failed to save log", "Complete ZOLK\n"},
                    false}),
    CaseName());

}  // namespace
}  // namespace e2e
