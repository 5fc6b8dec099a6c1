// Console logger: every message of the program goes through LOG_MSG.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

enum LogLevel : int {
    LOG_ERROR = 1,    // attribute 12, bright red
    LOG_SUCCESS = 2,  // attribute 10, bright green
    LOG_INFO = 3,     // attribute 9, bright blue
    LOG_DETAIL = 5,   // attribute 7, light grey
    LOG_BARE = 9,     // attribute 7, no scope tag
};

// Console attribute of a message level.
uint16_t LogLevelAttribute(int level);

class ZOLKLogger {
public:
    static ZOLKLogger* GetInstance();

    // printf-style; the level is accepted and ignored. Writes to standard
    // output and, with saving on, appends to the log file.
    void Print(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Print with an argument list (the message text of LOG_MSG).
    void VPrint(int level, const char* format, va_list args) __attribute__((format(printf, 3, 0)));
    void PrintTimeStamp(int level);
    int PrintCurTime();
    ZOLKLogger* SetSaveLog(bool flag);
    ZOLKLogger* SetTimeStamp(bool flag);
    ZOLKLogger* SetDebug(bool flag);
    bool IsDebug() const { return m_bDebug == 1; }

    // The elapsed-time text for a number of milliseconds: "[mm:ss:cc]".
    static std::string FormatTimeStamp(int32_t elapsedMs);
    const char* GetLogFileName() const { return m_szLogFileName.c_str(); }
    // The error messages printed last, without their tags and line ends: the
    // last error and those printed right before it with nothing else between
    // them ("Failed open port(X)" with its "Reason : ..."), one per line.
    // Empty until an error is printed.
    const std::string& LastErrorText() const { return m_lastError; }
    // Notes the text of a message that was printed (LogMessage does).
    void NoteMessage(int level, const std::string& text);
    // The date line of PrintCurTime for a local time: "yy/mm/dd-hh:mm:ss".
    static std::string FormatDateTime(const std::tm& localTime);

private:
    ZOLKLogger();
    void UpdateTimeStamp();
    void MakeLogFileName();
    static void GetCurTimeString(std::string& out);
    void AppendToLogFile(const char* text, size_t length);

    uint8_t m_bDebug = 0;
    uint8_t m_bSaveLog = 0;
    uint8_t m_bTimeStamp = 0;
    FILE* m_pLogFile = nullptr;
    int32_t m_startClock = 0;
    char m_szTimeStamp[14] = {};
    std::string m_szLogFileName;
    bool m_bWarnedLogFile = false;  // one console warning when the file fails
    std::string m_lastError;
    bool m_lastWasError = false;
};

// Steps of the message pattern, in order: clear a drawn progress line, set the
// level's attribute, time stamp, scope tag (unless LOG_BARE), the message,
// attribute 7, redraw an active progress bar.
void LogMessage(int level, const char* tagFormat, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// LOG_MSG(level, "[Scope::Method:%d] ", "text %s\n", args...)
#define LOG_MSG(level, tag, ...) LogMessage((level), (tag), __LINE__, __VA_ARGS__)
