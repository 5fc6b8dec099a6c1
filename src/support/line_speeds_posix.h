// The line speeds termios knows, in one table: the serial port sets them,
// the simulated board paces its line by them and its tests pick them.
#pragma once

#include <termios.h>

#include <cstdint>

struct LineSpeed {
    uint32_t baud;
    speed_t code;
};

// Rates above 230400 baud are not defined everywhere.
inline constexpr LineSpeed kLineSpeeds[] = {
    {50, B50},       {75, B75},       {110, B110},     {134, B134},       {150, B150},
    {200, B200},     {300, B300},     {600, B600},     {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

// The speed constant of a rate in baud; false for a rate termios has none for.
inline bool SpeedOfBaud(uint32_t baud, speed_t* code)
{
    for (const LineSpeed& s : kLineSpeeds) {
        if (s.baud == baud) {
            *code = s.code;
            return true;
        }
    }
    return false;
}

// The rate in baud of a speed constant; 0 for one not in the table (B0 too).
inline uint32_t BaudOfSpeed(speed_t code)
{
    for (const LineSpeed& s : kLineSpeeds) {
        if (s.code == code) {
            return s.baud;
        }
    }
    return 0;
}
