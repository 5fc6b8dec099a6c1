// Program version and build date.
#pragma once

#include <cstdint>

class VersionInfo {
public:
    static VersionInfo* GetInstance();
    void SetVersion(uint32_t n);
    const char* GetVersionString() const { return m_szVersion; }
    const char* GetBuildDate() const { return m_szBuildDate; }
    uint32_t GetBuildYear() const { return m_uiYear; }
    uint32_t GetBuildMonth() const { return m_uiMonth; }
    uint32_t GetBuildDay() const { return m_uiDay; }
    // Parses a date of the form "Mmm dd yyyy" (as __DATE__ gives it).
    void ParseBuildDate(const char* date);

private:
    VersionInfo();
    void FormatVersion();

    char m_szVersion[20] = {};
    uint32_t m_uiVersion = 0;
    char m_szBuildDate[12] = {};
    uint32_t m_uiYear = 0;
    uint32_t m_uiMonth = 0;
    uint32_t m_uiDay = 0;
};

// Build date and time fixed when the program is built.
const char* BuildDateText();  // "Mmm dd yyyy"
const char* BuildTimeText();  // "hh:mm:ss"
