// The simulated board's trace: JSON lines, one per packet in both directions,
// one per raw data block, one per event. A board always has a trace; without
// --trace it is the one that writes nothing (SimTrace::None), so the board
// never asks whether it is tracing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class SimTrace {
public:
    virtual ~SimTrace() = default;

    // A packet as it is on the wire; every word is named when it is a code.
    virtual void Packet(const char* dir, uint32_t baud, const uint8_t* wire, size_t size);
    // A block of raw bytes (image, chunk, storage text): only its length.
    virtual void Data(const char* dir, uint32_t baud, size_t count);
    // Other events: {"t_ms":..,"event":"<what>","value":..}.
    virtual void Event(const char* what, int64_t value);

    // The trace that writes nothing.
    static SimTrace& None();
};

class SimFileTrace : public SimTrace {
public:
    // Creates (or empties) the file; null, with *error set, when it cannot.
    static std::unique_ptr<SimFileTrace> Open(const std::string& path, std::string* error);
    ~SimFileTrace() override;
    SimFileTrace(const SimFileTrace&) = delete;
    SimFileTrace& operator=(const SimFileTrace&) = delete;

    void Packet(const char* dir, uint32_t baud, const uint8_t* wire, size_t size) override;
    void Data(const char* dir, uint32_t baud, size_t count) override;
    void Event(const char* what, int64_t value) override;

private:
    explicit SimFileTrace(FILE* file);
    double NowMs() const;
    FILE* m_file;
    uint64_t m_startNs;
};
