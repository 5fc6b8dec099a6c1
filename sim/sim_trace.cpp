#include "sim_trace.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "protocol/codes.h"
#include "protocol/packet.h"

namespace {

uint64_t SteadyNs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

}  // namespace

void SimTrace::Packet(const char*, uint32_t, const uint8_t*, size_t) {}
void SimTrace::Data(const char*, uint32_t, size_t) {}
void SimTrace::Event(const char*, int64_t) {}

SimTrace& SimTrace::None()
{
    static SimTrace none;
    return none;
}

std::unique_ptr<SimFileTrace> SimFileTrace::Open(const std::string& path, std::string* error)
{
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr) {
        *error = "cannot open trace file " + path + ": " + strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<SimFileTrace>(new SimFileTrace(file));
}

SimFileTrace::SimFileTrace(FILE* file) : m_file(file), m_startNs(SteadyNs()) {}

SimFileTrace::~SimFileTrace()
{
    fclose(m_file);
}

double SimFileTrace::NowMs() const
{
    return static_cast<double>(SteadyNs() - m_startNs) / 1e6;
}

void SimFileTrace::Packet(const char* dir, uint32_t baud, const uint8_t* wire, size_t size)
{
    fprintf(m_file, "{\"t_ms\":%.3f,\"dir\":\"%s\",\"baud\":%u,\"words\":[", NowMs(), dir, baud);
    for (size_t i = 0; i + 4 <= size; i += 4) {
        const uint32_t v = GetLE32(wire + i);
        const char* name = v == CHUNK_ACK ? "CHUNK_ACK" : CodeName(v);
        fprintf(m_file, "%s{\"v\":\"0x%08X\",\"name\":\"%s\"}", i == 0 ? "" : ",", v, name);
    }
    fprintf(m_file, "]}\n");
    fflush(m_file);
}

void SimFileTrace::Data(const char* dir, uint32_t baud, size_t count)
{
    fprintf(m_file, "{\"t_ms\":%.3f,\"dir\":\"%s\",\"baud\":%u,\"data\":%zu}\n", NowMs(), dir, baud, count);
    fflush(m_file);
}

void SimFileTrace::Event(const char* what, int64_t value)
{
    fprintf(m_file, "{\"t_ms\":%.3f,\"event\":\"%s\",\"value\":%lld}\n", NowMs(), what,
            static_cast<long long>(value));
    fflush(m_file);
}
