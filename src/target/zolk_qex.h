// The target controller: every operation of a run on the target chip.
#pragma once

#include <cstdint>

#include "support/build_form.h"
#include "target/chip_info.h"

class CSerialPort;
class ZolkProtocol;
class ProtocolFW;
struct ProtocolPacket;
class ZOLKFile;
struct ZOLKArgs;

class ZOLK_QEX {
public:
    ZOLK_QEX(CSerialPort* serial, const BuildForm& form);

    bool PingFW();
    bool InfoStorage();
    bool GetChipInfo();
    bool LoadZolkFW(const ZOLKArgs* pZolkArgs);
    bool WriteFileByBank(ZOLKArgs* pZolkArgs, uint32_t cmd, ZolkProtocol* pProtocol);
    // Sends the file region in the run arguments with the command (a
    // firmware write or a boot ROM image).
    bool WriteFile(ZOLKArgs* pZolkArgs, uint32_t cmd, ZolkProtocol* pProtocol);
    // A firmware write of the window in the run arguments, kept as a step of
    // the run's record, then (with --verify) its read-back.
    bool WriteAndVerify(ZOLKArgs* pZolkArgs, uint32_t cmd, ZolkProtocol* pProtocol);
    bool DumpStorageByBank(ZOLKArgs* pZolkArgs, uint32_t cmd, ProtocolFW* pProtocol);
    bool DumpStorage(ZOLKArgs* pZolkArgs, uint32_t cmd, uint32_t size, const char* mode);
    bool LowformatCommand();
    void PrintStorageOption(const ZOLKArgs* pZolkArgs);
    void PrintBankInfo(const ZOLKArgs* pZolkArgs, const BankInfo* pBankInfo);

    const ChipInfo& GetChipInfoRecord() const { return m_chipInfo; }
    // The last query failed because the line is gone or failing, a stop was
    // requested, or the board stayed silent past its bound: the run cannot
    // go on. A refused query leaves this false.
    bool LineFailed() const { return m_lineFailed; }

private:
    // WriteAndVerify and WriteFile with the write file open: the region
    // check, the command, its answer and the data all use that one file.
    bool WriteAndVerify(ZOLKFile& file, ZOLKArgs* pZolkArgs, uint32_t cmd, ZolkProtocol* pProtocol);
    bool WriteRegion(ZOLKFile& file, ZOLKArgs* pZolkArgs, uint32_t cmd, ZolkProtocol* pProtocol);
    // Reads the window a write just filled back through the dump path and
    // compares it with the file region the write sent; one message either
    // way.
    bool VerifyWritten(ZOLKFile& file, const ZOLKArgs* pZolkArgs);
    // Sends the query and takes its answer into *pRes; what names the data
    // in the message of a passed bound. A failure records whether the line
    // was the cause.
    bool StartQuery(ProtocolFW& protocol, uint32_t code, const char* what, ProtocolPacket* pRes);
    // Records, after a failed query, whether the line was the cause.
    bool FailedQuery(const ZolkProtocol& protocol);

    CSerialPort* m_serial;
    ChipInfo m_chipInfo;
    BuildForm m_form;
    bool m_lineFailed = false;
};
