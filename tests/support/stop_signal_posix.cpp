// The POSIX stop handlers: a signal only records the request, the process
// goes on so that the run can end cleanly; a second one ends it at once.
#include <signal.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "common/file_data.h"
#include "support/atomic_file.h"
#include "support/stop_request.h"
#include "support/support_fixture.h"

namespace {

TEST(StopSignal, SignalsAreRecordedNotFatal)
{
    struct Case {
        int signalNumber;
        int exitStatus;
    };
    for (const Case c : {Case{SIGINT, 130}, Case{SIGTERM, 143}, Case{SIGHUP, 129}}) {
        ClearStopRequest();
        InstallStopHandlers();
        ASSERT_EQ(raise(c.signalNumber), 0);
        EXPECT_TRUE(StopRequested()) << c.signalNumber;
        EXPECT_EQ(StopExitStatus(), c.exitStatus);
    }
    ClearStopRequest();
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        signal(signalNumber, SIG_DFL);
    }
}

// A second request ends the process as the signal's default would, and no
// temporary file is left: the data that reached the system is kept as
// NAME.partial, an empty one is removed, and the file at NAME is as it was.
using StopTwiceTest = SupportDirTest;

TEST_F(StopTwiceTest, EndsAtOnceKeepingWhatWasWrittenAsPartial)
{
    struct Case {
        const char* name;
        size_t written;  // bytes handed to the file and flushed before the second request
    };
    for (const Case c : {Case{"data", 5000}, Case{"empty", 0}}) {
        const std::string dir = std::string("case_") + c.name;
        std::filesystem::create_directory(dir);
        const std::string path = dir + "/keep.bin";
        WriteAll(path, std::vector<uint8_t>{'o', 'l', 'd'});
        EXPECT_EXIT(
            {
                InstallStopHandlers();
                AtomicFile file;
                if (!file.Open(path.c_str())) {
                    _exit(3);
                }
                const std::vector<uint8_t> data(c.written, 0x5A);
                file.Write(data.data(), data.size());
                file.Flush();
                raise(SIGINT);  // the first request: recorded
                raise(SIGTERM); // the second: the end, here
                _exit(4);
            },
            testing::KilledBySignal(SIGTERM), "")
            << c.name;
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        if (c.written > 0) {
            EXPECT_EQ(names, (std::vector<std::string>{"keep.bin", "keep.bin.partial"})) << c.name;
            EXPECT_EQ(ReadAll(path + ".partial"), std::vector<uint8_t>(c.written, 0x5A)) << c.name;
        } else {
            EXPECT_EQ(names, (std::vector<std::string>{"keep.bin"})) << c.name;
        }
        EXPECT_EQ(ReadAll(path), (std::vector<uint8_t>{'o', 'l', 'd'})) << c.name;
    }
}

}  // namespace
