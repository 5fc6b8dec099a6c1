#include "support/clock.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "support/stop_request.h"

namespace {
// Slices short enough that a stop request ends a pause at once to the eye,
// long enough that a pause costs no processor time.
constexpr uint32_t kSleepSliceMs = 20;

// Ends early when the run is asked to stop: the pause is then pointless.
void RealSleep(uint32_t ms)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (!StopRequested()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(left, kSleepSliceMs)));
    }
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
