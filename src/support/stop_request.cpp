// The record of a stop request, shared by both platforms' handlers.
#include "support/stop_request.h"

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {
// Lock-free, so that a signal handler may store into it.
std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);
}  // namespace

bool StopRequested()
{
    return g_stopSignal.load(std::memory_order_relaxed) != 0;
}

int StopSignal()
{
    return g_stopSignal.load(std::memory_order_relaxed);
}

const char* StopSignalName()
{
    switch (StopSignal()) {
    case 0: return "";
    case 1: return "SIGHUP";
    case 2: return "SIGINT";
    case 15: return "SIGTERM";
    default: break;
    }
    static char text[32];
    std::snprintf(text, sizeof(text), "signal %d", StopSignal());
    return text;
}

int StopExitStatus()
{
    return 128 + StopSignal();
}

void RequestStop(int signalNumber)
{
    int expected = 0;
    g_stopSignal.compare_exchange_strong(expected, signalNumber, std::memory_order_relaxed);
}

void ClearStopRequest()
{
    g_stopSignal.store(0, std::memory_order_relaxed);
}
