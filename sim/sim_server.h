// qex_sim's options and its server: the simulated board behind a
// pseudo-terminal, as a host sees a board on a serial port.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim_board.h"
#include "sim_line.h"

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
    // What one turn of the loop waits for.
    struct LineWait {
        short events = 0;       // POLLIN / POLLOUT on the line
        double timeoutMs = -1;  // -1: no timed event
        size_t rxAllow = 0;     // bytes the host may send now
        size_t txAllow = 0;     // bytes the board may send now
        uint32_t paceBaud = 0;  // the line speed with --line-rate, else 0
    };
    enum class PollResult { Ready, Again, End };
    enum class ReadResult { Data, Nothing, Gone, Failed };

    // One turn: the board's output queued, a wait on the line, bytes moved
    // each way and the board's timed work. False: the run is over.
    bool Turn();
    // Queues what the board sent; false once the board hung up.
    bool TakeBoardOutput();
    uint32_t LineBaud() const;
    LineWait PlanWait(double now);
    PollResult PollLine(const LineWait& wait, short* revents);
    ReadResult ReadFromHost(const LineWait& wait, double now);
    // The line has no host: waits a little for one. False: the run is over.
    bool IdleWithoutHost();
    // The host closed the line: what was on its way is dropped. False when
    // the run ends with the first host (--once).
    bool HostGone();
    // False: the run is over.
    bool WriteToHost(const LineWait& wait);
    void CloseMaster();

    SimOptions m_options;
    std::unique_ptr<SimTrace> m_trace;
    std::unique_ptr<SimBoard> m_board;
    SimPacer m_rxPacer;
    SimSendQueue m_send;
    std::vector<uint8_t> m_buf;
    bool m_connected = false;
    int m_master = -1;
    int m_stopPipe[2] = {-1, -1};
    std::string m_slavePath;
    bool m_linkMade = false;
};
