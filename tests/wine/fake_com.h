// The stand-in COM port of the Win32 port tests, put in through the port's
// table of calls (wine offers no COM port without a pseudo-terminal): what
// the board sent and the host has not read yet, what the host wrote, and the
// faults of the next calls.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/byte_sink.h"
#include "support/clock.h"
#include "support/console.h"
#include "support/stop_request.h"
#include "support/zolk_file.h"
#include "transport/serial_os_win32.h"
#include "transport/serial_port.h"

// The dump's data into a file, as the dump of a run keeps it.
struct DumpFile final : ByteSink {
    explicit DumpFile(const std::string& path) : file(path.c_str(), "wb") {}
    bool Write(const void* data, uint64_t size) override { return file.Write(data, size); }
    bool Flush() override { return file.Flush(); }
    ZOLKFile file;
};

// The stand-in COM port: what the board sent and the host has not read yet,
// what the host wrote, and the faults of the next calls.
struct FakeCom {
    std::mutex lock;
    std::deque<uint8_t> rx;
    std::vector<uint8_t> tx;
    DCB state {};
    COMMTIMEOUTS timeouts {};
    bool serialLine = true;        // GetCommState works on the handle
    bool badDcbLength = false;     // a GetCommState call came without DCBlength
    DWORD keptBaud = 0;            // SetCommState keeps this speed (0: the one asked for)
    DWORD pendingErrors = 0;       // reported by the next ClearCommError
    int clearFailures = 0;         // ClearCommError fails this often (-1: for good)
    DWORD clearError = 0;
    int clearCalls = 0;
    int readAborts = 0;            // ReadFile fails with ERROR_OPERATION_ABORTED this often
    int writeAborts = 0;           // WriteFile writes half, then fails with it, this often
    std::function<void(const std::vector<uint8_t>&)> board;  // answers what the host wrote

    void Queue(const std::vector<uint8_t>& bytes) { rx.insert(rx.end(), bytes.begin(), bytes.end()); }
};

inline FakeCom* g_com = nullptr;
inline HANDLE const kFakeHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5a5a));

inline HANDLE WINAPI FakeCreateFile(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    if (std::strcmp(name, "\\\\.\\COM7") != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return kFakeHandle;
}

inline BOOL WINAPI FakeCloseHandle(HANDLE h)
{
    return h == kFakeHandle ? TRUE : RealSerialOs().closeHandle(h);
}

inline BOOL WINAPI FakePurgeComm(HANDLE, DWORD)
{
    return TRUE;
}

inline BOOL WINAPI FakeGetCommState(HANDLE, LPDCB dcb)
{
    if (dcb->DCBlength != sizeof(DCB)) {
        g_com->badDcbLength = true;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!g_com->serialLine) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    *dcb = g_com->state;
    dcb->DCBlength = sizeof(DCB);
    return TRUE;
}

inline BOOL WINAPI FakeSetCommState(HANDLE, LPDCB dcb)
{
    g_com->state = *dcb;
    if (g_com->keptBaud != 0) {
        g_com->state.BaudRate = g_com->keptBaud;
    }
    return TRUE;
}

inline BOOL WINAPI FakeGetCommTimeouts(HANDLE, LPCOMMTIMEOUTS t)
{
    *t = g_com->timeouts;
    return TRUE;
}

inline BOOL WINAPI FakeSetCommTimeouts(HANDLE, LPCOMMTIMEOUTS t)
{
    g_com->timeouts = *t;
    return TRUE;
}

inline BOOL WINAPI FakeClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT stat)
{
    std::lock_guard<std::mutex> hold(g_com->lock);
    ++g_com->clearCalls;
    if (g_com->clearFailures != 0) {
        if (g_com->clearFailures > 0) {
            --g_com->clearFailures;
        }
        SetLastError(g_com->clearError);
        return FALSE;
    }
    if (errors != nullptr) {
        *errors = g_com->pendingErrors;
    }
    g_com->pendingErrors = 0;
    if (stat != nullptr) {
        *stat = COMSTAT {};
        stat->cbInQue = static_cast<DWORD>(g_com->rx.size());
    }
    return TRUE;
}

inline BOOL WINAPI FakeReadFile(HANDLE, LPVOID buf, DWORD size, LPDWORD got, LPOVERLAPPED)
{
    std::lock_guard<std::mutex> hold(g_com->lock);
    *got = 0;
    if (g_com->readAborts > 0) {
        --g_com->readAborts;
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    auto* out = static_cast<uint8_t*>(buf);
    while (*got < size && !g_com->rx.empty()) {
        out[(*got)++] = g_com->rx.front();
        g_com->rx.pop_front();
    }
    return TRUE;
}

inline BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID buf, DWORD size, LPDWORD written, LPOVERLAPPED)
{
    std::lock_guard<std::mutex> hold(g_com->lock);
    const auto* in = static_cast<const uint8_t*>(buf);
    DWORD take = size;
    bool abort = false;
    if (g_com->writeAborts > 0 && size > 1) {
        --g_com->writeAborts;
        take = size / 2;
        abort = true;
    }
    g_com->tx.insert(g_com->tx.end(), in, in + take);
    *written = take;
    if (abort) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    if (g_com->board) {
        g_com->board(std::vector<uint8_t>(in, in + take));
    }
    return TRUE;
}

class FakeComTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_com = &m_com;
        m_com.state.DCBlength = sizeof(DCB);
        m_com.state.BaudRate = 9600;
        m_com.state.ByteSize = 8;
        SerialOsCalls& os = SerialOs();
        os.createFile = FakeCreateFile;
        os.closeHandle = FakeCloseHandle;
        os.purgeComm = FakePurgeComm;
        os.getCommState = FakeGetCommState;
        os.setCommState = FakeSetCommState;
        os.getCommTimeouts = FakeGetCommTimeouts;
        os.setCommTimeouts = FakeSetCommTimeouts;
        os.clearCommError = FakeClearCommError;
        os.readFile = FakeReadFile;
        os.writeFile = FakeWriteFile;
        m_sleep = SetSleepFunction([](uint32_t) {});
        ConsoleForceTerminal(0);
    }
    void TearDown() override
    {
        SerialOs() = RealSerialOs();
        SetSleepFunction(m_sleep);
        ConsoleForceTerminal(-1);
        ClearStopRequest();
        g_com = nullptr;
    }

    void OpenFake(CSerialPort& port)
    {
        testing::internal::CaptureStdout();
        const bool opened = port.OpenPort("\\\\.\\COM7") && port.ConfigurePortA(460800, 8, 0, 0, 0) &&
                            port.SetCommunicationTimeouts(0, 0, 0, 0, 0);
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(opened) << out;
    }

    FakeCom m_com;

private:
    SleepFunction m_sleep = nullptr;
};
