// A host serial port on the slave side of a pseudo-terminal, with the test
// playing the target at the master side (inline, or as a script on its own
// thread). The protocol's fixed pauses are skipped: they are not what these
// tests look at.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "common/pty_pair.h"
#include "common/wire_packet.h"
#include "protocol/packet.h"
#include "support/clock.h"
#include "transport/serial_port.h"

class ScriptedPeerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_prevSleep = SetSleepFunction([](uint32_t) {});
        ASSERT_TRUE(port.OpenPort(pty.SlavePath().c_str()));
        ASSERT_TRUE(port.ConfigurePortA(460800, 8, 0, 0, 0));
        ASSERT_TRUE(port.SetCommunicationTimeouts(0, 0, 0, 0, 0));
    }

    void TearDown() override
    {
        JoinPeer();
        SetSleepFunction(m_prevSleep);
    }

    // Runs the target's script on its own thread.
    void RunPeer(std::function<void(PtyPair&)> script)
    {
        m_peer = std::thread([this, script] { script(pty); });
    }
    void JoinPeer()
    {
        if (m_peer.joinable()) {
            m_peer.join();
        }
    }

    // The next packet the host sent; zeros past what arrived in time.
    static ProtocolPacket ReadPacket(PtyPair& p, size_t size = kFwPacketSize, int timeoutMs = 5000)
    {
        std::vector<uint8_t> bytes = p.Read(size, timeoutMs);
        bytes.resize(kPacketBufferSize, 0);
        return DecodePacket(bytes.data(), size);
    }

    PtyPair pty;
    CSerialPort port;

private:
    SleepFunction m_prevSleep = nullptr;
    std::thread m_peer;
};
