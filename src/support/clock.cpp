#include "support/clock.h"

#include <chrono>
#include <thread>

namespace {
void RealSleep(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
SleepFunction g_sleep = RealSleep;
}  // namespace

int32_t MilliClock()
{
    using namespace std::chrono;
    static const steady_clock::time_point origin = steady_clock::now();
    const auto ms = duration_cast<milliseconds>(steady_clock::now() - origin).count();
    return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

SleepFunction SetSleepFunction(SleepFunction fn)
{
    SleepFunction previous = g_sleep;
    g_sleep = fn ? fn : RealSleep;
    return previous;
}

void SleepMs(uint32_t ms)
{
    g_sleep(ms);
}
