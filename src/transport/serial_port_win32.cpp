// CSerialPort on the Win32 communications API: one synchronous handle,
// the DCB line settings and the COMMTIMEOUTS read and write limits.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>

#include "transport/serial_port.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "support/logger.h"

namespace {

constexpr DWORD kAbortedError = 995;  // ERROR_OPERATION_ABORTED, raised by fAbortOnError

// Sleep(1) sleeps a whole scheduler tick (often 15.6 ms) unless the timer
// resolution is raised; the input-queue polls rely on 1 ms pauses.
void UseMillisecondTimer()
{
    static const bool raised = (timeBeginPeriod(1) == TIMERR_NOERROR);
    (void)raised;
}

// Errors after which the device will not come back: the adapter was
// unplugged or the driver dropped the handle.
bool IsDeviceLostError(DWORD error)
{
    switch (error) {
    case ERROR_INVALID_HANDLE:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_BROKEN_PIPE:
        return true;
    default:
        return false;
    }
}

std::string SystemErrorText(DWORD error)
{
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  error, 0, text, sizeof(text), nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ')) {
        text[--length] = '\0';
    }
    if (length == 0) {
        std::snprintf(text, sizeof(text), "system error %lu", static_cast<unsigned long>(error));
    }
    return text;
}

}  // namespace

struct CSerialPort::Impl {
    HANDLE hComm = nullptr;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    bool lastResult = false;
    bool gone = false;
    DWORD lastError = 0;

    bool IsOpen() const { return hComm != nullptr && hComm != INVALID_HANDLE_VALUE; }

    DWORD TakeError()
    {
        lastError = GetLastError();
        if (IsDeviceLostError(lastError)) {
            gone = true;
        }
        return lastError;
    }

    void Close()
    {
        CloseHandle(hComm);
        hComm = nullptr;
    }

    // Queued input count; false when the device no longer answers.
    bool QueuedBytes(DWORD* queued)
    {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(hComm, &errors, &status)) {
            TakeError();
            *queued = 0;
            return false;
        }
        *queued = status.cbInQue;
        return true;
    }
};

CSerialPort::CSerialPort() : m_impl(std::make_unique<Impl>()) {}

// The handle is closed here so that a process that opens the same device
// again (or many ports, as the tests do) is not refused by the exclusive
// open of a handle nobody uses any more.
CSerialPort::~CSerialPort()
{
    if (m_impl->IsOpen()) {
        m_impl->Close();
    }
}

bool CSerialPort::OpenPort(const char* name, uint32_t access)
{
    if (access == 0) {
        access = GENERIC_READ | GENERIC_WRITE;
    }
    if (m_impl->IsOpen()) {
        m_impl->Close();
    }
    m_impl->gone = false;
    m_impl->lastError = 0;
    const char* shown = name != nullptr ? name : "";
    m_impl->hComm = CreateFileA(shown, access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD openError = GetLastError();
    // Drops whatever a previous user of the port left in either direction.
    PurgeComm(m_impl->hComm, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    if (m_impl->hComm == INVALID_HANDLE_VALUE) {
        const DWORD error = openError;
        m_impl->lastError = error;
        m_impl->hComm = nullptr;
        LOG_MSG(LOG_ERROR, "[CSerialPort::OpenPort:%d] ", "Failed open port(%s)\n", shown);
        LOG_MSG(LOG_ERROR, "[CSerialPort::OpenPort:%d] ", "Reason : %s\n", SystemErrorText(error).c_str());
        return false;
    }
    UseMillisecondTimer();
    LOG_MSG(LOG_DETAIL, "[CSerialPort::OpenPort:%d] ", "Complete open port(%s)\n", shown);
    return true;
}

bool CSerialPort::ConfigurePortA(uint32_t baudRate, uint8_t byteSize, uint8_t parityCheck, uint8_t parity,
                                 uint8_t stopBits)
{
    if (!m_impl->IsOpen()) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ConfigurePortA:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }
    m_impl->lastResult = GetCommState(m_impl->hComm, &m_impl->dcb);
    if (!m_impl->lastResult) {
        DWORD error = m_impl->TakeError();
        LOG_MSG(LOG_ERROR, "[CSerialPort::ConfigurePortA:%d] ", "GetLastError : %d\n", static_cast<int>(error));
        LOG_MSG(LOG_ERROR, "[CSerialPort::ConfigurePortA:%d] ", "Failed GetCommState\n");
        m_impl->Close();
        return false;
    }

    DCB& dcb = m_impl->dcb;
    dcb.BaudRate = baudRate;
    dcb.ByteSize = byteSize;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    dcb.fBinary = 1;
    dcb.fParity = parityCheck & 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    // A line error stops transfers until ClearCommError; the transfers clear
    // it after error 995.
    dcb.fAbortOnError = 1;

    m_impl->lastResult = SetCommState(m_impl->hComm, &dcb);
    if (!m_impl->lastResult) {
        DWORD error = m_impl->TakeError();
        LOG_MSG(LOG_ERROR, "[CSerialPort::ConfigurePortA:%d] ", "GetLastError : %d\n", static_cast<int>(error));
        LOG_MSG(LOG_ERROR, "[CSerialPort::ConfigurePortA:%d] ", "Failed SetCommState\n");
        m_impl->Close();
        return false;
    }
    return true;
}

bool CSerialPort::SetCommunicationTimeouts(uint32_t readInterval, uint32_t readTotalMultiplier,
                                           uint32_t readTotalConstant, uint32_t writeTotalMultiplier,
                                           uint32_t writeTotalConstant)
{
    if (!m_impl->IsOpen()) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::SetCommunicationTimeouts:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }
    m_impl->lastResult = GetCommTimeouts(m_impl->hComm, &m_impl->timeouts);
    if (!m_impl->lastResult) {
        m_impl->TakeError();
        return false;
    }
    COMMTIMEOUTS& timeouts = m_impl->timeouts;
    timeouts.ReadIntervalTimeout = readInterval;
    timeouts.ReadTotalTimeoutMultiplier = readTotalMultiplier;
    timeouts.ReadTotalTimeoutConstant = readTotalConstant;
    timeouts.WriteTotalTimeoutMultiplier = writeTotalMultiplier;
    timeouts.WriteTotalTimeoutConstant = writeTotalConstant;

    m_impl->lastResult = SetCommTimeouts(m_impl->hComm, &timeouts);
    if (!m_impl->lastResult) {
        DWORD error = m_impl->TakeError();
        LOG_MSG(LOG_ERROR, "[CSerialPort::SetCommunicationTimeouts:%d] ", "GetLastError : %d\n",
                static_cast<int>(error));
        LOG_MSG(LOG_ERROR, "[CSerialPort::SetCommunicationTimeouts:%d] ", "Failed SetCommTimeouts\n");
        m_impl->Close();
        return false;
    }
    return true;
}

bool CSerialPort::SendData(const void* buf, uint32_t size, uint32_t* ulReadSize)
{
    if (!m_impl->IsOpen()) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::SendData:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }
    if (ulReadSize == nullptr) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::SendData:%d] ", "[ERROR] ulReadSize == NULL\n");
        return false;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(m_impl->hComm, buf, size, &written, nullptr);
    *ulReadSize = written;
    if (ok) {
        if (ZOLKLogger::GetInstance()->IsDebug()) {
            LOG_MSG(LOG_DETAIL, "[CSerialPort::SendData:%d] ", "Complete send data\n");
        }
        return true;
    }
    DWORD error = m_impl->TakeError();
    LOG_MSG(LOG_ERROR, "[CSerialPort::SendData:%d] ", "GetLastError : %d\n", static_cast<int>(error));
    LOG_MSG(LOG_ERROR, "[CSerialPort::SendData:%d] ", "Failed send data(%lu / %lu)\n",
            static_cast<unsigned long>(written), static_cast<unsigned long>(size));
    if (error == kAbortedError) {
        DWORD errors = 0;
        ClearCommError(m_impl->hComm, &errors, nullptr);
    }
    return false;
}

bool CSerialPort::ReadDataTimeout(void* pBuf, uint32_t size, uint32_t* ulReadSize, uint32_t pollCount)
{
    if (!m_impl->IsOpen()) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadDataTimeout:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }
    if (ulReadSize == nullptr) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadDataTimeout:%d] ", "[ERROR] ulReadSize == NULL\n");
        return false;
    }
    if (pBuf == nullptr) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadDataTimeout:%d] ", "[ERROR] pBuf == NULL\n");
        return false;
    }

    // Wait for the first byte. Each query of the input queue (which also
    // clears a pending line error) is followed by a 1 ms pause, so a silent
    // target costs no processor time; a poll count of n gives up after n.
    DWORD queued = 0;
    while (queued == 0) {
        if (!m_impl->QueuedBytes(&queued)) {
            *ulReadSize = 0;
            LOG_MSG(LOG_ERROR, "[CSerialPort::ReadDataTimeout:%d] ", "GetLastError : %d\n",
                    static_cast<int>(m_impl->lastError));
            LOG_MSG(LOG_ERROR, "[CSerialPort::ReadDataTimeout:%d] ", "Failed read data(%lu / %lu)\n", 0UL,
                    static_cast<unsigned long>(size));
            return false;
        }
        if (pollCount > 0) {
            Sleep(1);
            if (--pollCount == 0) {
                break;
            }
        } else if (queued == 0) {
            Sleep(1);
        }
    }

    *ulReadSize = 0;
    DWORD received = 0;
    BOOL ok = ReadFile(m_impl->hComm, pBuf, size, &received, nullptr);
    *ulReadSize = received;
    if (ok) {
        if (ZOLKLogger::GetInstance()->IsDebug()) {
            LOG_MSG(LOG_DETAIL, "[CSerialPort::ReadDataTimeout:%d] ", "Complete read data\n");
        }
        return true;
    }
    DWORD error = m_impl->TakeError();
    LOG_MSG(LOG_ERROR, "[CSerialPort::ReadDataTimeout:%d] ", "GetLastError : %d\n", static_cast<int>(error));
    LOG_MSG(LOG_ERROR, "[CSerialPort::ReadDataTimeout:%d] ", "Failed read data(%lu / %lu)\n",
            static_cast<unsigned long>(received), static_cast<unsigned long>(size));
    if (error == kAbortedError) {
        DWORD errors = 0;
        ClearCommError(m_impl->hComm, &errors, nullptr);
    }
    return false;
}

bool CSerialPort::ReadTreshData(uint32_t count)
{
    if (!m_impl->IsOpen()) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadTreshData:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }
    bool result = true;
    for (uint32_t i = 0; i < count; ++i) {
        DWORD errors = 0;
        COMSTAT status{};
        ClearCommError(m_impl->hComm, &errors, &status);
        char byte = 0;
        DWORD received = 0;
        result = ReadFile(m_impl->hComm, &byte, 1, &received, nullptr) != 0;
        if (received == 1) {
            std::fwrite(&byte, 1, 1, stdout);
        }
        if (!result) {
            m_impl->TakeError();
            break;  // a failed device fails every later read the same way
        }
    }
    std::fflush(stdout);
    return result;
}

bool CSerialPort::ReadFull(void* pBuf, uint32_t size, uint32_t* ulReadSize, uint32_t silenceMs)
{
    if (!m_impl->IsOpen()) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadFull:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }
    if (ulReadSize == nullptr) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadFull:%d] ", "[ERROR] ulReadSize == NULL\n");
        return false;
    }
    if (pBuf == nullptr) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadFull:%d] ", "[ERROR] pBuf == NULL\n");
        return false;
    }

    // Reads only what the input queue already holds, so each ReadFile returns
    // at once whatever time-outs are in force; the silence is measured here.
    auto* out = static_cast<unsigned char*>(pBuf);
    DWORD got = 0;
    ULONGLONG lastInput = GetTickCount64();
    *ulReadSize = 0;
    while (got < size) {
        DWORD queued = 0;
        bool ok = m_impl->QueuedBytes(&queued);
        DWORD received = 0;
        if (ok && queued > 0) {
            DWORD want = queued < size - got ? queued : size - got;
            ok = ReadFile(m_impl->hComm, out + got, want, &received, nullptr) != 0;
            if (!ok) {
                m_impl->TakeError();
            }
        }
        if (!ok) {
            *ulReadSize = got;
            DWORD error = m_impl->lastError;
            LOG_MSG(LOG_ERROR, "[CSerialPort::ReadFull:%d] ", "GetLastError : %d\n", static_cast<int>(error));
            LOG_MSG(LOG_ERROR, "[CSerialPort::ReadFull:%d] ", "Failed read data(%lu / %lu)\n",
                    static_cast<unsigned long>(got), static_cast<unsigned long>(size));
            if (error == kAbortedError) {
                DWORD errors = 0;
                ClearCommError(m_impl->hComm, &errors, nullptr);
            }
            return false;
        }
        if (received > 0) {
            got += received;
            lastInput = GetTickCount64();
            continue;
        }
        if (GetTickCount64() - lastInput >= silenceMs) {
            break;
        }
        Sleep(1);
    }
    *ulReadSize = got;
    return true;
}

std::string CSerialPort::DeviceNameForPort(uint32_t port)
{
    char name[32];
    std::snprintf(name, sizeof(name), "\\\\.\\COM%lu", static_cast<unsigned long>(port));
    return name;
}

std::string CSerialPort::DeviceNameForText(const char* text)
{
    if (text == nullptr) {
        return "";
    }
    if (std::strncmp(text, "\\\\.\\", 4) == 0) {
        text += 4;
    }
    if (std::toupper(static_cast<unsigned char>(text[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(text[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(text[2])) != 'M') {
        return "";
    }
    const char* digits = text + 3;
    size_t count = std::strlen(digits);
    // Port numbers from 1 to 4294967295, written without leading zeros.
    if (count == 0 || count > 10 || digits[0] == '0') {
        return "";
    }
    unsigned long long port = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(digits[i]))) {
            return "";
        }
        port = port * 10 + static_cast<unsigned>(digits[i] - '0');
    }
    if (port > 0xFFFFFFFFull) {
        return "";
    }
    return DeviceNameForPort(static_cast<uint32_t>(port));
}

bool CSerialPort::IsOpen() const
{
    return m_impl->IsOpen();
}

bool CSerialPort::IsGone() const
{
    return m_impl->gone;
}

int CSerialPort::LastError() const
{
    return static_cast<int>(m_impl->lastError);
}
