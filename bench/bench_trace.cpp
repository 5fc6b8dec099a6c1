#include "bench_trace.h"

#include <cstdlib>
#include <fstream>

#include "protocol/codes.h"
#include "sim_wire.h"

namespace {

// The host's fixed pauses between the boot image announcement and its first
// byte: 200 ms after the command packet, 500 ms before the data phase.
constexpr double kBootPauseBeforeImageMs = 700.0;

}  // namespace

std::vector<TraceLine> ReadTrace(const std::string& path)
{
    std::vector<TraceLine> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const size_t t = line.find("\"t_ms\":");
        const size_t dir = line.find("\"dir\":\"");
        if (t == std::string::npos || dir == std::string::npos) {
            continue;
        }
        TraceLine l;
        l.t = std::strtod(line.c_str() + t + 7, nullptr);
        l.rx = line.compare(dir + 7, 2, "rx") == 0;
        const size_t v0 = line.find("\"v\":\"");
        if (v0 != std::string::npos) {
            l.packet = true;
            l.w0 = static_cast<uint32_t>(std::strtoul(line.c_str() + v0 + 5, nullptr, 16));
            const size_t v1 = line.find("\"v\":\"", v0 + 5);
            if (v1 != std::string::npos) {
                l.w1 = static_cast<uint32_t>(std::strtoul(line.c_str() + v1 + 5, nullptr, 16));
            }
        } else {
            const size_t d = line.find("\"data\":");
            if (d != std::string::npos) {
                l.data = std::strtoull(line.c_str() + d + 7, nullptr, 10);
            }
        }
        out.push_back(l);
    }
    return out;
}

Phase FindPhase(const std::vector<TraceLine>& trace, uint32_t cmd, size_t chunks)
{
    Phase p;
    size_t i = 0;
    for (; i < trace.size(); ++i) {
        if (trace[i].packet && trace[i].rx && trace[i].w0 == cmd) {
            p.cmdMs = trace[i].t;
            break;
        }
    }
    const bool write = cmd == WRITE_CMD;
    for (++i; i < trace.size(); ++i) {
        const TraceLine& l = trace[i];
        if (!l.packet) {
            continue;
        }
        // Write: the board sends CHUNK_ACK; dump: the host does.
        if (l.w0 == CHUNK_ACK && l.w1 == cmd && l.rx != write) {
            if (p.chunks++ == 0) {
                p.startMs = l.t;
            }
        }
        // The board's dump chunk headers are ACK packets too: the final
        // answer is the ACK after the last chunk reply.
        if (!l.rx && l.w0 == ACK && l.w1 == cmd && p.chunks == chunks) {
            p.endMs = l.t;
            break;
        }
    }
    return p;
}

double BootImageMs(const std::vector<TraceLine>& trace, uint32_t cmd, uint64_t size)
{
    double announced = -1;
    for (const TraceLine& l : trace) {
        if (l.packet && l.rx && l.w0 == cmd) {
            announced = l.t;
        } else if (announced >= 0 && !l.packet && l.rx && l.data == size) {
            return l.t - announced - kBootPauseBeforeImageMs;
        }
    }
    return -1;
}

LineEfficiency MeasureLine(const std::vector<TraceLine>& trace, uint64_t size, double baud)
{
    LineEfficiency e;
    const size_t chunks = SimChunkCount(size);
    e.write = FindPhase(trace, WRITE_CMD, chunks);
    e.dump = FindPhase(trace, READ_CMD, chunks);
    const double line = baud / 10.0;  // bytes a second
    const double payload = static_cast<double>(size) - static_cast<double>(kSimChunkSize);
    e.writeShare = payload / (e.write.Ms() / 1000.0 * line);
    e.dumpShare = payload / (e.dump.Ms() / 1000.0 * line);
    return e;
}
