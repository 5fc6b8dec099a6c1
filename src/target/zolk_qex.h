// The target controller: every operation of a run on the target chip.
#pragma once

#include <cstdint>

#include "support/build_form.h"
#include "target/chip_info.h"

class CSerialPort;
class ZolkProtocol;
class ProtocolFW;
struct ZOLKArgs;

class ZOLK_QEX {
public:
    ZOLK_QEX(CSerialPort* serial, const BuildForm& form);

    bool PingFW();
    bool InfoStorage();
    bool GetChipInfo();
    bool LoadZolkFW(const ZOLKArgs* pZolkArgs);
    bool WriteFileByBank(ZOLKArgs* pZolkArgs, uint32_t cmd, ZolkProtocol* pProtocol);
    bool WriteFile(ZOLKArgs* pZolkArgs, uint32_t cmd, ZolkProtocol* pProtocol);
    bool DumpStorageByBank(ZOLKArgs* pZolkArgs, uint32_t cmd, ProtocolFW* pProtocol);
    bool DumpStorage(ZOLKArgs* pZolkArgs, uint32_t cmd, uint32_t size, const char* mode);
    bool LowformatCommand();
    void PrintStorageOption(const ZOLKArgs* pZolkArgs);
    void PrintBankInfo(const ZOLKArgs* pZolkArgs, const BankInfo* pBankInfo);

    const ChipInfo& GetChipInfoRecord() const { return m_chipInfo; }

private:
    CSerialPort* m_serial;
    ChipInfo m_chipInfo;
    BuildForm m_form;
};
