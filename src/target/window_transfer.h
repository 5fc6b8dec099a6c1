// What the window and bank operations of the target controller share: the
// read of one storage window into a sink, and the end of a dump file.
#pragma once

#include <cstdint>

class AtomicFile;
class ByteSink;
class ProtocolFW;
struct ZOLKArgs;

// READ_CMD for the window in the run arguments, its acknowledgement and the
// data phase into the sink. pWhat names where the data goes, for the
// message.
bool ReceiveWindow(ProtocolFW& protocol, ByteSink* pSink, const ZOLKArgs* pZolkArgs, uint32_t cmd, uint32_t size,
                   const char* pWhat);

// The dump file appears whole or not at all: a dump that arrived whole
// replaces the file at the dump path; any other end leaves that file as it
// was and says what was kept of the total.
bool FinishDump(AtomicFile& out, bool received, uint64_t total);
