// Where received bytes go, in the order they arrive: a file being written,
// or memory. The dump's chunk loop writes into one of these and does not
// care which.
#pragma once

#include <cstdint>

class ByteSink {
public:
    // Takes the next size bytes; false when they cannot be kept (the sink has
    // said why).
    virtual bool Write(const void* data, uint64_t size) = 0;
    // Pushes what was taken so far to where it is kept: a full disk often
    // shows only here. False when that failed (the sink has said why).
    virtual bool Flush() = 0;

protected:
    ByteSink() = default;
    ~ByteSink() = default;
};
