// Firmware boot load: the HSM image and the ZOLK firmware through the boot ROM.
#include "protocol/codes.h"
#include "protocol/protocol_cb.h"
#include "support/clock.h"
#include "support/logger.h"
#include "support/stop_request.h"
#include "support/zolk_args.h"
#include "target/file_check.h"
#include "target/zolk_qex.h"
#include "transport/serial_port.h"

namespace {

// A boot ROM that refuses the images this often in a row will not take them:
// the files are wrong, and sending them again only wastes the user's time.
constexpr int kMaxImageAttempts = 3;

// Why the boot load cannot go on when the port cannot carry anything any
// more; a stop prints nothing (the run reports it).
void ReportLostLine(const CSerialPort& serial)
{
    if (StopRequested() || !serial.IsOpen()) {
        return;  // a closed port printed why
    }
    if (serial.IsGone()) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::LoadZolkFW:%d] ", "The serial device is gone - boot load stopped\n");
    } else {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::LoadZolkFW:%d] ", "The serial port keeps failing (%s) - boot load stopped\n",
                serial.LastErrorText().c_str());
    }
}

}  // namespace

bool ZOLK_QEX::LoadZolkFW(const ZOLKArgs* pZolkArgs)
{
    ProtocolCB protocol(m_serial);
    ZOLKArgs image;

    if (pZolkArgs == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::LoadZolkFW:%d] ", "[Error] zolkArgs == NULL\n");
        return false;
    }
    if (m_serial == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::LoadZolkFW:%d] ", "[ERROR] m_serial == NULL\n");
        return false;
    }

    int failedAttempts = 0;
    bool wentSilent = false;
    bool loaded = false;
    while (!loaded) {
        // The user may need to reset the board: the handshake is retried
        // without limit while the line is there. After the board stopped
        // answering in an image, one round of the handshake tells a board
        // that was reset from one that is gone quiet for good.
        while (!protocol.StartQEXZOLK()) {
            if (!m_serial->IsUsable()) {
                ReportLostLine(*m_serial);
                return false;
            }
            if (wentSilent) {
                LOG_MSG(LOG_ERROR, "[ZOLK_QEX::LoadZolkFW:%d] ",
                        "The boot ROM does not answer any more - boot load stopped\n");
                return false;
            }
            SleepMs(100);
        }
        LOG_MSG(LOG_INFO, "[ZOLK_QEX::LoadZolkFW:%d] ", "Complete to send start msg\n");
        m_serial->SetCommunicationTimeouts(100, 100, 100, 100, 100);
        SleepMs(500);

        image = ZOLKArgs{};
        image.pWriteFileName = HsmImageSource(pZolkArgs);
        image.ullFileOffset = kHsmImageOffset;
        image.ullSize = kHsmImageSize;
        loaded = WriteFile(&image, RECEIVE_HSM_CMD, &protocol);
        if (loaded) {
            LOG_MSG(LOG_INFO, "[ZOLK_QEX::LoadZolkFW:%d] ", "Complete to send hsm\n");
            SleepMs(500);

            image = ZOLKArgs{};
            image.pWriteFileName = pZolkArgs->pZolkFileName;
            image.ullFileOffset = 0;
            image.ullSize = 0;  // the whole firmware file
            loaded = WriteFile(&image, RECEIVE_ZOLK_CMD, &protocol);
        }
        if (!loaded) {
            if (!m_serial->IsUsable()) {
                ReportLostLine(*m_serial);
                return false;
            }
            wentSilent = protocol.WentSilent();
            ++failedAttempts;
            if (failedAttempts >= kMaxImageAttempts) {
                LOG_MSG(LOG_ERROR, "[ZOLK_QEX::LoadZolkFW:%d] ",
                        "Boot ROM refused the images %d times - check the HSM and ZOLK files\n",
                        failedAttempts);
                return false;
            }
        }
    }
    LOG_MSG(LOG_INFO, "[ZOLK_QEX::LoadZolkFW:%d] ", "Complete to send zolk\n");
    LOG_MSG(LOG_SUCCESS, "[ZOLK_QEX::LoadZolkFW:%d] ", "Complete to load ZOLK F/W\n");
    return true;
}
