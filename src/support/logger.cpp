#include "support/logger.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "support/clock.h"
#include "support/console.h"
#include "support/os_file.h"
#include "support/progress_bar.h"

namespace {
// Nesting depth of LogMessage. A log file that fails in the middle of a
// message is reported once that message is complete, so the warning does not
// clear the half-printed line.
int g_messageDepth = 0;
bool g_pendingPrintWarning = false;

// The text of a message, for what the logger keeps of it.
__attribute__((format(printf, 1, 0))) std::string FormatText(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0) {
        return std::string();
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

void ReportPrintFailure()
{
    LOG_MSG(LOG_ERROR, "[ZOLKLogger::Print:%d] ", "Failed to save log - %s\n",
            ZOLKLogger::GetInstance()->GetLogFileName());
}

}  // namespace

uint16_t LogLevelAttribute(int level)
{
    switch (level) {
    case 1: return 12;
    case 2: return 10;
    case 3: return 9;
    case 5: return 7;
    case 7: return 3;
    case 8: return 5;
    case 9: return 7;
    default: return 7;
    }
}

ZOLKLogger* ZOLKLogger::GetInstance()
{
    static ZOLKLogger* instance = new ZOLKLogger();
    return instance;
}

ZOLKLogger::ZOLKLogger() : m_startClock(MilliClock()) {}

void ZOLKLogger::Print(int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    VPrint(level, format, args);
    va_end(args);
}

void ZOLKLogger::VPrint(int /*level*/, const char* format, va_list args)
{
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    if (length < 0) {
        return;
    }
    const char* text = small;
    std::unique_ptr<char[]> large;
    if (static_cast<size_t>(length) >= sizeof(small)) {
        large.reset(new char[static_cast<size_t>(length) + 1]);
        std::vsnprintf(large.get(), static_cast<size_t>(length) + 1, format, args);
        text = large.get();
    }
    std::fwrite(text, 1, static_cast<size_t>(length), stdout);
    if (m_bSaveLog == 1) {
        AppendToLogFile(text, static_cast<size_t>(length));
    }
}

// Every Print opens, appends and closes, so the file on disk is complete after
// each message even if the run is killed.
void ZOLKLogger::AppendToLogFile(const char* text, size_t length)
{
    if (m_pLogFile == nullptr) {
        // Binary append, like the "wb" stream of the first write: every line
        // of the file ends the same way on every platform.
        m_pLogFile = std::fopen(m_szLogFileName.c_str(), "ab");
    }
    bool ok = m_pLogFile != nullptr;
    if (ok) {
        ok = std::fwrite(text, 1, length, m_pLogFile) == length;
        ok = (std::fclose(m_pLogFile) == 0) && ok;
        m_pLogFile = nullptr;
    }
    if (ok) {
        return;
    }
    // Saving stops at the first failure; the console goes on as before.
    m_bSaveLog = 0;
    if (m_bWarnedLogFile) {
        return;
    }
    m_bWarnedLogFile = true;
    if (g_messageDepth > 0) {
        g_pendingPrintWarning = true;
    } else {
        ReportPrintFailure();
    }
}

void ZOLKLogger::NoteMessage(int level, const std::string& text)
{
    if (level != LOG_ERROR) {
        m_lastWasError = false;
        return;
    }
    const size_t first = text.find_first_not_of('\n');
    const size_t last = text.find_last_not_of('\n');
    const std::string line = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    if (m_lastWasError && !m_lastError.empty()) {
        m_lastError += '\n';
        m_lastError += line;
    } else {
        m_lastError = line;
    }
    m_lastWasError = true;
}

std::string ZOLKLogger::FormatTimeStamp(int32_t elapsedMs)
{
    // The clock difference is taken modulo 2^32, so a wrapped clock still
    // gives the elapsed time.
    const uint32_t elapsed = static_cast<uint32_t>(elapsedMs);
    const unsigned minutes = (elapsed / 1000u / 60u) % 60u;
    const unsigned seconds = (elapsed / 1000u) % 60u;
    const unsigned hundredths = (elapsed % 1000u) / 10u;
    char text[14];
    std::snprintf(text, sizeof(text), "[%02u:%02u:%02u]", minutes, seconds, hundredths);
    return text;
}

void ZOLKLogger::UpdateTimeStamp()
{
    const uint32_t elapsed = static_cast<uint32_t>(MilliClock()) - static_cast<uint32_t>(m_startClock);
    const std::string text = FormatTimeStamp(static_cast<int32_t>(elapsed));
    std::snprintf(m_szTimeStamp, sizeof(m_szTimeStamp), "%s", text.c_str());
}

void ZOLKLogger::PrintTimeStamp(int level)
{
    if (m_bTimeStamp != 1) {
        return;
    }
    UpdateTimeStamp();
    Print(level, "%s", m_szTimeStamp);
}

std::string ZOLKLogger::FormatDateTime(const std::tm& localTime)
{
    char buf[100];
    std::snprintf(buf, sizeof(buf), "%02d/%02d/%02d-%02d:%02d:%02d", (localTime.tm_year + 1900) % 100,
                  localTime.tm_mon + 1, localTime.tm_mday, localTime.tm_hour, localTime.tm_min,
                  localTime.tm_sec);
    return buf;
}

int ZOLKLogger::PrintCurTime()
{
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    const std::string text = local ? FormatDateTime(*local) : std::string();
    LOG_MSG(LOG_INFO, "[ZOLKLogger::PrintCurTime:%d] ", "%s\n", text.c_str());
    return 0;
}

void ZOLKLogger::GetCurTimeString(std::string& out)
{
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    char buf[100] = {};
    if (local != nullptr) {
        std::snprintf(buf, sizeof(buf), "%02d-%02d-%02d-%02d-%02d-%02d", (local->tm_year + 1900) % 100,
                      local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min, local->tm_sec);
    }
    out = buf;
}

void ZOLKLogger::MakeLogFileName()
{
    std::string timeText;
    GetCurTimeString(timeText);
    char buf[128];
    std::snprintf(buf, sizeof(buf), "%s%cZOLK_V8_LOG_%s", "log",
                  static_cast<char>(std::filesystem::path::preferred_separator), timeText.c_str());
    m_szLogFileName = buf;
}

ZOLKLogger* ZOLKLogger::SetSaveLog(bool flag)
{
    m_bSaveLog = flag ? 1 : 0;
    if (m_bSaveLog == 1 && m_pLogFile == nullptr) {
        m_bWarnedLogFile = false;
        MakeLogFileName();
        std::error_code ec;
        std::filesystem::create_directory("log", ec);

        // Several boards flashed at once start several runs in the same
        // second: a later run takes a numbered name instead of truncating
        // the file of an earlier one.
        const std::string baseName = m_szLogFileName;
        for (int suffix = 1; suffix <= 1000 && m_pLogFile == nullptr; ++suffix) {
            const std::string name = suffix == 1 ? baseName : baseName + "_" + std::to_string(suffix);
            bool exists = false;
            std::string reason;
            m_pLogFile = CreateNewFile(name.c_str(), &reason, &exists);
            m_szLogFileName = name;
            if (!exists) {
                break;
            }
        }
        if (m_pLogFile == nullptr) {
            m_bSaveLog = 0;
            m_bWarnedLogFile = true;
            LOG_MSG(LOG_ERROR, "[ZOLKLogger::SetSaveLog:%d] ", "Failed to save log - %s\n",
                    m_szLogFileName.c_str());
        }
    } else if (m_bSaveLog == 0 && m_pLogFile != nullptr) {
        std::fclose(m_pLogFile);
        m_pLogFile = nullptr;
    }
    return this;
}

ZOLKLogger* ZOLKLogger::SetTimeStamp(bool flag)
{
    m_bTimeStamp = flag ? 1 : 0;
    return this;
}

ZOLKLogger* ZOLKLogger::SetDebug(bool flag)
{
    m_bDebug = flag ? 1 : 0;
    return this;
}

void LogMessage(int level, const char* tagFormat, int line, const char* format, ...)
{
    ProgressBar* bar = ProgressBar::GetInstance();
    ZOLKLogger* logger = ZOLKLogger::GetInstance();
    ++g_messageDepth;

    // A line left open (the boot handshake's retry count) would otherwise
    // run into the message.
    ConsoleEndOpenLine();
    if (bar->IsLineDrawn()) {
        bar->ClearLine();
    }
    SetConsoleTextAttribute(LogLevelAttribute(level));
    logger->PrintTimeStamp(level);
    if (level != LOG_BARE) {
        logger->Print(level, tagFormat, line);
    }
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    logger->VPrint(level, format, args);
    va_end(args);
    logger->NoteMessage(level, level == LOG_ERROR ? FormatText(format, again) : std::string());
    va_end(again);
    SetConsoleTextAttribute(7);
    if (bar->NeedRedraw()) {
        bar->Plus(0);
    }

    --g_messageDepth;
    if (g_messageDepth == 0 && g_pendingPrintWarning) {
        g_pendingPrintWarning = false;
        ReportPrintFailure();
    }
    // Output piped into a log viewer or tee is block-buffered: without the
    // flush "Please wait, low-format can take a long time!" would show only
    // when the format is over.
    std::fflush(stdout);
}
