// The order of one run: banner, command line, port, firmware (booting it
// through the boot ROM when it is not running yet), queries, and the jobs the
// options ask for, ending with the verdict and the date line.
#include "run/run.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "protocol/codes.h"
#include "protocol/protocol_fw.h"
#include "protocol/zolk_protocol.h"
#include "run/args.h"
#include "run/run_report.h"
#include "run/version.h"
#include "support/console.h"
#include "support/logger.h"
#include "support/progress_bar.h"
#include "support/run_record.h"
#include "support/stop_request.h"
#include "target/file_check.h"
#include "target/zolk_qex.h"
#include "transport/port_list.h"
#include "transport/serial_port.h"

namespace {

void PrintBanner()
{
    VersionInfo* version = VersionInfo::GetInstance();
    version->SetVersion(1);
    LOG_MSG(LOG_SUCCESS, "[main:%d] ", "ZOLK QEX v%s - %s %s\n", version->GetVersionString(),
            version->GetBuildDate(), BuildTimeText());
}

void ApplySwitches(const ZOLKArgs& args)
{
    ZOLKLogger* logger = ZOLKLogger::GetInstance();
    logger->SetSaveLog(args.bSaveLog != 0);
    logger->SetTimeStamp(args.bTime != 0);
    logger->SetDebug(args.bDebug != 0);
    ProgressBar::GetInstance()->SetShowSpeed(args.bSpeed != 0);
    ZolkProtocol::SetTimeoutScale(args.uiTimeoutScale);
}

// One line typed at the prompt, without its line end and the blanks around
// it.
struct TypedLine {
    std::string text;
    bool ended = false;  // a line end came (not the end of input)
};

TypedLine ReadPromptLine()
{
    constexpr size_t kMaxLine = 4096;
    TypedLine line;
    line.ended = ReadInputLine(&line.text, kMaxLine);
    const size_t first = line.text.find_first_not_of(" \t\r");
    const size_t last = line.text.find_last_not_of(" \t\r");
    line.text = first == std::string::npos ? std::string() : line.text.substr(first, last - first + 1);
    return line;
}

// What the user typed at the prompt: a device text (a path, or a COM name on
// Windows) or a port number. Empty when it names no port.
std::string DeviceForTypedPort(const std::string& text)
{
    const std::string device = CSerialPort::DeviceNameForText(text.c_str());
    if (!device.empty()) {
        return device;
    }
    uint64_t port = 0;
    if (!ParseUnsigned(text.c_str(), 0xFFFFFFFFull, &port) || port == 0) {
        return std::string();
    }
    return CSerialPort::DeviceNameForPort(static_cast<uint32_t>(port));
}

// The device to open: from --port, or asked for on the console.
bool ChoosePortDevice(const ZOLKArgs& args, std::string* device)
{
    if (args.bPortAuto) {
        const bool chosen = ChooseAutoPort(ListSerialPorts(), device);
        RunRecord::Get().SetPortDevice(*device);
        return chosen;
    }
    if (args.pPortName != nullptr || args.uiPort != 0) {
        *device = args.pPortName != nullptr ? args.pPortName : CSerialPort::DeviceNameForPort(args.uiPort);
        RunRecord::Get().SetPortDevice(*device);
        return true;
    }
    PrintPortsBeforePrompt(ListSerialPorts());
    printf("Com port num : ");
    fflush(stdout);
    const TypedLine line = ReadPromptLine();
    // The terminal's echo ends the prompt's line only when the user typed a
    // line end into the same terminal; otherwise the next output would be
    // glued to the prompt.
    if (!(line.ended && InputIsTerminal() && ConsoleIsTerminal())) {
        printf("\n");
        fflush(stdout);
    }
    if (StopRequested()) {
        return false;
    }
    if (line.text.empty()) {
        LOG_MSG(LOG_ERROR, "[main:%d] ", line.ended ? "No com port entered\n" : "No com port entered - end of input\n");
        return false;
    }
    *device = DeviceForTypedPort(line.text);
    RunRecord::Get().SetPortGiven(line.text);
    RunRecord::Get().SetPortDevice(*device);
    if (device->empty()) {
        LOG_MSG(LOG_ERROR, "[main:%d] ", "\"%s\" is neither a com port number nor a device\n", line.text.c_str());
        return false;
    }
    return true;
}

// Brings the ZOLK firmware up: a board fresh from reset only has its boot
// ROM listening, which gets both images at its own speed.
bool BootFirmwareIfNeeded(ZOLK_QEX& qex, CSerialPort& serial, const ZOLKArgs& args, const BuildForm& form)
{
    if (qex.PingFW()) {
        return true;
    }
    if (StopRequested()) {
        return false;  // the ping was cut off, not unanswered
    }
    RecordedStep step(StepKind::kBootLoad);
    // A port that failed during the ping (it printed why) has no boot ROM
    // behind it to talk to.
    if (!serial.IsUsable() || !serial.ConfigurePortA(form.BootRomBaud(), 8, 0, 0, 0)) {
        return false;
    }
    if (!CheckMandatoryFilesQEX(&args)) {
        LOG_MSG(LOG_ERROR, "[main:%d] ", "You need to check mandatory files\n");
        return false;
    }
    if (!qex.LoadZolkFW(&args)) {
        return false;
    }
    // The freshly started firmware prints its start-up text: show it.
    if (!serial.SetCommunicationTimeouts(1, 1, 1, 1, 1)) {
        return false;
    }
    serial.ReadTreshData(100);
    return step.End(true);
}

// The write, then the dump, by bank or by address. A dump after a failed
// write is not run: it would truncate the dump file, possibly the user's own
// copy of the image, and the run has failed already.
bool RunJobs(ZOLK_QEX& qex, ZOLKArgs& args, ProtocolFW& fwProtocol)
{
    const bool byBank = args.pStorage == nullptr;
    bool result = true;
    if (args.pWriteFileName != nullptr) {
        result = byBank ? qex.WriteFileByBank(&args, WRITE_CMD, &fwProtocol)
                        : qex.WriteAndVerify(&args, WRITE_CMD, &fwProtocol);
    }
    if (args.pReadFileName != nullptr) {
        if (StopRequested()) {
            return false;
        }
        if (!result) {
            LOG_MSG(LOG_ERROR, "[main:%d] ", "Dump to %s is not done because the write failed\n",
                    args.pReadFileName);
            RunRecord::Get().Skip(StepKind::kDump, byBank ? nullptr : args.pStorage, args.ullAddr, args.ullSize);
            return false;
        }
        result = byBank ? qex.DumpStorageByBank(&args, READ_CMD, &fwProtocol)
                        : qex.DumpStorage(&args, READ_CMD, static_cast<uint32_t>(args.ullSize), "wb");
    }
    return result;
}

int Verdict(bool result)
{
    if (result) {
        LOG_MSG(LOG_SUCCESS, "[main:%d] ", "Complete ZOLK\n");
    } else {
        RunReport::NoteEnding();
        LOG_MSG(LOG_ERROR, "[main:%d] ", "Failed ZOLK\n");
    }
    ZOLKLogger::GetInstance()->PrintCurTime();
    return result ? kResultComplete : kResultFailed;
}

// A stop request ends the run at the next safe point: the step that was
// running has ended (no write cut in half; a cut-off dump has said what it
// kept), and nothing more is sent.
int StoppedRun()
{
    ProgressBar::GetInstance()->End();
    LOG_MSG(LOG_ERROR, "[main:%d] ", "Run stopped by %s - nothing more is sent to the board\n", StopSignalName());
    RunReport::NoteEnding();
    return StopExitStatus();
}

// Everything after the command line: the files, the port, the board.
int RunBoard(ZOLKArgs& zolkArgs, CSerialPort& serial, ZOLK_QEX& qex, const BuildForm& form)
{
    RunRecord::Get().SetPortGiven(zolkArgs.pPortGiven != nullptr ? zolkArgs.pPortGiven : "");
    // The files are checked before the target is touched: nothing is sent,
    // and no file is truncated, for a run that cannot succeed.
    if (!CheckRunFiles(&zolkArgs)) {
        return Verdict(false);
    }

    // A port name that is a link (a by-id name) opens the device behind it.
    std::string device;
    if (!ChoosePortDevice(zolkArgs, &device) || StopRequested() ||
        !serial.OpenPort(ResolvePortLink(device).c_str(), 0)) {
        return StopRequested() ? StoppedRun() : kResultEarlyEnd;
    }
    RunRecord::Get().SetPortOpened();
    // A port that cannot be set up (the port printed the speed and the
    // reason) ends the run before anything is sent.
    if (!serial.SetCommunicationTimeouts(10, 10, 10, 10, 10) ||
        !serial.ConfigurePortA(form.FirmwareBaud(), 8, 0, 0, 0)) {
        return kResultEarlyEnd;
    }

    if (!BootFirmwareIfNeeded(qex, serial, zolkArgs, form)) {
        return StopRequested() ? StoppedRun() : kResultEarlyEnd;
    }

    ProtocolFW fwProtocol(&serial);
    // From here on the port's read time-outs set no limit; the protocol
    // bounds every wait for the board by its silence. A write gets the same
    // bound as a total: a line that takes nothing (a board or an adapter that
    // stopped reading) ends the write with the bytes it took, instead of
    // holding the run.
    const uint32_t writeBoundMs = static_cast<uint32_t>(std::min<uint64_t>(ZolkProtocol::AnswerBoundMs(), UINT32_MAX));
    if (!serial.ConfigurePortA(form.FirmwareBaud(), 8, 0, 0, 0) ||
        !serial.SetCommunicationTimeouts(0, 0, 0, 0, writeBoundMs)) {
        return kResultEarlyEnd;
    }

    // GetChipInfo fills the chip record the bank operations look up. A
    // refused query lets the run go on; a line that is gone or silent ends
    // it, as does any failed query of a --device-info run.
    RecordedStep queries(StepKind::kQuery);
    const bool infoOk = qex.InfoStorage();
    if (StopRequested()) {
        return StoppedRun();
    }
    if (!infoOk && qex.LineFailed()) {
        return Verdict(false);
    }
    const bool chipOk = qex.GetChipInfo();
    if (StopRequested()) {
        return StoppedRun();
    }
    if (!chipOk && qex.LineFailed()) {
        return Verdict(false);
    }
    if (!queries.End(infoOk && chipOk) && zolkArgs.bDeviceInfo) {
        return Verdict(false);
    }

    if (zolkArgs.bLowFormat) {
        RecordedStep step(StepKind::kLowFormat);
        if (!step.End(qex.LowformatCommand())) {
            return StopRequested() ? StoppedRun() : kResultEarlyEnd;
        }
    }
    const bool result = RunJobs(qex, zolkArgs, fwProtocol);
    return StopRequested() ? StoppedRun() : Verdict(result);
}

}  // namespace

int RunMain(int argc, char** argv, const BuildForm& form)
{
    // First: a request from now on only marks the run as stopped, and the
    // waits and loops below look at the mark.
    InstallStopHandlers();
    RunReport report(argc, argv, form);
    PrintBanner();

    ZOLKArgs zolkArgs;
    CSerialPort serial;
    ZOLK_QEX qex(&serial, form);

    if (!ParseArgs(argc, argv, &zolkArgs)) {
        return kResultEarlyEnd;
    }
    ApplySwitches(zolkArgs);
    if (zolkArgs.bListPorts) {
        return PrintPortList(ListSerialPorts()) ? kResultComplete : kResultFailed;
    }
    // Before anything else: a run whose report cannot be kept is not done.
    if (!CheckReportFile(&zolkArgs)) {
        return Verdict(false);
    }
    const int status = RunBoard(zolkArgs, serial, qex, form);
    return zolkArgs.pReportFileName != nullptr ? report.Write(zolkArgs.pReportFileName, status) : status;
}
