// The simulated board's side of the serial line, apart from the terminal:
// the byte budget of a line paced at its speed, and the queue of what the
// board sent on its way out, held back by an adapter's reply latency. Both
// take the time as an argument (milliseconds of any monotonic clock), so
// tests drive them with a clock of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim_board.h"

// Byte budget of one direction of a paced line: 10 bits a byte at the speed
// in force. Idle time earns at most kBurstMs of credit (two bytes where
// they take longer), so pacing stays true to the line while still absorbing
// the wake-up latency of poll. A speed of 0 means no pacing.
class SimPacer {
public:
    static constexpr double kBurstMs = 1.0;

    // Bytes that may pass at now, at most want.
    size_t Allow(double now, uint32_t baud, size_t want);
    void Use(size_t bytes, uint32_t baud);
    // Bytes held back until t earn no credit while they wait: the line was
    // busy with them (a latency timer holds bytes that already crossed it).
    void NoCreditBefore(double t);
    // Milliseconds until one more byte may pass.
    double WaitMs(double now, uint32_t baud) const;

private:
    double m_freeAt = 0;
};

// What the board sent, in the order it sent it, each part at its speed.
class SimSendQueue {
public:
    explicit SimSendQueue(double latencyMs) : m_latencyMs(latencyMs) {}

    // The board's output at now: none of it goes out before now + latency.
    void Add(std::vector<SimBoard::Output> outputs, double now);
    void Clear() { m_segments.clear(); }
    bool Empty() const { return m_segments.empty(); }

    // Bytes that may be written at now (0: none yet); when none may,
    // *waitMs is how long until some may (unchanged with nothing queued).
    size_t Allow(double now, uint32_t paceBaud, double* waitMs);
    // Speed and bytes of the part that goes out next.
    uint32_t NextBaud() const { return m_segments.front().baud; }
    const uint8_t* NextBytes() const;
    size_t NextSize() const;
    // n bytes of the next part went out (paced at paceBaud, 0: not paced).
    void Sent(size_t n, uint32_t paceBaud);
    // The next part is lost (sent at a speed the host does not listen at).
    void DropNext() { m_segments.pop_front(); }

private:
    struct Segment {
        uint32_t baud;
        std::vector<uint8_t> bytes;
        size_t pos = 0;
        double readyMs = 0;  // not sent before this time (the reply latency)
    };
    double m_latencyMs;
    std::deque<Segment> m_segments;
    SimPacer m_pacer;
};
