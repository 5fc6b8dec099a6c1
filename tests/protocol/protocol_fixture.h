// Shared pieces of the protocol tests: the scripted target of
// common/scripted_peer.h, plus scratch files, console colours and the
// protocol's limits put back after each test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/pty_pair.h"
#include "common/scripted_peer.h"
#include "common/wire_packet.h"
#include "protocol/packet.h"
#include "protocol/protocol_fw.h"
#include "protocol/zolk_protocol.h"
#include "support/clock.h"
#include "support/console.h"
#include "support/crc.h"
#include "support/logger.h"
#include "support/byte_sink.h"
#include "support/zolk_file.h"
#include "transport/serial_port.h"

inline std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> out(size);
    for (auto& b : out) {
        b = static_cast<uint8_t>(gen());
    }
    return out;
}

inline uint32_t Crc(const std::vector<uint8_t>& data, size_t offset = 0, size_t size = SIZE_MAX)
{
    if (size == SIZE_MAX) {
        size = data.size() - offset;
    }
    return CalcCRC(data.data() + offset, size, 0);
}

// The console attribute sequence a level's messages start with, as printed
// on a terminal.
inline std::string AttributeSequence(uint16_t attribute)
{
    testing::internal::CaptureStdout();
    SetConsoleTextAttribute(attribute);
    return testing::internal::GetCapturedStdout();
}

// The last attribute sequence printed before the first occurrence of text.
inline std::string AttributeBefore(const std::string& out, const std::string& text)
{
    const size_t at = out.find(text);
    if (at == std::string::npos) {
        return "(text not found)";
    }
    const size_t esc = out.rfind("\x1b[0", at);
    if (esc == std::string::npos) {
        return "(no attribute)";
    }
    return out.substr(esc, out.find('m', esc) - esc + 1);
}

class ProtocolTest : public ScriptedPeerTest {
protected:
    void SetUp() override
    {
        ZolkProtocol::SetSilenceLimitMs(kDefaultSilenceLimitMs);
        ScriptedPeerTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char& c : name) {
            if (c == '/') {
                c = '_';
            }
        }
        m_dir = std::filesystem::path(testing::TempDir()) / ("zolk_protocol_" + name);
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
    }

    void TearDown() override
    {
        JoinPeer();
        ConsoleForceTerminal(-1);
        ZOLKLogger::GetInstance()->SetDebug(false);
        ZolkProtocol::SetSilenceLimitMs(kDefaultSilenceLimitMs);
        ScriptedPeerTest::TearDown();
        if (!m_dir.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(m_dir, ec);
        }
    }

    std::string MakeFile(const std::string& name, const std::vector<uint8_t>& data)
    {
        const std::string path = (m_dir / name).string();
        FILE* f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f != nullptr) {
            if (!data.empty()) {
                std::fwrite(data.data(), 1, data.size(), f);
            }
            std::fclose(f);
        }
        return path;
    }
    std::string PathOf(const std::string& name) const { return (m_dir / name).string(); }

    static std::vector<uint8_t> ReadWholeFile(const std::string& path)
    {
        std::vector<uint8_t> out;
        FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) {
            return out;
        }
        uint8_t buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) {
            out.insert(out.end(), buf, buf + n);
        }
        std::fclose(f);
        return out;
    }

private:
    std::filesystem::path m_dir;
};

// What a transfer returned, and what the host printed during it.
struct Outcome {
    bool ok = false;
    std::string out;
};

// Milliseconds a call took.
template <typename F>
long long ElapsedMs(F&& f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// A dump's data straight into a file.
struct FileSink final : ByteSink {
    explicit FileSink(const std::string& path) : file(path.c_str(), "wb") {}
    bool Write(const void* data, uint64_t size) override { return file.Write(data, size); }
    bool Flush() override { return file.Flush(); }
    ZOLKFile file;
};

// Sends the region of a file as a write, as the run does.
inline Outcome SendWrite(CSerialPort* port, const std::string& path, uint32_t offset, uint32_t size)
{
    ProtocolFW fw(port);
    testing::internal::CaptureStdout();
    const bool ok = fw.SendFileAndRecvRes(path.c_str(), WRITE_CMD, offset, size);
    return {ok, testing::internal::GetCapturedStdout()};
}

// Dumps size bytes into path; the file is closed (and flushed) before this
// returns, so the outcome covers the flush too.
inline Outcome Dump(CSerialPort* port, const std::string& path, uint32_t size)
{
    Outcome r;
    {
        FileSink file(path);
        ProtocolFW fw(port);
        testing::internal::CaptureStdout();
        r.ok = fw.DumpProtocol(&file, READ_CMD, size);
        r.out = testing::internal::GetCapturedStdout();
    }
    return r;
}
