#include "sim_line.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

size_t SimPacer::Allow(double now, uint32_t baud, size_t want)
{
    if (baud == 0) {
        return want;
    }
    // The credit is at least two bytes: below 10000 baud a byte takes longer
    // than kBurstMs, and a credit of less than a byte (or of one byte, by a
    // rounding error) would never let one pass.
    const double burstMs = std::max(kBurstMs, 2 * 10000.0 / baud);
    if (m_freeAt < now - burstMs) {
        m_freeAt = now - burstMs;
    }
    const double n = std::floor((now - m_freeAt) * baud / 10000.0);
    if (n <= 0) {
        return 0;
    }
    return std::min(want, static_cast<size_t>(n));
}

void SimPacer::Use(size_t bytes, uint32_t baud)
{
    if (baud != 0) {
        m_freeAt += static_cast<double>(bytes) * 10000.0 / baud;
    }
}

void SimPacer::NoCreditBefore(double t)
{
    if (m_freeAt < t) {
        m_freeAt = t;
    }
}

double SimPacer::WaitMs(double now, uint32_t baud) const
{
    return baud == 0 ? 0.0 : m_freeAt + 10000.0 / baud - now;
}

void SimSendQueue::Add(std::vector<SimBoard::Output> outputs, double now)
{
    for (SimBoard::Output& o : outputs) {
        m_segments.push_back(Segment{o.baud, std::move(o.bytes), 0, now + m_latencyMs});
    }
}

size_t SimSendQueue::Allow(double now, uint32_t paceBaud, double* waitMs)
{
    if (m_segments.empty()) {
        return 0;
    }
    const Segment& next = m_segments.front();
    if (next.readyMs > now) {
        *waitMs = next.readyMs - now;
        return 0;
    }
    if (m_latencyMs > 0 && next.pos == 0) {
        m_pacer.NoCreditBefore(next.readyMs);
    }
    const size_t allow = m_pacer.Allow(now, paceBaud, SIZE_MAX);
    if (allow == 0) {
        *waitMs = m_pacer.WaitMs(now, paceBaud);
    }
    return allow;
}

const uint8_t* SimSendQueue::NextBytes() const
{
    const Segment& next = m_segments.front();
    return next.bytes.data() + next.pos;
}

size_t SimSendQueue::NextSize() const
{
    const Segment& next = m_segments.front();
    return next.bytes.size() - next.pos;
}

void SimSendQueue::Sent(size_t n, uint32_t paceBaud)
{
    m_pacer.Use(n, paceBaud);
    Segment& next = m_segments.front();
    next.pos += n;
    if (next.pos == next.bytes.size()) {
        m_segments.pop_front();
    }
}
