// The run report against its schema file, in process: a record with every
// kind of step and value passes, and the schema check finds documents that
// break it (so that the end-to-end runs' passing means something).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/json_check.h"
#include "common/output_capture.h"
#include "run/run.h"
#include "run/run_report.h"
#include "support/logger.h"
#include "support/run_record.h"

namespace {

class ReportDocument : public testing::Test {
protected:
    void SetUp() override { RunRecord::Get().Clear(); }
    void TearDown() override { RunRecord::Get().Clear(); }

    JsonValue Parsed(int status)
    {
        char program[] = "zolk_qex";
        char port[] = "--port";
        // A file name in another encoding than UTF-8.
        char device[] = "/dev/tty\xFC";
        char* argv[] = {program, port, device, nullptr};
        const RunReport report(3, argv, BuildForm::PerChip(30230));
        JsonValue doc;
        std::string error;
        EXPECT_TRUE(ParseJson(report.Document(status), &doc, &error)) << error;
        return doc;
    }
};

TEST_F(ReportDocument, EveryKindOfStepPassesTheSchema)
{
    RunRecord& record = RunRecord::Get();
    record.SetPortGiven("3");
    record.SetPortDevice("/dev/ttyS2");
    record.SetPortOpened();
    record.SetChip(RunChip{true, "30110", "30230", true, true, false});
    record.Begin(StepKind::kBootLoad);
    record.AddBytes(0x10000);
    record.End(true);
    record.Begin(StepKind::kQuery);
    record.End(true);
    record.Begin(StepKind::kLowFormat);
    record.End(true);
    record.Begin(StepKind::kWrite, "eflash", 0x100000, 4096);
    record.AddBytes(4096);
    record.AddRetry();
    record.SetCrcs(0xFFFFFFFFu, 0xFFFFFFFFu);
    record.End(true);
    record.Begin(StepKind::kVerify, "eflash", 0x100000, 4096);
    record.End(false);
    record.Skip(StepKind::kDump, nullptr, 0, 0);
    {
        // A scope left without an end: the step counts as failed.
        RecordedStep dump(StepKind::kDump, "snor", 0, 10);
    }
    // An addition with no step open goes nowhere.
    record.AddBytes(5);

    const JsonValue schema = ReadReportSchema();
    const JsonValue doc = Parsed(kResultFailed);
    EXPECT_EQ(ValidateJson(doc, schema), std::vector<std::string>{});

    EXPECT_EQ(doc["tool"]["build_form"].text, "chip-30230");
    EXPECT_EQ(doc["arguments"].items.size(), 2u);
    EXPECT_EQ(doc["arguments"].items[1].text, "/dev/tty\xEF\xBF\xBD");
    EXPECT_EQ(doc["chip"]["reported"].text, "30110");
    EXPECT_EQ(doc["verdict"].text, "failed");
    const std::vector<JsonValue>& steps = doc["steps"].items;
    ASSERT_EQ(steps.size(), 7u);
    const char* kinds[] = {"boot_load", "query", "low_format", "write", "verify", "dump", "dump"};
    const char* results[] = {"ok", "ok", "ok", "ok", "failed", "skipped", "failed"};
    for (size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(steps[i]["kind"].text, kinds[i]) << i;
        EXPECT_EQ(steps[i]["result"].text, results[i]) << i;
    }
    EXPECT_TRUE(steps[0]["storage"].IsNull());
    EXPECT_TRUE(steps[0]["address"].IsNull());
    EXPECT_EQ(steps[0]["bytes_moved"].number, 0x10000);
    EXPECT_EQ(steps[3]["address"].number, 0x100000);
    EXPECT_EQ(steps[3]["chunk_retries"].number, 1);
    EXPECT_EQ(steps[3]["host_crc"].number, 4294967295.0);
    EXPECT_TRUE(steps[4]["host_crc"].IsNull());
    EXPECT_EQ(steps[6]["bytes_moved"].number, 0);
}

TEST_F(ReportDocument, VerdictAndMessageFollowTheEnd)
{
    const JsonValue schema = ReadReportSchema();
    OutputCapture capture;
    LOG_MSG(LOG_ERROR, "[Test:%d] ", "Failed open port(%s)\n", "/dev/nope");
    LOG_MSG(LOG_ERROR, "[Test:%d] ", "Reason : %s\n", "No such file or directory");
    capture.Restore();
    const struct {
        int status;
        const char* verdict;
        bool message;
    } cases[] = {
        {kResultComplete, "complete", false},
        {kResultFailed, "failed", true},
        {kResultEarlyEnd, "early_end", true},
    };
    for (const auto& c : cases) {
        const JsonValue doc = Parsed(c.status);
        EXPECT_EQ(ValidateJson(doc, schema), std::vector<std::string>{}) << c.verdict;
        EXPECT_EQ(doc["verdict"].text, c.verdict);
        EXPECT_EQ(doc["exit_status"].number, c.status);
        if (c.message) {
            // The error and the one printed right before it, without tags.
            EXPECT_EQ(doc["message"].text, "Failed open port(/dev/nope)\nReason : No such file or directory");
        } else {
            EXPECT_TRUE(doc["message"].IsNull());
        }
        EXPECT_TRUE(doc["chip"].IsNull());
        EXPECT_FALSE(doc["port"]["opened"].boolean);
    }
}

TEST_F(ReportDocument, SchemaCheckFindsWhatBreaksIt)
{
    const JsonValue schema = ReadReportSchema();
    RunRecord::Get().Begin(StepKind::kWrite, "snor", 0, 1);
    RunRecord::Get().End(true);
    const JsonValue good = Parsed(kResultComplete);
    ASSERT_EQ(ValidateJson(good, schema), std::vector<std::string>{});

    const auto member = [](JsonValue& object, const std::string& key) -> JsonValue& {
        for (auto& m : object.members) {
            if (m.first == key) {
                return m.second;
            }
        }
        object.members.emplace_back(key, JsonValue{});
        return object.members.back().second;
    };
    const struct {
        const char* what;
        void (*change)(JsonValue&, decltype(member)&);
        std::string problem;
    } cases[] = {
        {"a field missing",
         [](JsonValue& d, decltype(member)&) {
             d.members.erase(d.members.begin());  // schema_version
         },
         "$: \"schema_version\" is missing"},
        {"a word outside the enum",
         [](JsonValue& d, decltype(member)& m) { m(d, "verdict").text = "done"; },
         "$.verdict: \"done\" is not in the enum"},
        {"a field the schema does not know",
         [](JsonValue& d, decltype(member)& m) { m(d, "extra").type = JsonValue::Type::kBool; },
         "$: \"extra\" is not in the schema"},
        {"a step's number where a word belongs",
         [](JsonValue& d, decltype(member)& m) {
             JsonValue& result = m(m(d, "steps").items[0], "result");
             result.type = JsonValue::Type::kNumber;
         },
         "$.steps[0].result: integer is not of the type the schema names"},
        {"a fraction where a count belongs",
         [](JsonValue& d, decltype(member)& m) { m(m(d, "steps").items[0], "bytes_moved").number = 0.5; },
         "$.steps[0].bytes_moved: number is not of the type the schema names"},
        {"null where an object belongs",
         [](JsonValue& d, decltype(member)& m) { m(d, "tool") = JsonValue{}; },
         "$.tool: null is not of the type the schema names"},
    };
    for (const auto& c : cases) {
        JsonValue doc = good;
        c.change(doc, member);
        const std::vector<std::string> problems = ValidateJson(doc, schema);
        EXPECT_EQ(problems, std::vector<std::string>{c.problem}) << c.what;
    }
    // Text that is no JSON at all.
    JsonValue doc;
    std::string error;
    for (const char* bad : {"{\"a\": 1,}", "{\"a\": 1, \"a\": 2}", "[1] [2]", "\"\\ud800\"", "{\"a\": 01}",
                            "\"tab\there\""}) {
        EXPECT_FALSE(ParseJson(bad, &doc, &error)) << bad;
    }
}

}  // namespace
