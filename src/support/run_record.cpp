#include "support/run_record.h"

#include "support/stop_request.h"

const char* StepKindName(StepKind kind)
{
    switch (kind) {
    case StepKind::kQuery: return "query";
    case StepKind::kBootLoad: return "boot_load";
    case StepKind::kLowFormat: return "low_format";
    case StepKind::kWrite: return "write";
    case StepKind::kVerify: return "verify";
    case StepKind::kDump: return "dump";
    }
    return "query";
}

const char* StepResultName(StepResult result)
{
    switch (result) {
    case StepResult::kOk: return "ok";
    case StepResult::kFailed: return "failed";
    case StepResult::kStopped: return "stopped";
    case StepResult::kSkipped: return "skipped";
    }
    return "failed";
}

RunRecord& RunRecord::Get()
{
    static RunRecord* record = new RunRecord();
    return *record;
}

void RunRecord::Begin(StepKind kind)
{
    if (m_open) {
        End(false);
    }
    RunStep step;
    step.kind = kind;
    m_steps.push_back(step);
    m_open = true;
    m_openedAt = std::chrono::steady_clock::now();
}

void RunRecord::Begin(StepKind kind, const char* storage, uint64_t address, uint64_t size)
{
    Begin(kind);
    RunStep& step = m_steps.back();
    step.storage = storage != nullptr ? storage : "";
    step.hasWindow = true;
    step.address = address;
    step.size = size;
}

bool RunRecord::End(bool ok)
{
    RunStep* step = Open();
    if (step == nullptr) {
        return ok;
    }
    step->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_openedAt).count();
    step->result = ok ? StepResult::kOk : (StopRequested() ? StepResult::kStopped : StepResult::kFailed);
    m_open = false;
    return ok;
}

void RunRecord::Skip(StepKind kind, const char* storage, uint64_t address, uint64_t size)
{
    if (m_open) {
        End(false);
    }
    RunStep step;
    step.kind = kind;
    step.storage = storage != nullptr ? storage : "";
    step.hasWindow = storage != nullptr;
    step.address = address;
    step.size = size;
    step.result = StepResult::kSkipped;
    m_steps.push_back(step);
}

RunStep* RunRecord::Open()
{
    return m_open && !m_steps.empty() ? &m_steps.back() : nullptr;
}

void RunRecord::AddBytes(uint64_t bytes)
{
    if (RunStep* step = Open()) {
        step->bytesMoved += bytes;
    }
}

void RunRecord::AddRetry()
{
    if (RunStep* step = Open()) {
        ++step->chunkRetries;
    }
}

void RunRecord::SetCrcs(uint32_t hostCrc, uint32_t boardCrc)
{
    if (RunStep* step = Open()) {
        step->hasCrc = true;
        step->hostCrc = hostCrc;
        step->boardCrc = boardCrc;
    }
}

void RunRecord::Clear()
{
    m_steps.clear();
    m_open = false;
    m_chip = RunChip{};
    m_portGiven.clear();
    m_portDevice.clear();
    m_portOpened = false;
}
