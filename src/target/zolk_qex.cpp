// The target controller: construction, the firmware queries and the printers
// of the storage window and the bank layout.
#include "target/zolk_qex.h"

#include <cstdio>
#include <memory>
#include <new>

#include "protocol/codes.h"
#include "protocol/packet.h"
#include "protocol/protocol_fw.h"
#include "support/logger.h"
#include "support/run_record.h"
#include "support/zolk_args.h"
#include "transport/serial_port.h"

namespace {

// The storage information text is a short human-readable description; a
// length beyond this comes from a confused or hostile line and would make the
// host allocate (and wait for) gigabytes.
constexpr uint32_t kMaxStorageInfoLength = 64 * 1024;

}  // namespace

ZOLK_QEX::ZOLK_QEX(CSerialPort* serial, const BuildForm& form) : m_serial(serial), m_form(form)
{
    if (m_serial == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::ZOLK_QEX:%d] ", "[ERROR] m_serial == NULL\n");
    }
}

bool ZOLK_QEX::PingFW()
{
    ProtocolFW protocol(m_serial);
    ProtocolPacket cmd = protocol.MakeCmdPacket(FW_PING, nullptr);
    if (!protocol.SendCommand(&cmd)) {
        return false;
    }
    // A board still in its boot ROM stays silent: give up after 100 polls.
    return protocol.RecvResPacket(FW_PING, nullptr, 100);
}

bool ZOLK_QEX::FailedQuery(const ZolkProtocol& protocol)
{
    m_lineFailed = protocol.WentSilent() || m_serial == nullptr || !m_serial->IsUsable();
    return false;
}

bool ZOLK_QEX::StartQuery(ProtocolFW& protocol, uint32_t code, const char* what, ProtocolPacket* pRes)
{
    m_lineFailed = false;
    ProtocolPacket cmd = protocol.MakeCmdPacket(code, nullptr);
    if (!protocol.SendCommand(&cmd)) {
        return FailedQuery(protocol);
    }
    if (!protocol.RecvAnswer(code, pRes, ZolkProtocol::AnswerBoundMs(), what)) {
        return FailedQuery(protocol);
    }
    return true;
}

bool ZOLK_QEX::InfoStorage()
{
    ProtocolFW protocol(m_serial);
    ProtocolPacket res;
    if (!StartQuery(protocol, STORAGE_INFO_CMD, "storage information", &res)) {
        return false;
    }

    const uint32_t length = res.param[1];
    if (length > kMaxStorageInfoLength) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::InfoStorage:%d] ",
                "Storage information length %u is above the limit of %u bytes - not read\n", length,
                kMaxStorageInfoLength);
        return false;
    }

    std::unique_ptr<char[]> buf(new (std::nothrow) char[length + 1]);
    if (!buf) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::InfoStorage:%d] ", "[ERROR] Failed to malloc - (buf == NULL)\n");
        return false;
    }
    for (uint32_t i = 0; i <= length; ++i) {
        buf[i] = 0;
    }
    // The text follows the answer at once; the wait for it has the same bound.
    if (length != 0 && !protocol.RecvWithin(buf.get(), length, ZolkProtocol::AnswerBoundMs(), "storage information",
                                            "[ZOLK_QEX::InfoStorage:%d] ")) {
        return FailedQuery(protocol);
    }
    LOG_MSG(LOG_INFO, "[ZOLK_QEX::InfoStorage:%d] ", "\n%s\n", buf.get());
    return true;
}

bool ZOLK_QEX::GetChipInfo()
{
    ProtocolFW protocol(m_serial);
    ProtocolPacket res;
    if (!StartQuery(protocol, CHIP_INFO_CMD, "chip information", &res)) {
        return false;
    }

    uint8_t raw[kPacketBufferSize] = {};
    if (!protocol.RecvWithin(raw, protocol.GetPacketSize(), ZolkProtocol::AnswerBoundMs(), "chip information",
                             "[ZOLK_QEX::GetChipInfo:%d] ")) {
        return FailedQuery(protocol);
    }
    const ProtocolPacket info = DecodePacket(raw, protocol.GetPacketSize());
    m_chipInfo.dualBank = info.param[0] != 0;
    m_chipInfo.expandFlash = info.param[1] != 0;
    m_chipInfo.chipNumber = info.param[2];
    m_chipInfo.ecc = info.param[3] != 0;

    const uint32_t reported = m_chipInfo.chipNumber;
    if (!m_form.IsGeneral()) {
        // A per-chip build serves one chip: its number replaces what the
        // target reports, the flags stay as reported.
        m_chipInfo.chipNumber = m_form.enforcedChip;
        LOG_MSG(LOG_DETAIL, "[ZOLK_QEX::GetChipInfo:%d] ", "Enforce chipnumber = %d\n",
                static_cast<int>(m_form.enforcedChip));
    }
    char reportedText[16];
    char usedText[16];
    std::snprintf(reportedText, sizeof(reportedText), "%X", reported);
    std::snprintf(usedText, sizeof(usedText), m_form.IsGeneral() ? "%X" : "%u", m_chipInfo.chipNumber);
    RunRecord::Get().SetChip(
        RunChip{true, reportedText, usedText, m_chipInfo.expandFlash, m_chipInfo.ecc, m_chipInfo.dualBank});
    return true;
}

void ZOLK_QEX::PrintStorageOption(const ZOLKArgs* pZolkArgs)
{
    if (pZolkArgs == nullptr) {
        return;
    }
    LOG_MSG(LOG_INFO, "[ZOLK_QEX::PrintStorageOption:%d] ",
            "---storage info---\n%s\noffset : 0x%x\nsize : %u byte\n",
            pZolkArgs->pStorage != nullptr ? pZolkArgs->pStorage : "(null)",
            static_cast<uint32_t>(pZolkArgs->ullAddr), static_cast<uint32_t>(pZolkArgs->ullSize));
}

void ZOLK_QEX::PrintBankInfo(const ZOLKArgs* pZolkArgs, const BankInfo* pBankInfo)
{
    if (pZolkArgs == nullptr || pBankInfo == nullptr) {
        return;
    }
    LOG_MSG(LOG_INFO, "[ZOLK_QEX::PrintBankInfo:%d] ",
            "---bank info---\nbank - %d\neFlash offset : 0x%x\neFlash size : %u byte\nSNOR offset : "
            "0x%x\nSNOR size : %u byte\n",
            static_cast<int>(pZolkArgs->uiBank), pBankInfo->eFlashOffset, pBankInfo->eFlashSize,
            pBankInfo->snorOffset, pBankInfo->snorSize);
}
