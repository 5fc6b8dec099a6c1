// A port whose writes fail for good (an error of no known kind that outlasts
// its tries) in the middle of a transfer: the transfer ends and says that the
// port failed, not that the line is gone, since nothing hung up.
#include <functional>

#include "common/pty_pair.h"
#include "common/serial_os_faults_posix.h"
#include "protocol/protocol_cb.h"
#include "protocol/protocol_fw.h"
#include "protocol_fixture.h"

namespace {

struct WriteFailureCase {
    const char* name;
    // The board's side; runs while the host's writes fail.
    std::function<void(PtyPair&, const std::vector<uint8_t>&)> board;
    // The host's transfer of data; true when it worked.
    std::function<bool(CSerialPort&, const std::vector<uint8_t>& data, const std::string& path)> transfer;
    std::string message;
};

void PrintTo(const WriteFailureCase& c, std::ostream* os) { *os << c.name; }

class WriteFailureTest : public ProtocolTest, public testing::WithParamInterface<WriteFailureCase> {
protected:
    void SetUp() override
    {
        ProtocolTest::SetUp();
        InstallSerialOsFaults();
    }
    void TearDown() override
    {
        RemoveSerialOsFaults();
        ProtocolTest::TearDown();
    }
};

TEST_P(WriteFailureTest, SaysThePortFailed)
{
    const WriteFailureCase& c = GetParam();
    const std::vector<uint8_t> data = RandomBytes(5000, 41);
    const std::string path = MakeFile("data.bin", data);
    RunPeer([&](PtyPair& p) { c.board(p, data); });
    g_write.Set(EINVAL, -1);
    testing::internal::CaptureStdout();
    const bool ok = c.transfer(port, data, path);
    const std::string out = testing::internal::GetCapturedStdout();
    JoinPeer();

    EXPECT_FALSE(ok) << out;
    EXPECT_NE(out.find("Reason : Invalid argument\n"), std::string::npos) << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_EQ(out.find("Serial line is gone"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, WriteFailureTest,
    testing::Values(
        WriteFailureCase{"WriteChunk", [](PtyPair&, const std::vector<uint8_t>&) {},
                         [](CSerialPort& port, const std::vector<uint8_t>&, const std::string& path) {
                             ProtocolFW fw(&port);
                             return fw.SendFile(path.c_str(), 0, 0);
                         },
                         "] Serial port failed - sending the chunk at byte 0 of 5000\n"},
        WriteFailureCase{"DumpChunkAnswer",
                         [](PtyPair& p, const std::vector<uint8_t>& data) {
                             std::vector<uint8_t> frame = Wire(Packet(ACK, READ_CMD, Crc(data, 0, kChunkSize)));
                             frame.insert(frame.end(), data.begin(), data.begin() + kChunkSize);
                             p.Write(frame);
                         },
                         [](CSerialPort& port, const std::vector<uint8_t>& data, const std::string& path) {
                             FileSink sink(path + ".dump");
                             ProtocolFW fw(&port);
                             return fw.DumpProtocol(&sink, READ_CMD, static_cast<uint32_t>(data.size()));
                         },
                         "] Serial port failed - answering the chunk at byte 2048 of 5000\n"},
        WriteFailureCase{"BootImage", [](PtyPair&, const std::vector<uint8_t>&) {},
                         [](CSerialPort& port, const std::vector<uint8_t>&, const std::string& path) {
                             ProtocolCB cb(&port);
                             return cb.SendFile(path.c_str(), 0, 0);
                         },
                         "] Serial port failed - image stopped at byte 0 of 5000\n"}),
    [](const testing::TestParamInfo<WriteFailureCase>& info) { return std::string(info.param.name); });

// Nobody reads the board's side, so the line's buffer fills: the write of a
// command or a chunk ends by the write time-out instead of holding the run.
TEST_F(ProtocolTest, WriteToALineThatTakesNothingEndsByItsTimeout)
{
    struct Case {
        const char* name;
        std::function<bool(ZolkProtocol&, const std::string& path)> send;
        std::string message;
    };
    const std::string path = MakeFile("data.bin", RandomBytes(5000, 42));
    const Case cases[] = {
        {"Command",
         [](ZolkProtocol& fw, const std::string&) {
             const ProtocolPacket cmd = fw.MakeCmdPacket(FW_PING, nullptr);
             return fw.SendCommand(&cmd);
         },
         "] The line took nothing for 300 ms - the board or the adapter stopped reading\n"},
        {"Chunk", [](ZolkProtocol& fw, const std::string& p) { return fw.SendFile(p.c_str(), 0, 0); },
         "] Failed to send the chunk at byte 0 of 5000 - the line took nothing for 300 ms\n"},
    };
    ZolkProtocol::SetSilenceLimitMs(300);
    ASSERT_TRUE(port.SetCommunicationTimeouts(0, 0, 0, 0, 300));
    for (const Case& c : cases) {
        // Fill the line's buffer: writes end short once it holds no more.
        const std::vector<uint8_t> junk(4096, 0x55);
        uint32_t written = junk.size();
        for (int i = 0; i < 10000 && written == junk.size(); ++i) {
            ASSERT_TRUE(port.SendData(junk.data(), static_cast<uint32_t>(junk.size()), &written));
        }
        ASSERT_LT(written, junk.size());
        ProtocolFW fw(&port);
        testing::internal::CaptureStdout();
        const bool ok = c.send(fw, path);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(ok) << c.name << "\n" << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.name << "\n" << out;
    }
}

}  // namespace
