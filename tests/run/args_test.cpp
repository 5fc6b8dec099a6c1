// Command-line parsing: option vectors, their results and messages, usage.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "common/case_name.h"
#include "common/output_capture.h"
#include "run/args.h"
#include "support/console.h"
#include "transport/serial_port.h"

namespace {

// The record's fields that differ from the defaults, in a fixed order.
std::string Describe(const ZOLKArgs& a)
{
    const ZOLKArgs d;
    std::string s;
    auto add = [&s](const char* name, const std::string& value) {
        s += (s.empty() ? "" : " ") + std::string(name) + "=" + value;
    };
    auto str = [&add](const char* name, const char* value) {
        if (value != nullptr) {
            add(name, value);
        }
    };
    auto num = [&add](const char* name, uint64_t value, uint64_t def) {
        if (value != def) {
            add(name, std::to_string(value));
        }
    };
    str("w", a.pWriteFileName);
    str("r", a.pReadFileName);
    str("m", a.pStorage);
    str("e", a.pArea);
    str("p", a.pPart);
    str("hsm", a.pHsmFileName);
    str("zolk", a.pZolkFileName);
    str("portname", a.pPortName);
    num("addr", a.ullAddr, d.ullAddr);
    num("size", a.ullSize, d.ullSize);
    num("sector", a.ullSectorSize, d.ullSectorSize);
    num("l", a.bLowFormat, 0);
    num("d", a.bDeviceInfo, 0);
    num("g", a.bDebug, 0);
    num("savelog", a.bSaveLog, 0);
    num("speed", a.bSpeed, 0);
    num("time", a.bTime, 0);
    num("port", a.uiPort, d.uiPort);
    num("auto", a.bPortAuto, 0);
    num("listports", a.bListPorts, 0);
    num("bank", a.uiBank, d.uiBank);
    num("offset", a.ullFileOffset, 0);
    num("verify", a.bVerify, 0);
    str("report", a.pReportFileName);
    return s;
}

const char kUsage[] =
        "Usage : zolk_qex <command> <options>\n"
        "\n"
        "Example:\n"
        "  Start to zolk(load ZOLK F/W) :\n"
        "    zolk_qex.exe --zolk zolk_qex.rom --hsm hsm.bin\n"
        "  Download file :\n"
        "    zolk_qex -w [file name] --bank 0\n"
        "    zolk_qex -w [file name] --bank 1\n"
        "  Read dump :\n"
        "    zolk_qex -r [file name] --bank 0\n"
        "    zolk_qex -r [file name] --bank 1 --size 0x100 --add 0x1234\n"
        "  Erase storage(Low format) :\n"
        "    zolk_qex --low-format --storage [storage type]\n"
        "  Print storage info\n"
        "    zolk_qex --device-info\n"
        "\n"
        "Commands:\n"
        "  -w, --write [file name]       Write data\n"
        "  -r, --read [file name]        Read data\n"
        "      --low-format              Erase storage\n"
        "  -h, --help                    Print help\n"
        "\n"
        "Options:\n"
        "  -b, --bank [bank num]         Set target bank for 'write' and 'read'\n"
        "                                bank 0, bank 1\n"
        "  -a, --addr [address(sector)]  Set start address for 'write' and 'read'\n"
        "                                Address entered is in sector units\n"
        "                                Default 1 secotr : 512 bytes\n"
        "  -s, --size [size(sector)]     Set size for 'write' and 'read'\n"
        "                                Size entered is in sector units\n"
        "                                Default 1 secotr : 512 bytes\n"
        "      --sector-size             Set sector size of storage\n"
        "                                Default value : 512 bytes\n"
        "                                Only 512 and 4096 are supported\n"
        "  -c, --no-crc                  No check crc\n"
        "      --zolk [zolk rom]         Set zolk mandatory file(zolk.rom)\n"
        "                                zolk rom : zolk firmware to be executed in sram is designated\n"
        "      --hsm [qex rom]           This option is required when reading\n"
        "                                Get hsm from qex rom\n"
        "                                hsm : hsm firmware to verify zolk rom file\n"
        "      --debug                   Print debug message\n"
        "                                You can see more detailed message\n"
        "      --time                    Print time stamp\n"
        "                                You can see [min:sec:ms]\n"
        "      --save-log                Save message\n"
        "      --device-info             Print storage info\n"
        "      --speed                   Print download or dump speed\n"
        "\n"
        "Caution:\n"
        "  If you want to enter in hexadecimal, prefix the value with '0x'\n"
        "     ex) hex : 0x123, dec : 123\n"
        "  File path token Linux = '/', Windows = '\\'\n"
;

const char kHint[] = "Try '--help' for more information.\n";

struct ParseCase {
    const char* name;
    std::vector<std::string> args;  // after the program path
    bool expected;
    std::string fields;  // Describe() of the record afterwards
    std::string out;     // standard output, tag lines without line numbers
    std::string err;     // standard error
    bool posixlyCorrect = false;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ParseCase& c, std::ostream* os)
{
    *os << c.name;
}

struct ParseResult {
    bool ok;
    std::string fields, out, err;
};

ParseResult RunParse(const std::vector<std::string>& args, bool posixlyCorrect = false)
{
    std::vector<std::string> storage{"zolk_qex"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : storage) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    if (posixlyCorrect) {
        setenv("POSIXLY_CORRECT", "1", 1);
    }
    ZOLKArgs zolkArgs;
    bool ok;
    OutputCapture cap;
    ok = ParseArgs(static_cast<int>(storage.size()), argv.data(), &zolkArgs);
    cap.Restore();
    unsetenv("POSIXLY_CORRECT");
    return {ok, Describe(zolkArgs), WithoutLines(cap.Out()), cap.Err()};
}

class ParseArgsTest : public ::testing::TestWithParam<ParseCase> {
protected:
    void SetUp() override { ConsoleForceTerminal(0); }
    void TearDown() override { ConsoleForceTerminal(-1); }
};

TEST_P(ParseArgsTest, ResultFieldsAndOutput)
{
    const ParseCase& c = GetParam();
    const ParseResult r = RunParse(c.args, c.posixlyCorrect);
    EXPECT_EQ(r.ok, c.expected);
    EXPECT_EQ(r.fields, c.fields);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
}

const std::string kUsageText = kUsage;

std::string BuildOptionsText()
{
    OutputCapture cap;
    PrintBuildOptions();
    return cap.Out();
}

// What --help prints: the usage text, then the block of this build.
const std::string kHelpText = kUsageText + BuildOptionsText();

const std::string kNeedsStorage =
    " needs --storage [snor|eflash] - a write or dump by bank covers the bank's eflash and snor parts as the bank "
    "table gives them\n";

// A port given as text: a device path on POSIX, a COM name on Windows.
const std::string kDeviceText = CSerialPort::DeviceNameForText("/dev/pts/3").empty() ? "COM12" : "/dev/pts/3";
const std::string kDeviceName = CSerialPort::DeviceNameForText(kDeviceText.c_str());

const ParseCase kParseCases[] = {
    {"NoArguments", {}, false, "", kHint, ""},
    {"HelpAfterOptionsAppliesThemAndStops",
     {"-w", "a.bin", "-g", "--help", "-r", "b.bin", "-x"}, false, "w=a.bin g=1", kHelpText, ""},
    {"ShortHelpAfterOptions", {"-l", "-h", "--zolk", "z.rom"}, false, "l=1", kHelpText, ""},
    {"LongOptionWithAttachedValueRefused", {"-w", "a.bin", "--write=fw.bin"}, false, "",
     "[CheckLongOptions:N] Invaild option : --write=fw.bin\n", ""},
    {"AbbreviatedLongOptionRefused", {"-r", "d.bin", "--bank", "1", "--add", "0x1234"}, false, "",
     "[CheckLongOptions:N] Invaild option : --add\n", ""},
    {"BareDoubleDashRefused", {"--"}, false, "", "[CheckLongOptions:N] Invaild option : --\n", ""},
    {"AddrInHexSectors", {"--addr", "0x1234", "-r", "d.bin", "--storage", "eflash", "-s", "1"}, true,
     "r=d.bin m=eflash addr=2385920 size=512", "", ""},
    {"ShortBankIsUnknown", {"-b", "1"}, false, "",
     "[ParseArgs:N] Unexpected argument : 1 - not an option nor the value of one\n" + std::string(kHint),
     "zolk_qex: unknown option -- b\n"},
    {"UnknownLetterInCluster", {"-gx"}, false, "g=1", kHint, "zolk_qex: unknown option -- x\n"},
    {"LongBank", {"--bank", "1"}, true, "bank=1", "", ""},
    {"BankTwoRefused", {"--bank", "2"}, false, "",
     "[ParseArgs:N] Bank is supported only 0 and 1\n[ParseArgs:N] Entered bank : 2\n" + std::string(kHint), ""},
    {"BankNotANumber", {"--bank", "x1"}, false, "", "x1 is invalid value\n" + std::string(kHint), ""},
    {"BankWithoutDigits", {"--bank", "zz"}, false, "", "zz is invalid value\n" + std::string(kHint), ""},
    {"SectorSizeBeforeAddrAndSize", {"--sector-size", "4096", "-a", "2", "-s", "3", "-m", "snor"}, true,
     "m=snor addr=8192 size=12288 sector=4096", "", ""},
    {"SectorSizeAfterAddrAndSize", {"-m", "snor", "-a", "2", "-s", "3", "--sector-size", "4096"}, true,
     "m=snor addr=8192 size=12288 sector=4096", "", ""},
    {"SectorSize1024",
     {"--sector-size", "1024"},
     false,
     "sector=1024",
     "[ParseArgs:N] Sector size is supported only 512 and 4096\n[ParseArgs:N] Entered sector size : 1024\n" +
         std::string(kHint),
     ""},
    {"SectorSizeWithoutDigits", {"--sector-size", "zz"}, false, "", "zz is invalid value\n" + std::string(kHint),
     ""},
    {"SectorSizeRefusedByNumberParser", {"--sector-size", "abc"}, false, "",
     "abc is invalid value\n" + std::string(kHint), ""},
    {"AddrWithInvalidOctalDigit", {"-m", "snor", "-a", "08"}, false, "m=snor",
     "08 is invalid value\n" + std::string(kHint), ""},
    {"AddrOctal", {"-m", "snor", "-a", "010"}, true, "m=snor addr=4096", "", ""},
    {"SizeRefusedButScanGoesOn", {"-m", "snor", "-s", "abc", "-g"}, false, "m=snor g=1",
     "abc is invalid value\n" + std::string(kHint), ""},
    {"NegativeAndJunkNumbersRefused", {"-m", "snor", "-s", "-1", "--port", "5x", "--bank", " 1"}, false, "m=snor",
     "-1 is invalid value\n5x is invalid value\n 1 is invalid value\n" + std::string(kHint), ""},
    {"BareArgumentRefused", {"fw.bin", "-g", "-w", "a.bin"}, false, "w=a.bin g=1",
     "[ParseArgs:N] Unexpected argument : fw.bin - not an option nor the value of one\n" + std::string(kHint), ""},
    {"PosixlyCorrectStopsAtFirstNonOption", {"-l", "fw.bin", "-g", "-w", "a.bin"}, false, "l=1",
     "[ParseArgs:N] Unexpected argument : fw.bin - not an option nor the value of one\n" + std::string(kHint), "",
     true},
    {"OptionTakenAsFileName", {"-r", "--bank", "0"}, false, "",
     "[ParseArgs:N] The file name of -r begins with '-' : --bank - is the file name missing? Write ./--bank for a "
     "file of that name\n[ParseArgs:N] Unexpected argument : 0 - not an option nor the value of one\n" +
         std::string(kHint),
     ""},
    {"DashFileNamesOfTheImages", {"--zolk", "-z.rom", "--hsm", "-"}, false, "",
     "[ParseArgs:N] The file name of --zolk begins with '-' : -z.rom - is the file name missing? Write ./-z.rom for "
     "a file of that name\n[ParseArgs:N] The file name of --hsm begins with '-' : - - is the file name missing? "
     "Write ./- for a file of that name\n" +
         std::string(kHint),
     ""},
    {"DashFileNameWrittenAsPath", {"-w", "./-a.bin"}, true, "w=./-a.bin", "", ""},
    {"VerifyAfterWrite", {"--verify", "-w", "a.bin", "--report", "run.json"}, true, "w=a.bin verify=1 report=run.json",
     "", ""},
    {"VerifyWithoutWriteRefused", {"-r", "d.bin", "--verify"}, false, "r=d.bin verify=1",
     "[ParseArgs:N] --verify needs a write (-w [file name]) - it reads back what the write put into storage\n" +
         std::string(kHint),
     ""},
    {"ReportNameTakenFromTheNextOption", {"--report", "--verify", "-w", "a.bin"}, false, "w=a.bin",
     "[ParseArgs:N] The file name of --report begins with '-' : --verify - is the file name missing? Write "
     "./--verify for a file of that name\n" +
         std::string(kHint),
     ""},
    {"EmptyValues", {"--port", "", "-w", "", "--sector-size", ""}, false, "",
     "[ParseArgs:N] The value of --port is empty\n[ParseArgs:N] The value of -w is empty\n[ParseArgs:N] The "
     "value of --sector-size is empty\n" +
         std::string(kHint),
     ""},
    {"StorageNameUnknown", {"-w", "a.bin", "--storage", "SNOR"}, false, "w=a.bin m=SNOR",
     "[ParseArgs:N] \"SNOR\" is invalid storage type - the storage types are snor and eflash\n" +
         std::string(kHint),
     ""},
    {"AddrWithoutStorage", {"-w", "a.bin", "--bank", "0", "--addr", "8"}, false, "w=a.bin addr=4096",
     "[ParseArgs:N] --addr" + kNeedsStorage + kHint, ""},
    {"SizeWithoutStorage", {"-r", "d.bin", "--size", "0"}, false, "r=d.bin",
     "[ParseArgs:N] --size" + kNeedsStorage + kHint, ""},
    {"LowFormatWithStorageOnly", {"--low-format", "--storage", "snor"}, false, "m=snor l=1",
     "[ParseArgs:N] A low format erases all storage of the board (eflash and snor) - --storage cannot limit it; "
     "leave --storage out\n" +
         std::string(kHint),
     ""},
    {"LowFormatThenWriteByAddress", {"-l", "-w", "a.bin", "--storage", "snor"}, true, "w=a.bin m=snor l=1", "", ""},
    {"ShortOptionMissingArgument", {"-g", "-w"}, false, "g=1", kHint,
     "zolk_qex: option requires an argument -- w\n"},
    {"ClusterEndingInOptionMissingArgument", {"-lr"}, false, "l=1", kHint,
     "zolk_qex: option requires an argument -- r\n"},
    {"LongOptionMissingArgument", {"-g", "--write"}, false, "g=1", kHint,
     "zolk_qex: option requires an argument -- write\n"},
    {"LongOptionWithZeroValueMissingArgument", {"--port"}, false, "", kHint,
     "zolk_qex: option requires an argument -- port\n"},
    {"AttachedShortArgumentAndLastRepeatWins", {"-wfirst.bin", "-w", "second.bin"}, true, "w=second.bin", "", ""},
    {"AddressLastSectorFitting", {"-m", "snor", "-a", "8388607"}, true, "m=snor addr=4294966784", "", ""},
    {"AddressBeyond32Bits", {"-m", "snor", "-a", "8388608"}, false, "m=snor addr=4294967296",
     "[ParseArgs:N] Address(4294967296 bytes) does not fit in 32 bits\n" + std::string(kHint), ""},
    {"SizeBeyond32BitsWith4096", {"-m", "snor", "-s", "0x100000", "--sector-size", "4096"}, false,
     "m=snor size=4294967296 sector=4096",
     "[ParseArgs:N] Size(4294967296 bytes) does not fit in 32 bits\n" + std::string(kHint), ""},
    {"SizeProductBeyond64Bits", {"-m", "snor", "-s", "0x80000000000000"}, false, "m=snor",
     "[ParseArgs:N] Size(36028797018963968 sectors of 512 bytes) does not fit in 32 bits\n" + std::string(kHint),
     ""},
    {"PortDevicePath", {"--port", kDeviceText}, true, "portname=" + kDeviceName, "", ""},
    {"PortNumber", {"--port", "12"}, true, "port=12", "", ""},
    {"PortNumberOfThreeDigits", {"--port", "123"}, true, "port=123", "", ""},
    {"PortLastOneWins", {"--port", kDeviceText, "--port", "4"}, true, "port=4", "", ""},
    {"PortAuto", {"--port", "auto"}, true, "auto=1", "", ""},
    {"PortAutoReplacedByALaterPort", {"--port", "auto", "--port", kDeviceText}, true, "portname=" + kDeviceName, "",
     ""},
    {"PortReplacedByALaterAuto", {"--port", "7", "--port", "auto"}, true, "auto=1", "", ""},
    {"ListPorts", {"--list-ports"}, true, "listports=1", "", ""},
    {"ListPortsWithHowItReports", {"--list-ports", "-g", "--save-log"}, true, "g=1 savelog=1 listports=1", "", ""},
    {"ListPortsWithAJob", {"-w", "w.bin", "--list-ports", "--bank", "0"}, false, "w=w.bin listports=1",
     "[ParseArgs:N] --list-ports only lists the serial ports and ends - it would ignore -w; run the list on its "
     "own\n" +
         std::string(kHint),
     ""},
    {"ListPortsWithReport", {"--list-ports", "--report", "r.json"}, false, "listports=1 report=r.json",
     "[ParseArgs:N] --list-ports only lists the serial ports and ends - it would ignore --report; run the list on "
     "its own\n" +
         std::string(kHint),
     ""},
    {"PortNeitherNumberNorPath", {"--port", "zz"}, false, "", "zz is invalid value\n" + std::string(kHint), ""},
    {"PortBeyond32Bits", {"--port", "4294967297"}, false, "",
     "4294967297 is invalid value\n" + std::string(kHint), ""},
    {"DumpByStorageTypeWithoutSize", {"-r", "d.bin", "--storage", "snor"}, false, "r=d.bin m=snor",
     "[ParseArgs:N] A dump by storage type needs its size : --size [size(sector)]\n" + std::string(kHint), ""},
    {"DumpByBankNeedsNoSize", {"-r", "d.bin", "--bank", "1"}, true, "r=d.bin bank=1", "", ""},
    {"CrcAndUnusedLettersHaveNoEffect", {"-c", "--no-crc", "-f", "x", "-n", "y"}, true, "", "", ""},
    {"EverySwitchAndName",
     {"--time", "--save-log", "--speed", "--debug", "--device-info", "--low-format", "--hsm", "h.bin", "--zolk",
      "z.rom", "--storage", "snor", "--area", "a1", "--part", "p1", "--read", "d.bin", "--size", "1"},
     true,
     "r=d.bin m=snor e=a1 p=p1 hsm=h.bin zolk=z.rom size=512 l=1 d=1 g=1 savelog=1 speed=1 time=1",
     "",
     ""},
};

INSTANTIATE_TEST_SUITE_P(Table, ParseArgsTest, ::testing::ValuesIn(kParseCases),
                         CaseName());

// The scanner starts afresh on every call: a failed parse leaves nothing
// behind for the next one (POSIXLY_CORRECT is read again too).
TEST(ParseArgsRepeat, ScannerStateIsResetBetweenCalls)
{
    ConsoleForceTerminal(0);
    EXPECT_EQ(RunParse({"-l", "bare", "-g"}, true).fields, "l=1");
    EXPECT_EQ(RunParse({"-l", "bare", "-g"}).fields, "l=1 g=1");
    EXPECT_EQ(RunParse({"-lw"}).err, "zolk_qex: option requires an argument -- w\n");
    EXPECT_EQ(RunParse({"-g"}).fields, "g=1");
    ConsoleForceTerminal(-1);
}

TEST(PrintUsageTest, TextByteForByte)
{
    OutputCapture cap;
    PrintUsage();
    EXPECT_EQ(cap.Out(), kUsageText);
}

}  // namespace
