// The simulated board on a thread of the test, with qex_sim's own options:
//
//   InProcSim sim({"--firmware-running", "--silent-after-ack", "FW_PING"});
//   ... open sim.Path() as the serial device ...
//
// Linux only (the simulator runs on a pseudo-terminal).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim_server.h"

class InProcSim {
public:
    explicit InProcSim(std::vector<std::string> args)
    {
        args.insert(args.begin(), "qex_sim");
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        SimOptions options;
        std::string error;
        EXPECT_EQ(ParseSimOptions(static_cast<int>(argv.size()), argv.data(), &options, &error), SimParse::Ok)
            << error;
        m_server = std::make_unique<SimServer>(options);
        m_ok = m_server->Open(&error);
        EXPECT_TRUE(m_ok) << error;
        if (m_ok) {
            m_thread = std::thread([this] { m_server->Run(); });
        }
    }
    ~InProcSim()
    {
        m_server->Stop();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    InProcSim(const InProcSim&) = delete;
    InProcSim& operator=(const InProcSim&) = delete;

    bool Started() const { return m_ok; }
    const std::string& Path() const { return m_server->SlavePath(); }

private:
    std::unique_ptr<SimServer> m_server;
    std::thread m_thread;
    bool m_ok = false;
};
