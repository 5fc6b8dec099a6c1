// The read of one storage window and the end of a dump file, shared by the
// window and the bank operations.
#include "target/window_transfer.h"

#include "protocol/codes.h"
#include "protocol/protocol_fw.h"
#include "protocol/zolk_protocol.h"
#include "support/atomic_file.h"
#include "support/clock.h"
#include "support/logger.h"
#include "support/stop_request.h"
#include "support/zolk_args.h"

bool ReceiveWindow(ProtocolFW& protocol, ByteSink* pSink, const ZOLKArgs* pZolkArgs, uint32_t cmd, uint32_t size,
                   const char* pWhat)
{
    ProtocolPacket packet = protocol.MakeCmdPacket(cmd, pZolkArgs);
    if (!protocol.SendCommand(&packet)) {
        return false;
    }
    // The board may read the whole window before it answers.
    if (!protocol.RecvAnswer(cmd, nullptr, ZolkProtocol::EraseAnswerBoundMs(size))) {
        return false;
    }
    LOG_MSG(LOG_DETAIL, "[ZOLK_QEX::DumpStorage:%d] ", "Complete to send command - %s\n", pWhat);

    // The target reads the storage window before it sends the first chunk.
    SleepMs(500);

    if (!protocol.DumpProtocol(pSink, cmd, size)) {
        return false;
    }
    // The target finishes the window before it takes the next command.
    SleepMs(500);
    return true;
}

bool FinishDump(AtomicFile& out, bool received, uint64_t total)
{
    if (received && out.Commit()) {
        LOG_MSG(LOG_DETAIL, "[ZOLK_QEX::DumpStorage:%d] ", "Complete to receive file - %s\n", out.Path().c_str());
        return true;
    }
    const AtomicFile::Kept kept = out.Abandon();
    if (kept.reported) {
        return false;
    }
    const char* pName = out.Path().c_str();
    const char* pHow = StopRequested() ? "stopped" : "failed";
    if (out.IsDevice()) {
        // What the device took of the buffered bytes is unknown.
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::DumpStorage:%d] ",
                "Dump into %s %s - the device got an incomplete dump (of %llu bytes)\n", pName, pHow,
                static_cast<unsigned long long>(total));
    } else if (kept.bytes == 0) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::DumpStorage:%d] ", "Dump into %s %s - no data kept, %s is as it was\n", pName,
                pHow, pName);
    } else {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::DumpStorage:%d] ", "Dump into %s %s - kept %llu of %llu bytes in %s (incomplete)\n",
                pName, pHow, static_cast<unsigned long long>(kept.bytes), static_cast<unsigned long long>(total),
                kept.path.c_str());
    }
    return false;
}
