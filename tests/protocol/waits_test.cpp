// The bounds of the waits for the board's acknowledgements, and the two
// waits without a bound (the end of a low format, the start handshake), which
// still end on a stop request or a line that is gone.
#include <chrono>
#include <future>
#include <thread>

#include "common/pty_pair.h"
#include "protocol/protocol_cb.h"
#include "protocol/protocol_fw.h"
#include "protocol_fixture.h"
#include "support/zolk_args.h"
#include "support/stop_request.h"
#include "target/zolk_qex.h"

namespace {

// A boot load of the two image files: the start handshake is its first wait.
std::function<bool(ZOLK_QEX&)> BootLoad(const std::string& hsm, const std::string& zolk)
{
    return [hsm, zolk](ZOLK_QEX& qex) {
        ZOLKArgs args;
        args.pHsmFileName = const_cast<char*>(hsm.c_str());
        args.pZolkFileName = const_cast<char*>(zolk.c_str());
        return qex.LoadZolkFW(&args);
    };
}

using namespace std::chrono_literals;

constexpr uint32_t kMiB = 1024 * 1024;

class WaitTest : public ProtocolTest {
protected:
    void TearDown() override
    {
        ZolkProtocol::SetTimeoutScale(1);
        ClearStopRequest();
        ProtocolTest::TearDown();
    }
};

// The board takes the command and says nothing: the wait ends after the
// command's own bound, 10 s (here the shortened limit) for the boot ROM and
// 10 s + 30 s per MiB of the window, rounded up, for WRITE_CMD and READ_CMD,
// all times --timeout-scale.
TEST_F(WaitTest, AcknowledgementWaitEndsAfterItsBound)
{
    ZolkProtocol::SetSilenceLimitMs(100);
    const struct {
        const char* name;
        uint32_t cmd;
        uint32_t window;
        uint32_t scale;
        uint32_t boundMs;
    } cases[] = {
        {"write of 5 KiB", WRITE_CMD, 5120, 1, 400},
        {"write of 1 MiB and a byte", WRITE_CMD, kMiB + 1, 1, 700},
        {"dump of 1 MiB", READ_CMD, kMiB, 1, 400},
        {"write at scale 3", WRITE_CMD, 5120, 3, 1200},
        {"HSM image announcement", RECEIVE_HSM_CMD, 0x10000, 1, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZolkProtocol::SetTimeoutScale(c.scale);
        const uint32_t packetSize = c.cmd == RECEIVE_HSM_CMD ? kCbPacketSize : kFwPacketSize;
        std::promise<void> released;
        std::shared_future<void> release = released.get_future().share();
        RunPeer([packetSize, release](PtyPair& p) {
            p.Read(packetSize);
            release.wait();  // the line stays open, the board says nothing
        });

        ZOLK_QEX qex(&port, BuildForm {0});
        ZOLKArgs args;
        char storage[] = "snor";
        args.pStorage = storage;
        std::string file;
        bool ok = true;
        testing::internal::CaptureStdout();
        const long long ms = ElapsedMs([&] {
            if (c.cmd == READ_CMD) {
                file = PathOf("dump.bin");
                args.pReadFileName = file.data();
                args.ullSize = c.window;
                ok = qex.DumpStorage(&args, READ_CMD, c.window, "wb");
            } else if (c.cmd == WRITE_CMD) {
                file = MakeFile("w.bin", RandomBytes(c.window, 3));
                args.pWriteFileName = file.data();
                ProtocolFW fw(&port);
                ok = qex.WriteFile(&args, WRITE_CMD, &fw);
            } else {
                file = MakeFile("hsm.bin", RandomBytes(0x12000, 4));
                args.pWriteFileName = file.data();
                args.ullFileOffset = 0x2000;
                args.ullSize = c.window;
                ProtocolCB cb(&port);
                ok = qex.WriteFile(&args, RECEIVE_HSM_CMD, &cb);
            }
        });
        const std::string out = testing::internal::GetCapturedStdout();
        released.set_value();
        JoinPeer();

        EXPECT_FALSE(ok);
        const std::string message = std::string("No answer to ") + CodeName(c.cmd) + " for " +
                                    std::to_string(c.boundMs) + " ms - the board stopped answering\n";
        EXPECT_NE(out.find(message), std::string::npos) << message << out;
        EXPECT_GE(ms, c.boundMs * 95 / 100);
        EXPECT_LT(ms, c.boundMs + 1500);
    }
}

// The announced waits have no bound. A stop request ends them at once and
// the run prints nothing more for them; a line that is gone ends them at
// once with its message.
TEST_F(WaitTest, WaitsWithoutABoundEndOnAStopOrALostLine)
{
    const std::string hsm = MakeFile("hsm.bin", RandomBytes(0x12000, 5));
    const std::string zolk = MakeFile("zolk.bin", RandomBytes(4096, 6));
    const struct {
        const char* name;
        std::function<void(PtyPair&)> enter;  // the board's part until the wait begins
        std::function<bool(ZOLK_QEX&)> call;
        const char* goneMessage;
    } waits[] = {
        {"end of a low format",
         [](PtyPair& p) {
             p.Read(kFwPacketSize);
             p.Write(Wire(Packet(ACK, LOW_FORMAT_CMD)));
         },
         [](ZOLK_QEX& qex) { return qex.LowformatCommand(); },
         "Serial line is gone - waiting for the end of the low format\n"},
        {"start handshake of a board that waits for a reset", [](PtyPair&) {}, BootLoad(hsm, zolk),
         "The serial device is gone - boot load stopped\n"},
    };
    for (const auto& w : waits) {
        for (const bool lineGone : {false, true}) {
            SCOPED_TRACE(std::string(w.name) + (lineGone ? ", line gone" : ", stop request"));
            ClearStopRequest();
            // A line of its own: the board's side may be closed.
            PtyPair pair;
            CSerialPort line;
            ASSERT_TRUE(line.OpenPort(pair.SlavePath().c_str()));
            ASSERT_TRUE(line.ConfigurePortA(460800, 8, 0, 0, 0));
            ASSERT_TRUE(line.SetCommunicationTimeouts(0, 0, 0, 0, 0));
            std::thread board([&] {
                w.enter(pair);
                std::this_thread::sleep_for(700ms);
                if (lineGone) {
                    pair.CloseMaster();
                } else {
                    RequestStop(2);
                }
            });
            ZOLK_QEX qex(&line, BuildForm {0});
            bool ok = true;
            testing::internal::CaptureStdout();
            const long long ms = ElapsedMs([&] { ok = w.call(qex); });
            const std::string out = testing::internal::GetCapturedStdout();
            board.join();
            EXPECT_FALSE(ok);
            EXPECT_GE(ms, 650);
            EXPECT_LT(ms, 700 + 1000);
            if (lineGone) {
                EXPECT_NE(out.find(w.goneMessage), std::string::npos) << out;
            } else {
                for (const char* word : {"stopped answering", "gone", "Failed", "boot load stopped"}) {
                    EXPECT_EQ(out.find(word), std::string::npos) << word << "\n" << out;
                }
            }
        }
    }
    ClearStopRequest();
}

}  // namespace
