// The CSerialPort operations on every platform: argument checks, messages and
// which failure closes the port. The device work is in Impl, defined by
// serial_port_posix.cpp or serial_port_win32.cpp.
#include "transport/serial_port.h"

#include <cstdio>

#include "support/logger.h"
#include "support/stop_request.h"
#include "transport/serial_port_impl.h"

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
    if (!im.Open(shown, access)) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::OpenPort:%d] ", "Failed open port(%s)\n", shown);
        LOG_MSG(LOG_ERROR, "[CSerialPort::OpenPort:%d] ", "Reason : %s\n", im.ErrorText(im.LastError()).c_str());
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
    Impl& im = *m_impl;
    if (!im.IsOpen()) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ConfigurePortA:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }
    if (!im.ReadLineSettings()) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ConfigurePortA:%d] ", "GetLastError : %d\n", im.LastError());
        LOG_MSG(LOG_ERROR, "[CSerialPort::ConfigurePortA:%d] ", "Failed GetCommState\n");
        im.Close();
        return false;
    }
    if (!im.ApplyLineSettings(baudRate, byteSize, parityCheck, parity, stopBits)) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ConfigurePortA:%d] ", "GetLastError : %d\n", im.LastError());
        LOG_MSG(LOG_ERROR, "[CSerialPort::ConfigurePortA:%d] ", "Failed SetCommState\n");
        im.Close();
        return false;
    }
    return true;
}

bool CSerialPort::SetCommunicationTimeouts(uint32_t readInterval, uint32_t readTotalMultiplier,
                                           uint32_t readTotalConstant, uint32_t writeTotalMultiplier,
                                           uint32_t writeTotalConstant)
{
    Impl& im = *m_impl;
    if (!im.IsOpen()) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::SetCommunicationTimeouts:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }
    // Failing to read the time-outs in force is reported by the result
    // alone and leaves the port open.
    if (!im.ReadTimeouts()) {
        return false;
    }
    if (!im.ApplyTimeouts(readInterval, readTotalMultiplier, readTotalConstant, writeTotalMultiplier,
                          writeTotalConstant)) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::SetCommunicationTimeouts:%d] ", "GetLastError : %d\n",
                im.LastError());
        LOG_MSG(LOG_ERROR, "[CSerialPort::SetCommunicationTimeouts:%d] ", "Failed SetCommTimeouts\n");
        im.Close();
        return false;
    }
    return true;
}

// A failed transfer leaves the port open: the caller decides from IsGone()
// whether the device can still be used.
bool CSerialPort::SendData(const void* buf, uint32_t size, uint32_t* ulReadSize)
{
    Impl& im = *m_impl;
    if (!im.IsOpen()) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::SendData:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }
    if (ulReadSize == nullptr) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::SendData:%d] ", "[ERROR] ulReadSize == NULL\n");
        return false;
    }
    *ulReadSize = 0;
    if (!im.Write(buf, size, ulReadSize)) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::SendData:%d] ", "GetLastError : %d\n", im.LastError());
        LOG_MSG(LOG_ERROR, "[CSerialPort::SendData:%d] ", "Failed send data(%lu / %lu)\n",
                static_cast<unsigned long>(*ulReadSize), static_cast<unsigned long>(size));
        return false;
    }
    if (ZOLKLogger::GetInstance()->IsDebug()) {
        LOG_MSG(LOG_DETAIL, "[CSerialPort::SendData:%d] ", "Complete send data\n");
    }
    return true;
}

bool CSerialPort::ReadDataTimeout(void* pBuf, uint32_t size, uint32_t* ulReadSize, uint32_t pollCount)
{
    Impl& im = *m_impl;
    if (!im.IsOpen()) {
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
    *ulReadSize = 0;
    // The read follows the wait in every case, also when nothing came.
    if (!im.WaitForInput(pollCount) || !im.Read(pBuf, size, ulReadSize)) {
        // A read ended by a stop request is no failure of the line.
        if (StopRequested()) {
            return false;
        }
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadDataTimeout:%d] ", "GetLastError : %d\n", im.LastError());
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadDataTimeout:%d] ", "Failed read data(%lu / %lu)\n",
                static_cast<unsigned long>(*ulReadSize), static_cast<unsigned long>(size));
        return false;
    }
    if (ZOLKLogger::GetInstance()->IsDebug()) {
        LOG_MSG(LOG_DETAIL, "[CSerialPort::ReadDataTimeout:%d] ", "Complete read data\n");
    }
    return true;
}

bool CSerialPort::ReadTreshData(uint32_t count)
{
    Impl& im = *m_impl;
    if (!im.IsOpen()) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadTreshData:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
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
        if (!ok) {
            break;  // a failed device fails every later read the same way
        }
    }
    std::fflush(stdout);
    return ok;
}

bool CSerialPort::ReadFull(void* pBuf, uint32_t size, uint32_t* ulReadSize, uint32_t silenceMs)
{
    Impl& im = *m_impl;
    if (!im.IsOpen()) {
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
    *ulReadSize = 0;
    if (!im.ReadUntilSilence(pBuf, size, ulReadSize, silenceMs)) {
        if (StopRequested()) {
            return false;
        }
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadFull:%d] ", "GetLastError : %d\n", im.LastError());
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadFull:%d] ", "Failed read data(%lu / %lu)\n",
                static_cast<unsigned long>(*ulReadSize), static_cast<unsigned long>(size));
        return false;
    }
    return true;
}

bool CSerialPort::IsOpen() const
{
    return m_impl->IsOpen();
}

bool CSerialPort::IsGone() const
{
    return m_impl->IsGone();
}

int CSerialPort::LastError() const
{
    return m_impl->LastError();
}
