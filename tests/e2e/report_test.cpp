// --report FILE: the JSON record of a run, for runs that end every way (a
// good run with a boot load, retries and a verify; a refused file; a failed
// transfer; a silent board; a port that does not open; a stop), each held
// against docs/report.schema.json and read for what it says.
#include <signal.h>

#include <functional>

#include "common/json_check.h"
#include "e2e/e2e_fixture.h"
#include "support/crc.h"

namespace e2e {
namespace {

// What a case can look at besides the report.
struct RunSeen {
    Fixture& fx;
    const ProcessResult& result;
    const Bytes& image;
    const std::string& imagePath;
};

struct ReportCase {
    const char* name;
    std::vector<std::string> sim;   // qex_sim options
    std::vector<std::string> args;  // zolk_qex options; IMAGE, DUMP, REPORT, ZOLK, HSM are replaced
    size_t imageSize;
    bool perChipForm;
    int exitCode;
    const char* verdict;
    std::vector<std::string> steps;  // "kind storage result" of each step, storage "-" for none
    std::string message;             // the start of the message; empty: null
    std::function<void(const JsonValue&, const RunSeen&)> more;
    int stopSignal = 0;  // a signal sent once a tenth of the transfer has arrived
};

void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

std::string StepText(const JsonValue& step)
{
    const JsonValue& storage = step["storage"];
    return step["kind"].text + " " + (storage.IsNull() ? "-" : storage.text) + " " + step["result"].text;
}

class E2EReport : public testing::TestWithParam<ReportCase> {};

TEST_P(E2EReport, RecordsTheRun)
{
    const ReportCase& c = GetParam();
    Fixture fx;
    ASSERT_TRUE(fx.StartSim(c.sim));
    const Bytes image = Pattern(c.imageSize, 51);
    const std::string imagePath = fx.MakeFile("image.bin", image);
    const std::string report = fx.Path("run.json");
    std::vector<std::string> args;
    for (const std::string& a : c.args) {
        if (a == "IMAGE") {
            args.push_back(imagePath);
        } else if (a == "DUMP") {
            args.push_back(fx.Path("dump.bin"));
        } else if (a == "REPORT") {
            args.push_back(report);
        } else if (a == "ZOLK") {
            args.push_back(fx.MakeFile("zolk.bin", Pattern(4096, 52)));
        } else if (a == "HSM") {
            args.push_back(fx.MakeFile("hsm.bin", Pattern(kHsmFileSize, 53)));
        } else {
            args.push_back(a);
        }
    }
    ProcessResult r;
    if (c.stopSignal != 0) {
        SignalPlan plan;
        plan.signalNumber = c.stopSignal;
        plan.when = [](const std::string& out) { return out.find(" 10% [") != std::string::npos; };
        r = fx.RunSignalled(args, &plan);
        ASSERT_TRUE(plan.sent) << r.out;
    } else {
#ifdef ZOLK_QEX_CHIP_PATH
        r = fx.Run(args, c.perChipForm ? ZOLK_QEX_CHIP_PATH : ZOLK_QEX_PATH);
#else
        if (c.perChipForm) {
            GTEST_SKIP() << "no per-chip form in this build";
        }
        r = fx.Run(args);
#endif
    }
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;

    JsonValue doc;
    std::string error;
    ASSERT_TRUE(ParseJsonFile(report, &doc, &error)) << error << "\n" << r.out;
    EXPECT_EQ(ValidateJson(doc, ReadReportSchema()), std::vector<std::string>{});

    EXPECT_EQ(doc["verdict"].text, c.verdict);
    EXPECT_EQ(doc["exit_status"].number, c.exitCode == kExitEarlyEnd ? -1 : c.exitCode);
    std::vector<std::string> steps;
    for (const JsonValue& step : doc["steps"].items) {
        steps.push_back(StepText(step));
    }
    EXPECT_EQ(steps, c.steps);
    if (c.message.empty()) {
        EXPECT_TRUE(doc["message"].IsNull());
    } else {
        EXPECT_EQ(doc["message"].text.rfind(c.message, 0), 0u) << doc["message"].text;
    }
    // The command line as given, after the program.
    std::vector<std::string> recorded;
    for (const JsonValue& a : doc["arguments"].items) {
        recorded.push_back(a.text);
    }
    std::vector<std::string> given = {"--port", fx.Sim().PtyPath()};
    given.insert(given.end(), args.begin(), args.end());
    EXPECT_EQ(recorded, given);
    EXPECT_EQ(doc["tool"]["name"].text, "zolk_qex");
    EXPECT_EQ(doc["tool"]["build_form"].text, c.perChipForm ? "chip-30230" : "general");
    EXPECT_LE(doc["times"]["start"].text, doc["times"]["end"].text);
    double stepSeconds = 0;
    for (const JsonValue& step : doc["steps"].items) {
        stepSeconds += step["seconds"].number;
    }
    EXPECT_LE(stepSeconds, doc["times"]["seconds"].number + 0.01);
    // The report is the only file the run left besides its own.
    EXPECT_FALSE(fs::exists(report + ".partial"));
    if (c.more) {
        c.more(doc, RunSeen{fx, r, image, imagePath});
    }
}

const std::vector<std::string> kFirmwareSnor = BoardArgs(true);

INSTANTIATE_TEST_SUITE_P(
    Runs, E2EReport,
    testing::Values(
        // A board from reset in the per-chip form; one write chunk refused
        // once for its CRC and one read-back chunk damaged once.
        ReportCase{"GoodRunWithBootLoadRetriesAndVerify",
                   {"--form", "per-chip", "--chip", "0x20360", "--expand-flash", "--ecc", "--nack-chunk", "0",
                    "--corrupt-dump-chunk", "1"},
                   {"--zolk", "ZOLK", "--hsm", "HSM", "-w", "IMAGE", "--verify", "-r", "DUMP", "--bank", "0",
                    "--report", "REPORT"},
                   2 * kMiB + 4096,
                   true,
                   0,
                   "complete",
                   {"boot_load - ok", "query - ok", "write eflash ok", "verify eflash ok", "write snor ok",
                    "verify snor ok", "dump eflash ok", "dump snor ok"},
                   "",
                   [](const JsonValue& doc, const RunSeen& run) {
                       EXPECT_EQ(doc["port"]["given"].text, run.fx.Sim().PtyPath());
                       EXPECT_EQ(doc["port"]["device"].text, run.fx.Sim().PtyPath());
                       EXPECT_TRUE(doc["port"]["opened"].boolean);
                       const JsonValue& chip = doc["chip"];
                       EXPECT_EQ(chip["reported"].text, "20360");
                       EXPECT_EQ(chip["used"].text, "30230");
                       EXPECT_TRUE(chip["expand_flash"].boolean);
                       EXPECT_TRUE(chip["ecc"].boolean);
                       EXPECT_FALSE(chip["dual_bank"].boolean);
                       const std::vector<JsonValue>& steps = doc["steps"].items;
                       ASSERT_EQ(steps.size(), 8u);
                       // Both images: 64 KiB of HSM image and the 4 KiB firmware.
                       EXPECT_EQ(steps[0]["bytes_moved"].number, 0x10000 + 4096);
                       EXPECT_TRUE(steps[0]["host_crc"].IsNull());
                       const JsonValue& write = steps[2];
                       EXPECT_EQ(write["address"].number, 0);
                       EXPECT_EQ(write["size"].number, 2 * kMiB);
                       EXPECT_EQ(write["bytes_moved"].number, 2 * kMiB);
                       EXPECT_EQ(write["chunk_retries"].number, 1);
                       EXPECT_EQ(write["host_crc"].number, CalcCRC(run.image.data(), 2 * kMiB, 0));
                       EXPECT_EQ(write["board_crc"].number, write["host_crc"].number);
                       EXPECT_GT(write["bytes_per_second"].number, 0);
                       EXPECT_EQ(steps[3]["chunk_retries"].number, 1);
                       EXPECT_EQ(steps[3]["host_crc"].number, write["host_crc"].number);
                       const JsonValue& snorWrite = steps[4];
                       EXPECT_EQ(snorWrite["size"].number, 4096);
                       EXPECT_EQ(snorWrite["host_crc"].number, CalcCRC(run.image.data() + 2 * kMiB, 4096, 0));
                       EXPECT_EQ(snorWrite["chunk_retries"].number, 0);
                       // The bank dump: 2 MiB of eflash, then the whole 1 MiB snor part.
                       EXPECT_EQ(steps[6]["bytes_moved"].number, 2 * kMiB);
                       EXPECT_EQ(steps[7]["size"].number, kMiB);
                       EXPECT_EQ(steps[7]["bytes_moved"].number, kMiB);
                   }},
        ReportCase{"RefusedFile",
                   kFirmwareSnor,
                   {"-w", "missing.bin", "--report", "REPORT"},
                   0,
                   false,
                   1,
                   "failed",
                   {},
                   "Write file missing.bin cannot be opened - No such file or directory",
                   [](const JsonValue& doc, const RunSeen& run) {
                       EXPECT_EQ(doc["port"]["given"].text, run.fx.Sim().PtyPath());
                       EXPECT_TRUE(doc["port"]["device"].IsNull());
                       EXPECT_FALSE(doc["port"]["opened"].boolean);
                       EXPECT_TRUE(doc["chip"].IsNull());
                   }},
        ReportCase{"FailedTransfer",
                   BoardArgs(true, {"--reject-chunk", "1"}),
                   {"-w", "IMAGE", "--storage", "snor", "--report", "REPORT"},
                   5000,
                   false,
                   1,
                   "failed",
                   {"query - ok", "write snor failed"},
                   "Failed to send file\nDump Packet\n",
                   [](const JsonValue& doc, const RunSeen&) {
                       const JsonValue& write = doc["steps"].items.at(1);
                       EXPECT_EQ(write["bytes_moved"].number, 2048);  // chunk 0 went in
                       EXPECT_EQ(write["size"].number, 5000);
                       EXPECT_TRUE(write["host_crc"].IsNull());
                       EXPECT_EQ(doc["chip"]["used"].text, "30230");
                   }},
        ReportCase{"SilentBoard",
                   BoardArgs(true, {"--silent-after-ack", "WRITE_CMD"}),
                   {"-w", "IMAGE", "--storage", "snor", "-r", "DUMP", "--size", "10", "--report", "REPORT"},
                   5120,
                   false,
                   1,
                   "failed",
                   {"query - ok", "write snor failed", "dump snor skipped"},
                   "No reply to the chunk at byte 0 of 5120 for 10 s - the board stopped answering\nDump to ",
                   [](const JsonValue& doc, const RunSeen&) {
                       const JsonValue& dump = doc["steps"].items.at(2);
                       EXPECT_EQ(dump["size"].number, 5120);
                       EXPECT_EQ(dump["bytes_moved"].number, 0);
                   }},
        ReportCase{"PortThatDoesNotOpen",
                   kFirmwareSnor,
                   {"--port", "/dev/zolk_no_such_port", "--report", "REPORT"},
                   0,
                   false,
                   kExitEarlyEnd,
                   "early_end",
                   {},
                   "Failed open port(/dev/zolk_no_such_port)\nReason : ",
                   [](const JsonValue& doc, const RunSeen&) {
                       EXPECT_EQ(doc["port"]["given"].text, "/dev/zolk_no_such_port");
                       EXPECT_EQ(doc["port"]["device"].text, "/dev/zolk_no_such_port");
                       EXPECT_FALSE(doc["port"]["opened"].boolean);
                   }},
        // A paced line makes the 1 MiB dump last about 23 s at 460800 baud;
        // the stop comes after a tenth.
        ReportCase{"StoppedInADump",
                   BoardArgs(true, {"--line-rate"}),
                   {"-r", "DUMP", "--storage", "snor", "--size", "2048", "--report", "REPORT"},
                   0,
                   false,
                   128 + SIGINT,
                   "stopped",
                   {"query - ok", "dump snor stopped"},
                   "Dump into ",
                   [](const JsonValue& doc, const RunSeen&) {
                       // What the stopped dump kept, then the stop.
                       const std::string& message = doc["message"].text;
                       const std::string stop = "\nRun stopped by SIGINT - nothing more is sent to the board";
                       EXPECT_EQ(message.substr(message.size() - std::min(message.size(), stop.size())), stop);
                       const JsonValue& dump = doc["steps"].items.at(1);
                       EXPECT_GT(dump["bytes_moved"].number, 0);
                       EXPECT_LT(dump["bytes_moved"].number, kMiB);
                   },
                   SIGINT}),
    CaseName());

// A report path that cannot take a file refuses the run before the port
// opens, and says that the run has no report.
TEST(E2EReportPath, RefusedPathRefusesTheRun)
{
    Fixture fx;
    ASSERT_TRUE(fx.StartSim(kFirmwareSnor));
    const std::string report = fx.Path("no_dir/run.json");
    const ProcessResult r = fx.Run({"-r", fx.Path("dump.bin"), "--bank", "0", "--report", report});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Report file " + report + " cannot be created - "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" - the run is refused, and no report is written\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Complete open port"), std::string::npos) << r.out;
    EXPECT_TRUE(fx.WorkFiles().empty());
}

}  // namespace
}  // namespace e2e
