// qex_sim's options and its server: the simulated board behind a
// pseudo-terminal, as a host sees a board on a serial port.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sim_board.h"

struct SimOptions {
    SimConfig board;
    bool lineRate = false;  // pace bytes at the line speed in force
    bool once = false;      // end after the first host has closed the line
    uint32_t replyLatencyMs = 0;  // hold every reply back this long, as a USB adapter's latency timer does
    std::string link;       // symbolic link to the pseudo-terminal, if set
    std::string trace;      // JSON-lines trace file, if set
};

enum class SimParse { Ok, Help, Error };

// Parses qex_sim's command line. On Error, *error holds the message.
SimParse ParseSimOptions(int argc, char** argv, SimOptions* options, std::string* error);
// The --help text.
std::string SimUsage();

class SimServer {
public:
    explicit SimServer(const SimOptions& options);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Creates the pseudo-terminal (raw, no echo), the link, the trace and the
    // board's storage.
    bool Open(std::string* error);
    // Path of the host side, for example /dev/pts/5.
    const std::string& SlavePath() const { return m_slavePath; }
    // Serves hosts until Stop, the end of the first host with --once, or a
    // hang-up fault. Returns the process exit code (0).
    int Run();
    // Ends Run from any thread or from a signal handler.
    void Stop();

    SimBoard& Board() { return *m_board; }

private:
    void CloseMaster();

    SimOptions m_options;
    std::unique_ptr<SimTrace> m_trace;
    std::unique_ptr<SimBoard> m_board;
    int m_master = -1;
    int m_stopPipe[2] = {-1, -1};
    std::string m_slavePath;
    bool m_linkMade = false;
};
