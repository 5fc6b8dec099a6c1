// Millisecond clock and the fixed pauses of the protocols.
#pragma once

#include <cstdint>

// Elapsed wall-clock milliseconds from a monotonic source (wraps like the
// 32-bit counters that consume it).
int32_t MilliClock();

// The fixed pauses (200 ms after a command packet, 500 ms around transfers,
// 100 ms between boot handshakes). Tests that do not test the pauses replace
// the sleeper; SetSleepFunction returns the previous one (nullptr restores the
// real sleep). The real sleep ends early when the run is asked to stop
// (support/stop_request.h).
using SleepFunction = void (*)(uint32_t ms);
SleepFunction SetSleepFunction(SleepFunction fn);
void SleepMs(uint32_t ms);
