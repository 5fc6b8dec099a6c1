// The stop request and the platform file calls every atomic output uses.
#include <chrono>
#include <fstream>

#include "common/file_data.h"
#include "support/clock.h"
#include "support/os_file.h"
#include "support/stop_request.h"
#include "support/support_fixture.h"

namespace {

class StopRequestTest : public testing::Test {
protected:
    void TearDown() override { ClearStopRequest(); }
};

TEST_F(StopRequestTest, FirstRequestWinsAndGivesTheExitStatus)
{
    EXPECT_FALSE(StopRequested());
    EXPECT_EQ(StopSignal(), 0);
    RequestStop(15);
    RequestStop(2);
    EXPECT_TRUE(StopRequested());
    EXPECT_EQ(StopSignal(), 15);
    EXPECT_STREQ(StopSignalName(), "SIGTERM");
    EXPECT_EQ(StopExitStatus(), 143);
}

// A pause must not hold a stopped run: with the request recorded, a pause
// of ten minutes returns instead of waiting it out.
TEST_F(StopRequestTest, PauseEndsWhenStopIsRequested)
{
    SleepFunction previous = SetSleepFunction(nullptr);
    RequestStop(2);
    const auto start = std::chrono::steady_clock::now();
    SleepMs(600000);
    const auto waited = std::chrono::steady_clock::now() - start;
    SetSleepFunction(previous);
    EXPECT_LT(waited, std::chrono::seconds(5));
}

using OsFileTest = SupportDirTest;

TEST_F(OsFileTest, CreateNewFileNeverReplacesAndRenameOverDoes)
{
    std::ofstream("old.bin", std::ios::binary) << "old contents";
    std::string reason;
    bool exists = false;
    EXPECT_EQ(CreateNewFile("old.bin", &reason, &exists), nullptr);
    EXPECT_TRUE(exists);
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(ReadText("old.bin"), "old contents");

    FILE* stream = CreateNewFile("new.tmp", &reason, &exists);
    ASSERT_NE(stream, nullptr) << reason;
    EXPECT_FALSE(exists);
    std::fputs("new contents", stream);
    EXPECT_TRUE(SyncFile(stream, &reason)) << reason;
    std::fclose(stream);
    EXPECT_TRUE(RenameOver("new.tmp", "old.bin", &reason)) << reason;
    EXPECT_TRUE(SyncDirectory(".", &reason)) << reason;
    EXPECT_EQ(ReadText("old.bin"), "new contents");
    EXPECT_FALSE(std::filesystem::exists("new.tmp"));
}

TEST_F(OsFileTest, FailuresGiveTheSystemsReason)
{
    std::string reason;
    EXPECT_EQ(CreateNewFile("missing-dir/x.bin", &reason), nullptr);
    EXPECT_FALSE(reason.empty());
    reason.clear();
    EXPECT_FALSE(RenameOver("absent.tmp", "x.bin", &reason));
    EXPECT_FALSE(reason.empty());
}

}  // namespace
