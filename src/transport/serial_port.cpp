// The CSerialPort operations on every platform: argument checks, messages,
// which failure closes the port, and the record of failures. The device work
// is in Impl, defined by serial_port_posix.cpp or serial_port_win32.cpp.
#include "transport/serial_port.h"

#include <cstdio>

#include "support/clock.h"
#include "support/logger.h"
#include "support/stop_request.h"
#include "transport/serial_port_impl.h"

namespace {

// Tries after the first failure of a call with an error of no known kind.
constexpr int kOtherErrorRetries = 3;
// Pause between those tries: long enough for a driver that is briefly busy.
constexpr uint32_t kOtherErrorPauseMs = 10;
// The same failure of one operation is printed at most this often in a row.
constexpr int kMaxRepeatedReports = 3;

}  // namespace

bool OtherErrorTries::Again()
{
    if (m_tries >= kOtherErrorRetries || StopRequested()) {
        return false;
    }
    ++m_tries;
    SleepMs(kOtherErrorPauseMs);
    return !StopRequested();
}

bool CSerialPort::Impl::Fail(SerialFailure kind, int error)
{
    if (kind == SerialFailure::kOther && StopRequested()) {
        kind = SerialFailure::kStopped;
    }
    failure = kind;
    lastError = error;
    if (kind == SerialFailure::kGone) {
        gone = true;
    } else if (kind == SerialFailure::kOther) {
        broken = true;
    }
    return false;
}

void CSerialPort::Impl::Succeeded()
{
    failure = SerialFailure::kNone;
    reportCount = 0;
}

bool CSerialPort::Impl::RefuseFinal()
{
    if (gone) {
        failure = SerialFailure::kGone;
        return true;
    }
    if (broken) {
        failure = SerialFailure::kOther;
        return true;
    }
    return false;
}

bool CSerialPort::Impl::IsUsable() const
{
    return IsOpen() && !gone && !broken && !StopRequested();
}

bool CSerialPort::Impl::Ready(const char* tag, std::initializer_list<Given> needed) const
{
    if (!IsOpen()) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }
    for (const Given& given : needed) {
        if (given.pointer == nullptr) {
            LOG_MSG(LOG_ERROR, tag, "[ERROR] %s == NULL\n", given.name);
            return false;
        }
    }
    return true;
}

void CSerialPort::Impl::ReportFailure(const char* tag, const char* failedLine)
{
    LOG_MSG(LOG_ERROR, tag, "GetLastError : %d\n", lastError);
    LOG_MSG(LOG_ERROR, tag, "%s", failedLine);
    LOG_MSG(LOG_ERROR, tag, "Reason : %s\n", ErrorText(lastError).c_str());
}

bool CSerialPort::Impl::ShouldReport(const char* op)
{
    if (reportCount > 0 && reportedOp == op && reportedError == lastError) {
        ++reportCount;
    } else {
        reportedOp = op;
        reportedError = lastError;
        reportCount = 1;
    }
    return reportCount <= kMaxRepeatedReports;
}

CSerialPort::CSerialPort() : m_impl(std::make_unique<Impl>()) {}

// The device is closed here so that a process that opens the same device
// again (or many ports, as the tests do) is neither refused by the exclusive
// open of a handle nobody uses any more nor runs out of descriptors.
CSerialPort::~CSerialPort()
{
    m_impl->Close();
}

bool CSerialPort::OpenPort(const char* name, uint32_t access)
{
    Impl& im = *m_impl;
    if (access == 0) {
        access = kSerialAccessRead | kSerialAccessWrite;
    }
    const char* shown = name != nullptr ? name : "";
    im.failure = SerialFailure::kNone;
    im.lastError = 0;
    im.gone = false;
    im.broken = false;
    im.reportCount = 0;
    if (!im.Open(shown, access)) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::OpenPort:%d] ", "Failed open port(%s)\n", shown);
        LOG_MSG(LOG_ERROR, "[CSerialPort::OpenPort:%d] ", "Reason : %s\n", im.ErrorText(im.lastError).c_str());
        return false;
    }
    LOG_MSG(LOG_DETAIL, "[CSerialPort::OpenPort:%d] ", "Complete open port(%s)\n", shown);
    return true;
}

// A port whose line settings could not be read or applied is closed: it
// would talk to the target at an unknown rate.
bool CSerialPort::ConfigurePortA(uint32_t baudRate, uint8_t byteSize, uint8_t parityCheck, uint8_t parity,
                                 uint8_t stopBits)
{
    const char* const tag = "[CSerialPort::ConfigurePortA:%d] ";
    Impl& im = *m_impl;
    if (!im.Ready(tag)) {
        return false;
    }
    const char* failed = nullptr;
    if (!im.ReadLineSettings()) {
        failed = "Failed GetCommState\n";
    } else if (!im.ApplyLineSettings(baudRate, byteSize, parityCheck, parity, stopBits)) {
        failed = "Failed SetCommState\n";
    }
    if (failed != nullptr) {
        LOG_MSG(LOG_ERROR, tag, "GetLastError : %d\n", im.lastError);
        LOG_MSG(LOG_ERROR, tag, "%s", failed);
        LOG_MSG(LOG_ERROR, tag, "Cannot set the port to %u baud - %s\n", baudRate, im.ErrorText(im.lastError).c_str());
        im.Close();
        return false;
    }
    im.Succeeded();
    return true;
}

bool CSerialPort::SetCommunicationTimeouts(uint32_t readInterval, uint32_t readTotalMultiplier,
                                           uint32_t readTotalConstant, uint32_t writeTotalMultiplier,
                                           uint32_t writeTotalConstant)
{
    const char* const tag = "[CSerialPort::SetCommunicationTimeouts:%d] ";
    Impl& im = *m_impl;
    if (!im.Ready(tag)) {
        return false;
    }
    // Failing to read the time-outs in force leaves the port open; it is
    // reported all the same, since the run cannot go on with unknown ones.
    if (!im.ReadTimeouts()) {
        im.ReportFailure(tag, "Failed GetCommTimeouts\n");
        return false;
    }
    if (!im.ApplyTimeouts(readInterval, readTotalMultiplier, readTotalConstant, writeTotalMultiplier,
                          writeTotalConstant)) {
        im.ReportFailure(tag, "Failed SetCommTimeouts\n");
        im.Close();
        return false;
    }
    im.Succeeded();
    return true;
}

// A failed transfer leaves the port open: the caller decides from
// LastFailure() and IsUsable() what follows. A stopped call prints nothing.
bool CSerialPort::SendData(const void* buf, uint32_t size, uint32_t* ulReadSize)
{
    const char* const tag = "[CSerialPort::SendData:%d] ";
    Impl& im = *m_impl;
    if (!im.Ready(tag, {{ulReadSize, "ulReadSize"}})) {
        return false;
    }
    *ulReadSize = 0;
    if (!im.Write(buf, size, ulReadSize)) {
        if (im.failure != SerialFailure::kStopped && im.ShouldReport("SendData")) {
            char line[64];
            std::snprintf(line, sizeof(line), "Failed send data(%lu / %lu)\n", static_cast<unsigned long>(*ulReadSize),
                          static_cast<unsigned long>(size));
            im.ReportFailure(tag, line);
        }
        return false;
    }
    im.Succeeded();
    if (ZOLKLogger::GetInstance()->IsDebug()) {
        LOG_MSG(LOG_DETAIL, tag, "Complete send data\n");
    }
    return true;
}

// Stops and line errors print nothing: the caller acts on them (a damaged
// chunk is asked for again).
void CSerialPort::Impl::ReportReadFailure(const char* op, const char* tag, uint32_t got, uint32_t size)
{
    if (failure == SerialFailure::kStopped || failure == SerialFailure::kLineError || !ShouldReport(op)) {
        return;
    }
    char line[64];
    std::snprintf(line, sizeof(line), "Failed read data(%lu / %lu)\n", static_cast<unsigned long>(got),
                  static_cast<unsigned long>(size));
    ReportFailure(tag, line);
}

bool CSerialPort::ReadDataTimeout(void* pBuf, uint32_t size, uint32_t* ulReadSize, uint32_t pollCount)
{
    const char* const tag = "[CSerialPort::ReadDataTimeout:%d] ";
    Impl& im = *m_impl;
    if (!im.Ready(tag, {{ulReadSize, "ulReadSize"}, {pBuf, "pBuf"}})) {
        return false;
    }
    *ulReadSize = 0;
    // The read follows the wait in every case, also when nothing came.
    if (!im.WaitForInput(pollCount) || !im.Read(pBuf, size, ulReadSize)) {
        im.ReportReadFailure("ReadDataTimeout", tag, *ulReadSize, size);
        return false;
    }
    im.Succeeded();
    if (ZOLKLogger::GetInstance()->IsDebug()) {
        LOG_MSG(LOG_DETAIL, tag, "Complete read data\n");
    }
    return true;
}

bool CSerialPort::ReadTreshData(uint32_t count)
{
    Impl& im = *m_impl;
    if (!im.Ready("[CSerialPort::ReadTreshData:%d] ")) {
        return false;
    }
    bool ok = true;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t byte = 0;
        uint32_t got = 0;
        ok = im.DrainRead(&byte, &got);
        if (got == 1) {
            std::fwrite(&byte, 1, 1, stdout);
            std::fflush(stdout);
        }
        if (!ok && im.failure != SerialFailure::kLineError) {
            break;  // a failed device fails every later read the same way
        }
    }
    std::fflush(stdout);
    if (ok) {
        im.Succeeded();
    }
    return ok;
}

bool CSerialPort::ReadFull(void* pBuf, uint32_t size, uint32_t* ulReadSize, uint64_t silenceMs)
{
    const char* const tag = "[CSerialPort::ReadFull:%d] ";
    Impl& im = *m_impl;
    if (!im.Ready(tag, {{ulReadSize, "ulReadSize"}, {pBuf, "pBuf"}})) {
        return false;
    }
    *ulReadSize = 0;
    if (!im.ReadUntilSilence(pBuf, size, ulReadSize, silenceMs)) {
        im.ReportReadFailure("ReadFull", tag, *ulReadSize, size);
        return false;
    }
    im.Succeeded();
    return true;
}

bool CSerialPort::IsOpen() const
{
    return m_impl->IsOpen();
}

bool CSerialPort::IsGone() const
{
    return m_impl->gone;
}

bool CSerialPort::IsUsable() const
{
    return m_impl->IsUsable();
}

SerialFailure CSerialPort::LastFailure() const
{
    return m_impl->failure;
}

int CSerialPort::LastError() const
{
    return m_impl->lastError;
}

std::string CSerialPort::LastErrorText() const
{
    return m_impl->ErrorText(m_impl->lastError);
}
