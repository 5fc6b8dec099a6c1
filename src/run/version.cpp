// Program version and the date this executable was built.
#include "run/version.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

VersionInfo* VersionInfo::GetInstance()
{
    static VersionInfo* instance = new VersionInfo();
    return instance;
}

VersionInfo::VersionInfo()
{
    ParseBuildDate(BuildDateText());
}

void VersionInfo::SetVersion(uint32_t n)
{
    m_uiVersion = n;
    FormatVersion();
}

void VersionInfo::FormatVersion()
{
    snprintf(m_szVersion, sizeof(m_szVersion), "%u.%u.%u", (m_uiVersion / 10000) % 100,
             (m_uiVersion / 100) % 100, m_uiVersion % 100);
}

void VersionInfo::ParseBuildDate(const char* date)
{
    static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    m_uiYear = 0;
    m_uiMonth = 0;
    m_uiDay = 0;
    // "Mmm dd yyyy": the day is padded with a space, the year starts at 7.
    if (date != nullptr && strlen(date) >= 11) {
        m_uiYear = static_cast<uint32_t>(strtoul(date + 7, nullptr, 10));
        m_uiDay = static_cast<uint32_t>(strtoul(date + 4, nullptr, 10));
        for (uint32_t i = 0; i < 12; ++i) {
            if (strncmp(date, kMonths[i], 3) == 0) {
                m_uiMonth = i + 1;
                break;
            }
        }
    }
    snprintf(m_szBuildDate, sizeof(m_szBuildDate), "%u.%u.%u", m_uiYear % 10000, m_uiMonth, m_uiDay % 100);
}

const char* BuildDateText()
{
    return __DATE__;
}

const char* BuildTimeText()
{
    return __TIME__;
}
