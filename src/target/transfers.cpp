// Storage operations of the target controller on one window: write (with
// its verify), dump, and the low format.
#include <cstdint>
#include <cstdio>
#include <string>

#include "protocol/codes.h"
#include "protocol/protocol_fw.h"
#include "protocol/zolk_protocol.h"
#include "support/atomic_file.h"
#include "support/clock.h"
#include "support/logger.h"
#include "support/run_record.h"
#include "support/stop_request.h"
#include "support/zolk_args.h"
#include "support/zolk_file.h"
#include "target/window_transfer.h"
#include "target/zolk_qex.h"
#include "transport/serial_port.h"

namespace {

// Compares what is read back from storage with the file region the write
// sent, chunk by chunk as it arrives, so the memory a verify needs does not
// grow with the window.
class VerifySink : public ByteSink {
public:
    explicit VerifySink(ZOLKFile& file) : m_file(file) {}

    bool Write(const void* data, uint64_t size) override
    {
        uint64_t got = 0;
        const uint8_t* wrote = m_file.Read(size, &got);
        if (wrote == nullptr || got != size) {
            LOG_MSG(LOG_ERROR, "[ZOLK_QEX::VerifyWritten:%d] ", "Write file %s cannot be read again for the verify\n",
                    m_file.GetName().c_str());
            return false;
        }
        const uint8_t* read = static_cast<const uint8_t*>(data);
        for (uint64_t i = 0; i < size; ++i) {
            if (read[i] != wrote[i]) {
                if (m_differing == 0) {
                    m_first = m_compared + i;
                    m_firstWrote = wrote[i];
                    m_firstRead = read[i];
                }
                ++m_differing;
            }
        }
        m_compared += size;
        return true;
    }
    bool Flush() override { return true; }

    uint64_t Differing() const { return m_differing; }
    uint64_t First() const { return m_first; }
    uint8_t FirstWrote() const { return m_firstWrote; }
    uint8_t FirstRead() const { return m_firstRead; }

private:
    ZOLKFile& m_file;
    uint64_t m_compared = 0;
    uint64_t m_differing = 0;
    uint64_t m_first = 0;
    uint8_t m_firstWrote = 0;
    uint8_t m_firstRead = 0;
};

// Bytes a write of the window in the run arguments sends: its size, or the
// file from its offset on when the size is 0.
uint64_t WriteRegionSize(const ZOLKFile& file, const ZOLKArgs* pZolkArgs)
{
    if (pZolkArgs->ullSize != 0) {
        return pZolkArgs->ullSize;
    }
    return file.GetSize() > pZolkArgs->ullFileOffset ? file.GetSize() - pZolkArgs->ullFileOffset : 0;
}

}  // namespace

bool ZOLK_QEX::WriteAndVerify(ZOLKArgs* pZolkArgs, uint32_t cmd, ZolkProtocol* pProtocol)
{
    if (pProtocol == nullptr || pZolkArgs == nullptr || pZolkArgs->pWriteFileName == nullptr) {
        return WriteFile(pZolkArgs, cmd, pProtocol);  // it says what is missing
    }
    ZOLKFile file;
    file.Open(pZolkArgs->pWriteFileName, "rb");  // a failure is reported, and ends the step below
    return WriteAndVerify(file, pZolkArgs, cmd, pProtocol);
}

bool ZOLK_QEX::WriteAndVerify(ZOLKFile& file, ZOLKArgs* pZolkArgs, uint32_t cmd, ZolkProtocol* pProtocol)
{
    RecordedStep step(StepKind::kWrite, pZolkArgs->pStorage, pZolkArgs->ullAddr, WriteRegionSize(file, pZolkArgs));
    if (!step.End(file.IsOpen() && WriteRegion(file, pZolkArgs, cmd, pProtocol))) {
        return false;
    }
    return pZolkArgs->bVerify == 0 || VerifyWritten(file, pZolkArgs);
}

bool ZOLK_QEX::VerifyWritten(ZOLKFile& file, const ZOLKArgs* pZolkArgs)
{
    const char* pStorage = pZolkArgs->pStorage != nullptr ? pZolkArgs->pStorage : "(null)";
    const uint64_t address = pZolkArgs->ullAddr;
    const uint64_t size = WriteRegionSize(file, pZolkArgs);
    RecordedStep step(StepKind::kVerify, pZolkArgs->pStorage, address, size);

    if (!file.SetOffset(static_cast<int64_t>(pZolkArgs->ullFileOffset), SEEK_SET)) {
        return step.End(false);  // the file reported why
    }
    // The read back goes the way of a dump, the same window as the write.
    char what[64];
    std::snprintf(what, sizeof(what), "verify of %s at 0x%llX", pStorage, static_cast<unsigned long long>(address));
    ZOLKArgs readBack = *pZolkArgs;
    readBack.pReadFileName = what;
    readBack.ullSize = size;
    VerifySink sink(file);
    ProtocolFW protocol(m_serial);
    LOG_MSG(LOG_INFO, "[ZOLK_QEX::VerifyWritten:%d] ", "Verify - reading back %llu bytes of %s at 0x%llX\n",
            static_cast<unsigned long long>(size), pStorage, static_cast<unsigned long long>(address));
    if (!ReceiveWindow(protocol, &sink, &readBack, READ_CMD, static_cast<uint32_t>(size), what)) {
        if (!StopRequested()) {
            LOG_MSG(LOG_ERROR, "[ZOLK_QEX::VerifyWritten:%d] ", "Verify failed - %s at 0x%llX could not be read back\n",
                    pStorage, static_cast<unsigned long long>(address));
        }
        return step.End(false);
    }
    if (sink.Differing() != 0) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::VerifyWritten:%d] ",
                "Verify failed - %s at 0x%llX: %llu of %llu bytes differ, the first at byte %llu (wrote 0x%02X, read "
                "0x%02X)\n",
                pStorage, static_cast<unsigned long long>(address), static_cast<unsigned long long>(sink.Differing()),
                static_cast<unsigned long long>(size), static_cast<unsigned long long>(sink.First()),
                sink.FirstWrote(), sink.FirstRead());
        return step.End(false);
    }
    LOG_MSG(LOG_SUCCESS, "[ZOLK_QEX::VerifyWritten:%d] ", "Verify complete - %llu bytes of %s at 0x%llX match\n",
            static_cast<unsigned long long>(size), pStorage, static_cast<unsigned long long>(address));
    return step.End(true);
}

bool ZOLK_QEX::WriteFile(ZOLKArgs* pZolkArgs, uint32_t cmd, ZolkProtocol* pProtocol)
{
    if (pProtocol == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::WriteFile:%d] ", "[ERROR] pProtocol == NULL\n");
        return false;
    }
    if (pZolkArgs == nullptr || pZolkArgs->pWriteFileName == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::WriteFile:%d] ", "[ERROR] pFileName == NULL\n");
        return false;
    }
    ZOLKFile file;
    if (!file.Open(pZolkArgs->pWriteFileName, "rb")) {
        return false;  // the file reported why
    }
    return WriteRegion(file, pZolkArgs, cmd, pProtocol);
}

bool ZOLK_QEX::WriteRegion(ZOLKFile& file, ZOLKArgs* pZolkArgs, uint32_t cmd, ZolkProtocol* pProtocol)
{
    // The region must lie inside the file (and fit the 32-bit words of the
    // wire) before the target is told to expect it: a short file would
    // otherwise be padded with stale bytes.
    if (!CheckFileRegion(file, pZolkArgs->ullFileOffset, pZolkArgs->ullSize, "[CheckFileRegion:%d] ")) {
        return false;
    }
    // The command's size and CRC come from this same open file.
    ZOLKArgs command = *pZolkArgs;
    command.pWriteFile = &file;
    ProtocolPacket packet = pProtocol->MakeCmdPacket(cmd, &command);
    if (!pProtocol->SendCommand(&packet)) {
        return false;
    }
    // A write may erase the whole window before the board answers; the boot
    // ROM answers an image announcement at once.
    const uint64_t bound = cmd == WRITE_CMD ? ZolkProtocol::EraseAnswerBoundMs(packet.param[1])
                                            : ZolkProtocol::AnswerBoundMs();
    ProtocolPacket res;
    if (!pProtocol->RecvAnswer(cmd, &res, bound)) {
        return false;
    }
    char name[64];
    LOG_MSG(LOG_DETAIL, "[ZOLK_QEX::WriteFile:%d] ", "Complete to send command(0x%X(%s))\n", cmd,
            ZolkProtocol::DefineToString(cmd, name));

    // The target prepares the storage window before it takes data.
    SleepMs(500);

    if (!pProtocol->SendFileAndRecvRes(file, cmd, static_cast<uint32_t>(pZolkArgs->ullFileOffset),
                                       static_cast<uint32_t>(pZolkArgs->ullSize))) {
        return false;
    }
    LOG_MSG(LOG_SUCCESS, "[ZOLK_QEX::WriteFile:%d] ", "Complete to send file - %s\n", file.GetName().c_str());
    SleepMs(500);
    return true;
}

bool ZOLK_QEX::DumpStorage(ZOLKArgs* pZolkArgs, uint32_t cmd, uint32_t size, const char* mode)
{
    const char* pFileName = pZolkArgs != nullptr ? pZolkArgs->pReadFileName : nullptr;
    ProtocolFW protocol(m_serial);
    if (pFileName == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::DumpStorage:%d] ", "[ERROR] pFileName == NULL\n");
        return false;
    }
    // A dump always makes a new file: adding to an existing one could not
    // leave that file as it was when the dump fails.
    if (mode == nullptr || std::string(mode) != "wb") {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::DumpStorage:%d] ", "[ERROR] mode %s - a dump only makes a new file (wb)\n",
                mode != nullptr ? mode : "(null)");
        return false;
    }

    // Created before the target is asked for data: when it cannot be made,
    // nothing is read and nothing is lost.
    RecordedStep step(StepKind::kDump, pZolkArgs->pStorage, pZolkArgs->ullAddr, size);
    AtomicFile out;
    if (!out.Open(pFileName)) {
        return step.End(false);
    }
    const bool received = ReceiveWindow(protocol, &out, pZolkArgs, cmd, size, pFileName);
    return step.End(FinishDump(out, received, size));
}

bool ZOLK_QEX::LowformatCommand()
{
    ProtocolFW protocol(m_serial);
    ProtocolPacket packet = protocol.MakeCmdPacket(LOW_FORMAT_CMD, nullptr);
    LOG_MSG(LOG_SUCCESS, "[ZOLK_QEX::LowformatCommand:%d] ", "Start to low format\n");
    // The command names no storage: the board erases all of it.
    LOG_MSG(LOG_INFO, "[ZOLK_QEX::LowformatCommand:%d] ", "All storage of the board (eflash and snor) will be erased\n");
    if (!protocol.SendCommand(&packet)) {
        return false;
    }
    if (!protocol.RecvResPacket(LOW_FORMAT_CMD, nullptr, 0)) {
        return false;
    }
    LOG_MSG(LOG_DETAIL, "[ZOLK_QEX::LowformatCommand:%d] ", "Complete to send low format command\n");
    LOG_MSG(LOG_INFO, "[ZOLK_QEX::LowformatCommand:%d] ", "Please wait, low-format can take a long time!\n");
    // The second acknowledgement comes when the erase is done; it may take
    // minutes, so the wait has no limit (announced above). A line that is
    // gone or a stop request still ends it.
    if (!protocol.RecvAnswer(LOW_FORMAT_CMD, nullptr, kWaitWithoutBound, "end of the low format")) {
        return false;
    }
    LOG_MSG(LOG_DETAIL, "[ZOLK_QEX::LowformatCommand:%d] ", "Complete to low format\n");
    return true;
}
