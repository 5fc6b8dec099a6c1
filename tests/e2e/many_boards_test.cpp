// A production line: eight boards side by side, one zolk_qex per port, all
// started in the same working directory at the same moment. Each board gets
// its own image and holds exactly that afterwards; each run keeps its own
// dump, report and log file.
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "common/json_check.h"
#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

constexpr int kBoards = 8;
constexpr size_t kImageSize = 256 * 1024;

TEST(E2EManyBoards, EightBoardsSideBySide)
{
    Fixture fx;
    ASSERT_FALSE(fx.Dir().empty());
    std::vector<std::unique_ptr<SimProcess>> sims;
    std::vector<Bytes> images;
    for (int i = 0; i < kBoards; ++i) {
        const fs::path storage = fx.Dir() / ("board" + std::to_string(i));
        sims.push_back(std::make_unique<SimProcess>(BoardArgs(true, {"--storage-dir", storage.string()})));
        ASSERT_TRUE(sims.back()->Started()) << sims.back()->Error();
        images.push_back(Pattern(kImageSize, 100 + static_cast<uint32_t>(i)));
        fx.MakeFile("image" + std::to_string(i) + ".bin", images.back());
    }

    std::vector<ProcessResult> results(kBoards);
    std::vector<std::thread> runs;
    for (int i = 0; i < kBoards; ++i) {
        runs.emplace_back([&, i]() {
            const std::string n = std::to_string(i);
            results[i] = RunProcess({"/usr/bin/env", "-C", fx.Work().string(), ZOLK_QEX_PATH, "--port",
                                     sims[i]->PtyPath(), "-w", "image" + n + ".bin", "--bank", "0", "--verify", "-r",
                                     "dump" + n + ".bin", "--report", "run" + n + ".json", "--save-log"},
                                    "", 120000);
        });
    }
    for (std::thread& run : runs) {
        run.join();
    }

    for (int i = 0; i < kBoards; ++i) {
        const std::string n = std::to_string(i);
        const ProcessResult& r = results[i];
        EXPECT_EQ(r.exitCode, 0) << "board " << i << "\n" << r.out << r.err;
        const Bytes eflash = ReadAll(fx.Dir() / ("board" + n) / "eflash.bin");
        ASSERT_GE(eflash.size(), kImageSize) << i;
        EXPECT_TRUE(Slice(eflash, 0, kImageSize) == images[i]) << "board " << i << " holds another image";
        EXPECT_TRUE(AllErased(eflash, kImageSize, eflash.size() - kImageSize)) << i;
        const Bytes dumped = ReadAll(fx.Work() / ("dump" + n + ".bin"));
        ASSERT_GE(dumped.size(), kImageSize) << i;
        EXPECT_TRUE(Slice(dumped, 0, kImageSize) == images[i]) << "dump " << i;

        JsonValue report;
        std::string error;
        ASSERT_TRUE(ParseJsonFile((fx.Work() / ("run" + n + ".json")).string(), &report, &error)) << i << ": " << error;
        EXPECT_EQ(report["verdict"].text, "complete") << i;
        EXPECT_EQ(report["port"]["device"].text, sims[i]->PtyPath()) << i;
    }

    // One log file for each run, each holding that run's own port.
    std::vector<std::string> logs;
    for (const fs::directory_entry& e : fs::directory_iterator(fx.Work() / "log")) {
        logs.push_back(ReadText(e.path()));
    }
    ASSERT_EQ(logs.size(), static_cast<size_t>(kBoards));
    for (int i = 0; i < kBoards; ++i) {
        const std::string opened = "Complete open port(" + sims[i]->PtyPath() + ")";
        size_t holding = 0;
        for (const std::string& log : logs) {
            holding += log.find(opened) != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(holding, 1u) << "board " << i;
    }
}

}  // namespace
}  // namespace e2e
