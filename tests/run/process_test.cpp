// The built zolk_qex as a process: what it prints and returns on the runs
// that end before any target is reached.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "common/output_capture.h"
#include "common/sim_process.h"
#include "common/temp_dir.h"
#include "run/args.h"
#include "transport/port_list.h"

namespace {

// A run that hangs is killed rather than stalling the suite.
constexpr int kRunLimitMs = 30000;

// Runs zolk_qex in a scratch directory with the given standard input.
ProcessResult RunZolk(const std::vector<std::string>& args, const std::string& input)
{
    TempDir dir("zolk_run_cwd");
    EXPECT_TRUE(dir.Made());
    std::vector<std::string> argv{ZOLK_QEX_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult r = RunProcess(argv, input, kRunLimitMs, dir.String());
    const std::error_code ec = dir.Remove();
    EXPECT_FALSE(ec) << ec.message();
    return r;
}

const std::regex kBanner(R"(^\[main:[0-9]+\] ZOLK QEX v0\.0\.1 - [0-9]{4}\.[0-9]{1,2}\.[0-9]{1,2} [0-9]{2}:[0-9]{2}:[0-9]{2}\n)");

// Standard output after the banner line, which must come first.
std::string AfterBanner(const std::string& out)
{
    std::smatch m;
    if (!std::regex_search(out, m, kBanner)) {
        ADD_FAILURE() << "no banner in: " << out;
        return out;
    }
    return m.suffix();
}

// What --help prints: the usage text and the block of this build.
std::string HelpText()
{
    OutputCapture cap;
    PrintUsage();
    PrintBuildOptions();
    return cap.Out();
}

// What a run prints before the port prompt: the short list of this
// machine's serial ports (or that there is none).
std::string PromptPortList()
{
    OutputCapture cap;
    PrintPortsBeforePrompt(ListSerialPorts());
    return cap.Out();
}

TEST(ZolkProcess, NoArgumentsPrintsHintAndEndsEarly)
{
    const ProcessResult r = RunZolk({}, "");
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(AfterBanner(r.out), "Try '--help' for more information.\n");
    EXPECT_EQ(r.err, "");
}

TEST(ZolkProcess, HelpPrintsUsageWithoutPrompt)
{
    const ProcessResult r = RunZolk({"--help"}, "3\n");
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(AfterBanner(r.out), HelpText());
}

TEST(ZolkProcess, ScannerErrorNamesTheProgramPath)
{
    const ProcessResult r = RunZolk({"-b"}, "");
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.err, std::string(ZOLK_QEX_PATH) + ": unknown option -- b\n");
    EXPECT_EQ(AfterBanner(r.out), "Try '--help' for more information.\n");
}

// What the user types at the prompt decides the device, or ends the run
// before any device is opened.
TEST(ZolkProcess, PortPrompt)
{
    const struct {
        const char* input;
        const char* expected;  // text that must follow the prompt
    } cases[] = {
        {"/dev/zolk_missing_tty\n", "Failed open port(/dev/zolk_missing_tty)\n"},
        {"  /dev/zolk_missing_tty \r\n", "Failed open port(/dev/zolk_missing_tty)\n"},
        {"0x5\n", "Failed open port(/dev/ttyS4)\n"},
        {"", "No com port entered - end of input\n"},
        {"\n", "No com port entered\n"},
        {"abc\n", "\"abc\" is neither a com port number nor a device\n"},
        {"0\n", "\"0\" is neither a com port number nor a device\n"},
        {"5x\n", "\"5x\" is neither a com port number nor a device\n"},
        {"-5\n", "\"-5\" is neither a com port number nor a device\n"},
        {"4294967296\n", "\"4294967296\" is neither a com port number nor a device\n"},
    };
    const std::string portList = PromptPortList();
    for (const auto& c : cases) {
        const ProcessResult r = RunZolk({"-g"}, c.input);
        EXPECT_EQ(r.exitCode, 255) << c.input;
        const std::string out = AfterBanner(r.out);
        // Typed into a pipe, nothing ends the prompt's line: the program does.
        EXPECT_EQ(out.rfind(portList + "Com port num : \n[", 0), 0u) << out;
        EXPECT_NE(out.find(c.expected), std::string::npos) << out;
        EXPECT_EQ(out.find("ZOLK\n"), std::string::npos) << out;
    }
}

// A stop request while the prompt waits ends the run at once.
TEST(ZolkProcess, SignalAtThePortPrompt)
{
    SignalPlan plan;
    plan.signalNumber = SIGINT;
    plan.when = [](const std::string& out) { return out.find("Com port num : ") != std::string::npos; };
    TempDir dir("zolk_run_cwd");
    ASSERT_TRUE(dir.Made());
    const ProcessResult r = RunProcess({ZOLK_QEX_PATH, "-g"}, kRunLimitMs, dir.String(), &plan);
    const std::error_code removed = dir.Remove();
    EXPECT_FALSE(removed) << removed.message();
    ASSERT_TRUE(plan.sent);
    EXPECT_EQ(r.exitCode, 130) << r.out;
    const std::string out = AfterBanner(r.out);
    const std::string portList = PromptPortList();
    ASSERT_EQ(out.rfind(portList, 0), 0u) << out;
    const std::regex stopped(
        R"(^Com port num : \n\[main:[0-9]+\] Run stopped by SIGINT - nothing more is sent to the board\n$)");
    EXPECT_TRUE(std::regex_search(out.substr(portList.size()), stopped)) << r.out;
}

TEST(ZolkProcess, PortPathGivenOnCommandLine)
{
    const ProcessResult r = RunZolk({"--port", "/dev/zolk_missing_tty"}, "3\n");
    EXPECT_EQ(r.exitCode, 255);
    const std::string out = AfterBanner(r.out);
    EXPECT_EQ(out.find("Com port num : "), std::string::npos) << out;
    EXPECT_NE(out.find("Failed open port(/dev/zolk_missing_tty)\n"), std::string::npos) << out;
}

// This machine may have serial ports or none: the run lists what the lister
// finds, or says there is none and ends 1.
TEST(ZolkProcess, ListPortsOnThisMachine)
{
    OutputCapture cap;
    const bool found = PrintPortList(ListSerialPorts());
    const std::string expected = cap.Out();
    const ProcessResult r = RunZolk({"--list-ports"}, "");
    EXPECT_EQ(r.exitCode, found ? 0 : 1) << r.out;
    EXPECT_EQ(AfterBanner(r.out), expected);
    EXPECT_EQ(r.err, "");
}

// Without exactly one USB serial port, --port auto ends the run with the
// list, before any device is opened and without asking.
TEST(ZolkProcess, PortAutoRefusedOnThisMachine)
{
    const std::vector<SerialPortInfo> ports = ListSerialPorts();
    std::string device;
    OutputCapture cap;
    const bool chosen = ChooseAutoPort(ports, &device);
    const std::string expected = cap.Out();
    if (chosen) {
        GTEST_SKIP() << "this machine has one USB serial port (" << device << "): the run would open it";
    }
    const ProcessResult r = RunZolk({"--port", "auto"}, "3\n");
    EXPECT_EQ(r.exitCode, 255) << r.out;
    EXPECT_EQ(AfterBanner(r.out), expected);
}

// A write file that cannot be sent fails the run before the port is opened.
TEST(ZolkProcess, MissingWriteFileFailsBeforeThePort)
{
    const ProcessResult r = RunZolk({"-w", "missing.bin", "--port", "/dev/zolk_missing_tty"}, "");
    EXPECT_EQ(r.exitCode, 1);
    const std::string out = AfterBanner(r.out);
    EXPECT_EQ(out.find("Failed open port"), std::string::npos) << out;
    EXPECT_NE(out.find("missing.bin"), std::string::npos) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\[main:[0-9]+\] Failed ZOLK\n)"))) << out;
}

TEST(ZolkReadme, UsageBlockMatchesTheProgram)
{
    std::ifstream readme(std::string(ZOLK_SOURCE_DIR) + "/README.md");
    if (!readme) {
        GTEST_SKIP() << "no README.md";
    }
    std::string line, block;
    bool inBlock = false, found = false;
    while (std::getline(readme, line)) {
        if (!inBlock && line.rfind("Usage : zolk_qex", 0) == 0) {
            inBlock = found = true;
        }
        if (inBlock) {
            if (line.rfind("```", 0) == 0) {
                break;
            }
            block += line + "\n";
        }
    }
    ASSERT_TRUE(found) << "README.md has no usage block";
    EXPECT_EQ(block, HelpText());
}

}  // namespace
