#include "run/run_report.h"

#include <cstdio>
#include <ctime>

#include "run/run.h"
#include "run/version.h"
#include "support/atomic_file.h"
#include "support/json_writer.h"
#include "support/logger.h"
#include "support/run_record.h"
#include "support/stop_request.h"

namespace {

std::string g_endingMessage;
bool g_endingNoted = false;

// UTC with milliseconds, "2026-12-10T14:55:03.120Z": one time line for the
// boards of every host of a production line.
std::string UtcText(std::chrono::system_clock::time_point when)
{
    const auto sinceEpoch = when.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
    const std::time_t t = static_cast<std::time_t>(seconds.count());
    const std::tm* utc = std::gmtime(&t);
    if (utc == nullptr) {
        return std::string();
    }
    char text[96];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc->tm_year + 1900, utc->tm_mon + 1,
                  utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec, static_cast<int>(millis));
    return text;
}

// The build date and time as the banner gives them, in ISO form.
std::string BuildDateIso()
{
    const VersionInfo* version = VersionInfo::GetInstance();
    char text[64];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%s", version->GetBuildYear() % 10000,
                  version->GetBuildMonth() % 100, version->GetBuildDay() % 100, BuildTimeText());
    return text;
}

const char* VerdictName(int status)
{
    if (StopRequested() && status == StopExitStatus()) {
        return "stopped";
    }
    switch (status) {
    case kResultComplete: return "complete";
    case kResultFailed: return "failed";
    default: return "early_end";
    }
}

void OptionalString(JsonWriter& json, const char* key, const std::string& value)
{
    json.Key(key);
    if (value.empty()) {
        json.Null();
    } else {
        json.String(value);
    }
}

void WriteStep(JsonWriter& json, const RunStep& step)
{
    json.BeginObject();
    json.Key("kind").String(StepKindName(step.kind));
    OptionalString(json, "storage", step.storage);
    json.Key("address");
    step.hasWindow ? json.Uint(step.address) : json.Null();
    json.Key("size");
    step.hasWindow ? json.Uint(step.size) : json.Null();
    json.Key("bytes_moved").Uint(step.bytesMoved);
    json.Key("host_crc");
    step.hasCrc ? json.Uint(step.hostCrc) : json.Null();
    json.Key("board_crc");
    step.hasCrc ? json.Uint(step.boardCrc) : json.Null();
    json.Key("chunk_retries").Uint(step.chunkRetries);
    json.Key("seconds").Number(step.seconds, 3);
    json.Key("bytes_per_second").Number(step.seconds > 0 ? static_cast<double>(step.bytesMoved) / step.seconds : 0.0, 1);
    json.Key("result").String(StepResultName(step.result));
    json.EndObject();
}

}  // namespace

RunReport::RunReport(int argc, char** argv, const BuildForm& form)
    : m_form(form), m_startWall(std::chrono::system_clock::now()), m_start(std::chrono::steady_clock::now())
{
    for (int i = 1; i < argc; ++i) {
        m_arguments.push_back(argv[i] != nullptr ? argv[i] : "");
    }
}

void RunReport::NoteEnding()
{
    g_endingMessage = ZOLKLogger::GetInstance()->LastErrorText();
    g_endingNoted = true;
}

std::string RunReport::Document(int status) const
{
    const RunRecord& record = RunRecord::Get();
    const auto endWall = std::chrono::system_clock::now();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();

    JsonWriter json;
    json.BeginObject();
    json.Key("schema_version").Int(kSchemaVersion);

    json.Key("tool").BeginObject();
    json.Key("name").String("zolk_qex");
    json.Key("version").String(VersionInfo::GetInstance()->GetVersionString());
    json.Key("build_form").String(m_form.Name());
    json.Key("build_date").String(BuildDateIso());
    json.EndObject();

    json.Key("times").BeginObject();
    json.Key("start").String(UtcText(m_startWall));
    json.Key("end").String(UtcText(endWall));
    json.Key("seconds").Number(seconds, 3);
    json.EndObject();

    json.Key("arguments").BeginArray();
    for (const std::string& argument : m_arguments) {
        json.String(argument);
    }
    json.EndArray();

    json.Key("port").BeginObject();
    OptionalString(json, "given", record.PortGiven());
    OptionalString(json, "device", record.PortDevice());
    json.Key("opened").Bool(record.PortOpened());
    json.EndObject();

    json.Key("chip");
    const RunChip& chip = record.Chip();
    if (chip.known) {
        json.BeginObject();
        json.Key("reported").String(chip.reported);
        json.Key("used").String(chip.used);
        json.Key("expand_flash").Bool(chip.expandFlash);
        json.Key("ecc").Bool(chip.ecc);
        json.Key("dual_bank").Bool(chip.dualBank);
        json.EndObject();
    } else {
        json.Null();
    }

    json.Key("steps").BeginArray();
    for (const RunStep& step : record.Steps()) {
        WriteStep(json, step);
    }
    json.EndArray();

    json.Key("verdict").String(VerdictName(status));
    json.Key("exit_status").Int(status);
    // A run that ended early printed no verdict line: its last error is
    // what ended it.
    const std::string message = status == kResultComplete ? std::string()
                                : g_endingNoted           ? g_endingMessage
                                                          : ZOLKLogger::GetInstance()->LastErrorText();
    OptionalString(json, "message", message);
    json.EndObject();
    return json.Text();
}

int RunReport::Write(const char* path, int status) const
{
    const std::string text = Document(status);
    AtomicFile out;
    bool written = out.Open(path) && out.Write(text.data(), text.size()) && out.Commit();
    if (!written) {
        out.Abandon();
        LOG_MSG(LOG_ERROR, "[RunReport::Write:%d] ", "The report %s is not written%s\n", path,
                status == kResultComplete ? " - the run counts as failed" : "");
        return status == kResultComplete ? kResultFailed : status;
    }
    return status;
}
