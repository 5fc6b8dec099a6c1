// The record of a stop request, shared by both platforms' handlers.
#include "support/stop_request.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {
// Lock-free, so that a signal handler may store into it.
std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Fixed buffers: a handler may read them, never allocate. g_fileSet says
// whether they hold a pair; it is cleared before they are rewritten.
char g_temporary[4096];
char g_partial[4096];
std::atomic<int> g_fileSet{0};
}  // namespace

void SetFileInProgress(const char* temporary, const char* partial)
{
    g_fileSet.store(0, std::memory_order_release);
    if (temporary == nullptr || partial == nullptr || std::strlen(temporary) >= sizeof(g_temporary) ||
        std::strlen(partial) >= sizeof(g_partial)) {
        return;
    }
    std::strcpy(g_temporary, temporary);
    std::strcpy(g_partial, partial);
    g_fileSet.store(1, std::memory_order_release);
}

bool FileInProgress(const char** temporary, const char** partial)
{
    if (g_fileSet.load(std::memory_order_acquire) == 0) {
        return false;
    }
    *temporary = g_temporary;
    *partial = g_partial;
    return true;
}

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
