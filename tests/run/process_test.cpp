// The built zolk_qex as a process: what it prints and returns on the runs
// that end before any target is reached.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "run/args.h"

namespace {

struct ProcessResult {
    int status = -1;  // exit status, -1 when the process did not exit normally
    std::string out, err;
};

std::string ReadFd(int fd)
{
    std::string text;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) {
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

int TempFd()
{
    char name[] = "/tmp/zolk_run_proc_XXXXXX";
    const int fd = mkstemp(name);
    unlink(name);
    return fd;
}

// Runs zolk_qex in a scratch directory with the given standard input.
ProcessResult RunZolk(const std::vector<std::string>& args, const std::string& input)
{
    char dir[] = "/tmp/zolk_run_cwd_XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    const int in = TempFd(), out = TempFd(), err = TempFd();
    EXPECT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    lseek(in, 0, SEEK_SET);

    std::vector<std::string> storage{ZOLK_QEX_PATH};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : storage) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        // A run that hangs is killed rather than stalling the suite.
        alarm(30);
        if (chdir(dir) != 0) {
            _exit(126);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    ProcessResult r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    r.out = ReadFd(out);
    r.err = ReadFd(err);
    close(in);
    close(out);
    close(err);
    std::string cleanup = std::string("rm -rf ") + dir;
    EXPECT_EQ(system(cleanup.c_str()), 0);
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

std::string UsageText()
{
    fflush(stdout);
    const int fd = TempFd();
    const int saved = dup(1);
    dup2(fd, 1);
    PrintUsage();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text = ReadFd(fd);
    close(fd);
    return text;
}

TEST(ZolkProcess, NoArgumentsPrintsHintAndEndsEarly)
{
    const ProcessResult r = RunZolk({}, "");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(AfterBanner(r.out), "Try '--help' for more information.\n");
    EXPECT_EQ(r.err, "");
}

TEST(ZolkProcess, HelpPrintsUsageWithoutPrompt)
{
    const ProcessResult r = RunZolk({"--help"}, "3\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(AfterBanner(r.out), UsageText());
}

TEST(ZolkProcess, ScannerErrorNamesTheProgramPath)
{
    const ProcessResult r = RunZolk({"-b", "1"}, "");
    EXPECT_EQ(r.status, 255);
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
        {"  /dev/zolk_missing_tty trailing\n", "Failed open port(/dev/zolk_missing_tty)\n"},
        {"", "No com port entered\n"},
        {"abc\n", "\"abc\" is neither a com port number nor a device\n"},
        {"0\n", "\"0\" is neither a com port number nor a device\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = RunZolk({"-g"}, c.input);
        EXPECT_EQ(r.status, 255) << c.input;
        const std::string out = AfterBanner(r.out);
        EXPECT_EQ(out.rfind("Com port num : ", 0), 0u) << out;
        EXPECT_NE(out.find(c.expected), std::string::npos) << out;
        EXPECT_EQ(out.find("ZOLK\n"), std::string::npos) << out;
    }
}

TEST(ZolkProcess, PortPathGivenOnCommandLine)
{
    const ProcessResult r = RunZolk({"--port", "/dev/zolk_missing_tty"}, "3\n");
    EXPECT_EQ(r.status, 255);
    const std::string out = AfterBanner(r.out);
    EXPECT_EQ(out.find("Com port num : "), std::string::npos) << out;
    EXPECT_NE(out.find("Failed open port(/dev/zolk_missing_tty)\n"), std::string::npos) << out;
}

// A write file that cannot be sent fails the run before the port is opened.
TEST(ZolkProcess, MissingWriteFileFailsBeforeThePort)
{
    const ProcessResult r = RunZolk({"-w", "missing.bin", "--port", "/dev/zolk_missing_tty"}, "");
    EXPECT_EQ(r.status, 1);
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
    EXPECT_EQ(block, UsageText());
}

}  // namespace
