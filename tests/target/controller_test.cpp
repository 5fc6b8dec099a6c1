// The controller's queries against a scripted target on a pseudo-terminal.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/output_capture.h"
#include "common/pty_pair.h"
#include "common/scripted_peer.h"
#include "common/wire_packet.h"
#include "protocol/codes.h"
#include "protocol/packet.h"
#include "target/zolk_qex.h"
#include "transport/serial_port.h"

namespace {

class ControllerQueries : public ScriptedPeerTest {
protected:
    // Queues what the target answers; the host reads it after its command.
    void Answer(uint32_t type, uint32_t p0, uint32_t p1, uint32_t p2 = 0, uint32_t p3 = 0, uint32_t p4 = 0)
    {
        pty.Write(Wire(Packet(type, p0, p1, p2, p3, p4)));
    }

    uint32_t SentCommand()
    {
        const std::vector<uint8_t> wire = pty.Read(kFwPacketSize, 2000);
        return wire.size() == kFwPacketSize ? DecodePacket(wire.data(), wire.size()).cmdType : 0;
    }
};

TEST_F(ControllerQueries, StorageInformation)
{
    struct Case {
        const char* what;
        uint32_t length;
        std::string text;  // sent after the answer
        bool ok;
        std::string printed;
    };
    const Case cases[] = {
        {"text", 11, "eflash 2MiB", true, "\neflash 2MiB\n"},
        {"empty text", 0, "", true, "\n\n"},
        {"length at the bound", 65536, std::string(65536, 'x'), true, std::string(65536, 'x') + "\n"},
        {"length beyond the bound", 65537, "", false, "Storage information length 65537 is above the limit"},
        {"length that wraps", 0xFFFFFFFFu, "", false, "Storage information length 4294967295 is above the limit"},
    };
    for (const Case& c : cases) {
        ZOLK_QEX controller(&port, BuildForm::General());
        // The text may be larger than the terminal's buffer: the target
        // writes it while the host reads.
        std::thread target([&] {
            Answer(ACK, STORAGE_INFO_CMD, c.length);
            if (!c.text.empty()) {
                pty.Write(c.text.data(), c.text.size());
            }
        });
        OutputCapture cap;
        const bool ok = controller.InfoStorage();
        const std::string printed = cap.Out();
        target.join();
        EXPECT_EQ(ok, c.ok) << c.what;
        EXPECT_NE(printed.find(c.printed), std::string::npos) << c.what << ": " << printed.substr(0, 300);
        EXPECT_NE(printed.find("[ZOLK_QEX::InfoStorage:"), std::string::npos) << c.what;
        EXPECT_EQ(SentCommand(), STORAGE_INFO_CMD) << c.what;
    }
}

TEST_F(ControllerQueries, ChipInformationByForm)
{
    struct Case {
        BuildForm form;
        uint32_t dual, expand, chip, ecc;
        ChipInfo expected;
        const char* enforced;  // message of the per-chip forms, or null
    };
    const Case cases[] = {
        {BuildForm::General(), 0, 1, 0x30230, 1, {0x30230, true, true, false}, nullptr},
        {BuildForm::General(), 2, 0xFFFFFFFFu, 0x12345678, 0, {0x12345678, true, false, true}, nullptr},
        {BuildForm::PerChip(20230), 0, 1, 0x30230, 1, {20230, true, true, false}, "Enforce chipnumber = 20230\n"},
        {BuildForm::PerChip(30360), 1, 0, 7, 0, {30360, false, false, true}, "Enforce chipnumber = 30360\n"},
    };
    for (const Case& c : cases) {
        ZOLK_QEX controller(&port, c.form);
        Answer(ACK, CHIP_INFO_CMD, 0);
        Answer(0, c.dual, c.expand, c.chip, c.ecc, 0xDEADBEEF);
        OutputCapture cap;
        EXPECT_TRUE(controller.GetChipInfo()) << c.form.Name();
        const std::string printed = cap.Out();
        const ChipInfo& info = controller.GetChipInfoRecord();
        EXPECT_EQ(info.chipNumber, c.expected.chipNumber) << c.form.Name();
        EXPECT_EQ(info.expandFlash, c.expected.expandFlash) << c.form.Name();
        EXPECT_EQ(info.ecc, c.expected.ecc) << c.form.Name();
        EXPECT_EQ(info.dualBank, c.expected.dualBank) << c.form.Name();
        if (c.enforced != nullptr) {
            EXPECT_NE(printed.find(std::string("[ZOLK_QEX::GetChipInfo:")), std::string::npos);
            EXPECT_NE(printed.find(c.enforced), std::string::npos) << printed;
        } else {
            EXPECT_EQ(printed.find("Enforce"), std::string::npos) << printed;
        }
        EXPECT_EQ(SentCommand(), CHIP_INFO_CMD);
    }
}

TEST_F(ControllerQueries, RefusedChipInformationLeavesTheRecord)
{
    ZOLK_QEX controller(&port, BuildForm::PerChip(30230));
    Answer(NACK, CHIP_INFO_CMD, INVALID_CMD);
    OutputCapture cap;
    EXPECT_FALSE(controller.GetChipInfo());
    const std::string printed = cap.Out();
    EXPECT_NE(printed.find("Received NACK"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("Enforce"), std::string::npos);
    EXPECT_EQ(controller.GetChipInfoRecord().chipNumber, 0u);
}

}  // namespace
