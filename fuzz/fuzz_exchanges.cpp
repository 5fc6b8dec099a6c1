// The host against arbitrary bytes from the target side, in every exchange:
// firmware ping, storage and chip information, writes (command answer, chunk
// replies, final answer), dumps (answer, chunk headers and data, final
// answer), low format, and the boot ROM's handshake and image answers.
//
// Input: byte 0 picks the exchange, byte 1 a parameter (dump size, bank), the
// rest is what the target sends. The host talks over a real pseudo-terminal;
// a thread plays the target: it queues the bytes, swallows what the host
// sends, and closes the line once the host has gone quiet, so that no wait
// can last for ever.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/pty_pair.h"
#include "protocol/codes.h"
#include "protocol/protocol_cb.h"
#include "protocol/protocol_fw.h"
#include "protocol/zolk_protocol.h"
#include "run/args.h"
#include "support/build_form.h"
#include "support/clock.h"
#include "target/zolk_qex.h"
#include "transport/serial_port.h"

namespace {

// The host's silence bound while fuzzing, and how long the target side waits
// for the host to go quiet before it hangs up.
constexpr uint32_t kSilenceMs = 10;
constexpr int kQuietMs = 15;
constexpr int kIterationLimitMs = 5000;

std::string g_dir;
std::string g_writeFile;
std::string g_hsmFile;
std::string g_zolkFile;
std::string g_dumpFile;

void NoSleep(uint32_t) {}

void MakeFile(const std::string& path, size_t size)
{
    std::vector<char> data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>(i * 131 + 7);
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(data.data(), static_cast<std::streamsize>(size));
}

// The target side: queues the input, drains the host's output, and hangs up
// when the input is out and the host has sent nothing for kQuietMs.
void PlayTarget(PtyPair* pty, const uint8_t* data, size_t size)
{
    using Clock = std::chrono::steady_clock;
    const int fd = pty->MasterFd();
    const Clock::time_point start = Clock::now();
    Clock::time_point lastHost = start;
    size_t sent = 0;
    uint8_t sink[4096];
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now - start > std::chrono::milliseconds(kIterationLimitMs)) {
            break;
        }
        if (sent == size && now - lastHost > std::chrono::milliseconds(kQuietMs)) {
            break;
        }
        pollfd pfd{fd, static_cast<short>(POLLIN | (sent < size ? POLLOUT : 0)), 0};
        if (poll(&pfd, 1, 5) < 0) {
            break;
        }
        if (pfd.revents & POLLIN) {
            const ssize_t n = read(fd, sink, sizeof(sink));
            if (n > 0) {
                lastHost = Clock::now();
            }
        }
        if (sent < size && (pfd.revents & POLLOUT)) {
            const ssize_t n = write(fd, data + sent, size - sent);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                lastHost = Clock::now();
            }
        }
    }
    pty->CloseMaster();
}

char g_eflash[] = "eflash";

ZOLKArgs WriteArgs()
{
    ZOLKArgs args;
    args.pWriteFileName = g_writeFile.data();
    args.pStorage = g_eflash;
    return args;
}

void RunExchange(uint8_t which, uint8_t param, CSerialPort& serial)
{
    ZOLK_QEX qex(&serial, BuildForm{0});
    ProtocolFW fw(&serial);
    switch (which % 9) {
    case 0:
        serial.SetCommunicationTimeouts(10, 10, 10, 10, 10);
        qex.PingFW();
        break;
    case 1:
        qex.InfoStorage();
        break;
    case 2:
        qex.GetChipInfo();
        break;
    case 3: {
        ZOLKArgs args = WriteArgs();
        qex.WriteFile(&args, WRITE_CMD, &fw);
        break;
    }
    case 4: {
        ZOLKArgs args;
        args.pReadFileName = g_dumpFile.data();
        args.pStorage = g_eflash;
        args.ullSize = static_cast<uint64_t>(param) * 97u;
        qex.DumpStorage(&args, READ_CMD, static_cast<uint32_t>(args.ullSize), "wb");
        break;
    }
    case 5:
        qex.LowformatCommand();
        break;
    case 6: {
        // One boot attempt: handshake, HSM image, ZOLK image.
        ProtocolCB cb(&serial);
        if (!cb.StartQEXZOLK()) {
            break;
        }
        serial.SetCommunicationTimeouts(100, 100, 100, 100, 100);
        ZOLKArgs hsm;
        hsm.pWriteFileName = g_hsmFile.data();
        hsm.ullFileOffset = 0x2000;
        hsm.ullSize = 0x10000;
        if (qex.WriteFile(&hsm, RECEIVE_HSM_CMD, &cb)) {
            ZOLKArgs zolk;
            zolk.pWriteFileName = g_zolkFile.data();
            qex.WriteFile(&zolk, RECEIVE_ZOLK_CMD, &cb);
        }
        break;
    }
    case 7: {
        qex.GetChipInfo();
        ZOLKArgs args = WriteArgs();
        args.pStorage = nullptr;
        args.uiBank = param & 1u;
        qex.WriteFileByBank(&args, WRITE_CMD, &fw);
        break;
    }
    case 8: {
        qex.GetChipInfo();
        ZOLKArgs args;
        args.pReadFileName = g_dumpFile.data();
        args.uiBank = param & 1u;
        qex.DumpStorageByBank(&args, READ_CMD, &fw);
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The console log and progress bar are expected output.
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    SetSleepFunction(NoSleep);
    ZolkProtocol::SetSilenceLimitMs(kSilenceMs);
    char dir[] = "/tmp/zolk_fuzz_XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        abort();
    }
    g_dir = dir;
    g_writeFile = g_dir + "/write.bin";
    g_hsmFile = g_dir + "/hsm.bin";
    g_zolkFile = g_dir + "/zolk.bin";
    g_dumpFile = g_dir + "/dump.bin";
    MakeFile(g_writeFile, 5000);
    MakeFile(g_hsmFile, 0x12000);
    MakeFile(g_zolkFile, 64);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    PtyPair pty;
    CSerialPort serial;
    if (!serial.OpenPort(pty.SlavePath().c_str(), 0)) {
        return 0;
    }
    serial.ConfigurePortA(460800, 8, 0, 0, 0);
    serial.SetCommunicationTimeouts(0, 0, 0, 0, 0);
    std::thread target(PlayTarget, &pty, data + 2, size - 2);
    RunExchange(data[0], data[1], serial);
    target.join();
    return 0;
}
