// Checks of the files of a run: the boot images before a boot load, and the
// write and dump files before anything is sent to the target.
#include "target/file_check.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "support/atomic_file.h"
#include "support/logger.h"
#include "support/os_file.h"
#include "support/zolk_args.h"
#include "support/zolk_file.h"

namespace fs = std::filesystem;

namespace {

const char* NameOrNull(const char* pName)
{
    return pName != nullptr ? pName : "(null)";
}

bool IsDirectory(const char* pFileName)
{
    std::error_code ec;
    return pFileName != nullptr && fs::is_directory(pFileName, ec);
}

// The absolute, normalised form of a path, with the links of its existing
// part resolved; used when one of two paths does not exist yet.
fs::path NormalisedPath(const fs::path& path)
{
    std::error_code ec;
    fs::path result = fs::weakly_canonical(path, ec);
    if (ec) {
        result = fs::absolute(path, ec).lexically_normal();
    }
    return result;
}

bool SameFile(const char* pDump, const char* pOther)
{
    std::error_code ec1;
    std::error_code ec2;
    const bool dumpExists = fs::exists(pDump, ec1);
    const bool otherExists = fs::exists(pOther, ec2);
    if (dumpExists && otherExists) {
        std::error_code ec;
        const bool same = fs::equivalent(pDump, pOther, ec);
        return !ec && same;
    }
    return NormalisedPath(pDump) == NormalisedPath(pOther);
}

// A file the run reads: it opens, is a regular file and holds at least
// minSize bytes (at least one when minSize is 0). pRole names it in the
// messages ("Write file").
bool CheckInputFile(const char* pRole, const char* pFileName, uint64_t minSize)
{
    std::error_code ec;
    const fs::file_status status = fs::status(pFileName, ec);
    if (fs::is_directory(status)) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "%s %s is a directory, not a file\n", pRole, pFileName);
        return false;
    }
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "%s %s is not a regular file\n", pRole, pFileName);
        return false;
    }
    errno = 0;
    FILE* probe = std::fopen(pFileName, "rb");
    if (probe == nullptr) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "%s %s cannot be opened - %s\n", pRole, pFileName,
                ErrnoText(errno != 0 ? errno : ENOENT).c_str());
        return false;
    }
    std::fclose(probe);
    const uintmax_t size = fs::file_size(pFileName, ec);
    if (ec) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "%s %s cannot be read - %s\n", pRole, pFileName,
                ec.message().c_str());
        return false;
    }
    if (size == 0) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "%s %s is empty\n", pRole, pFileName);
        return false;
    }
    if (size < minSize) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "%s %s holds %llu bytes, less than the %llu bytes needed\n", pRole,
                pFileName, static_cast<unsigned long long>(size), static_cast<unsigned long long>(minSize));
        return false;
    }
    return true;
}

struct OtherFile {
    const char* pName;
    const char* pRole;
};

// Why the run cannot make its output file at pFileName ("is a directory,
// not a file"), or empty when it can: the path is none of the run's other
// files, and its directory takes a new file (one is created and removed
// again; the file at the path itself is not touched). pWho names what would
// overwrite another file ("the dump").
std::string OutputFileProblem(const char* pFileName, const OtherFile* pOthers, size_t count, const char* pWho)
{
    std::error_code ec;
    if (fs::is_directory(pFileName, ec)) {
        return "is a directory, not a file";
    }
    for (size_t i = 0; i < count; ++i) {
        const OtherFile& other = pOthers[i];
        if (other.pName != nullptr && SameFile(pFileName, other.pName)) {
            return std::string("is the same file as the ") + other.pRole + " " + other.pName + " - " + pWho +
                   " would overwrite it";
        }
    }
    std::string reason;
    if (!AtomicFile::CheckCreatable(pFileName, &reason)) {
        return "cannot be created - " + reason;
    }
    return std::string();
}

bool CheckDumpFile(const ZOLKArgs* pZolkArgs)
{
    const char* pFileName = pZolkArgs->pReadFileName;
    if (pFileName[0] == '\0') {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "Dump file name is empty\n");
        return false;
    }
    const OtherFile others[] = {
        {pZolkArgs->pWriteFileName, "write file"},
        {pZolkArgs->pHsmFileName, "HSM file"},
        {pZolkArgs->pZolkFileName, "ZOLK file"},
    };
    const std::string problem = OutputFileProblem(pFileName, others, 3, "the dump");
    if (!problem.empty()) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "Dump file %s %s\n", pFileName, problem.c_str());
        return false;
    }
    return true;
}

}  // namespace

char* HsmImageSource(const ZOLKArgs* pZolkArgs)
{
    return pZolkArgs->pHsmFileName != nullptr ? pZolkArgs->pHsmFileName : pZolkArgs->pWriteFileName;
}

bool CheckFile(const char* pFileName, uint64_t validSize, uint64_t* pSize)
{
    if (ZOLKLogger::GetInstance()->IsDebug()) {
        LOG_MSG(LOG_DETAIL, "[CheckFile:%d] ", "Start to check file - %s\n", NameOrNull(pFileName));
    }
    // A directory opens for reading on some systems but holds no image.
    if (IsDirectory(pFileName)) {
        LOG_MSG(LOG_ERROR, "[CheckFile:%d] ", "Failed to open file - %s\n", pFileName);
        return false;
    }
    ZOLKFile file(pFileName, "rb");
    if (!file.IsOpen()) {
        LOG_MSG(LOG_ERROR, "[CheckFile:%d] ", "Failed to open file - %s\n", NameOrNull(pFileName));
        return false;
    }
    if (validSize != 0 && validSize != file.GetSize()) {
        LOG_MSG(LOG_ERROR, "[CheckFile:%d] ", "valid size(%llu) and actual file size%llu are different\n",
                static_cast<unsigned long long>(validSize), static_cast<unsigned long long>(file.GetSize()));
        return false;
    }
    if (ZOLKLogger::GetInstance()->IsDebug()) {
        LOG_MSG(LOG_DETAIL, "[CheckFile:%d] ", "Complete to check file - %s\n", pFileName);
    }
    if (pSize != nullptr) {
        *pSize = file.GetSize();
    }
    return true;
}

bool CheckMandatoryFilesQEX(const ZOLKArgs* pZolkArgs)
{
    if (pZolkArgs == nullptr) {
        return false;
    }
    if (ZOLKLogger::GetInstance()->IsDebug()) {
        LOG_MSG(LOG_DETAIL, "[CheckMandatoryFilesQEX:%d] ", "Start to check mandatory files\n");
    }
    if (pZolkArgs->pZolkFileName == nullptr) {
        LOG_MSG(LOG_ERROR, "[CheckMandatoryFilesQEX:%d] ",
                "No ZOLK firmware file given (--zolk [zolk rom]) - the board needs a boot load\n");
        return false;
    }
    if (pZolkArgs->pHsmFileName == nullptr && pZolkArgs->pWriteFileName == nullptr) {
        LOG_MSG(LOG_ERROR, "[CheckMandatoryFilesQEX:%d] ",
                "No HSM image source given (--hsm [qex rom], or a write file that holds the HSM image) - the board "
                "needs a boot load\n");
        return false;
    }
    if (!CheckFile(pZolkArgs->pZolkFileName, 0)) {
        LOG_MSG(LOG_ERROR, "[CheckMandatoryFilesQEX:%d] ", "Failed to check file - %s\n",
                pZolkArgs->pZolkFileName);
        return false;
    }
    // The HSM image is taken from the HSM file, or else from the write file;
    // a source too short for it would load stale bytes into the chip. Each
    // source is opened once here: an HSM file beside a write file was
    // checked before the port opened, and only its size matters now.
    const char* pHsmSource = HsmImageSource(pZolkArgs);
    uint64_t sourceSize = 0;
    bool opened = false;
    if (pZolkArgs->pWriteFileName == nullptr) {
        opened = CheckFile(pHsmSource, 0, &sourceSize);
    } else {
        ZOLKFile source;
        opened = !IsDirectory(pHsmSource) && source.Open(pHsmSource, "rb");
        sourceSize = source.GetSize();
    }
    if (!opened) {
        LOG_MSG(LOG_ERROR, "[CheckMandatoryFilesQEX:%d] ", "Failed to check file - %s\n", pHsmSource);
        return false;
    }
    const uint64_t needed = static_cast<uint64_t>(kHsmImageOffset) + kHsmImageSize;
    if (sourceSize < needed) {
        LOG_MSG(LOG_ERROR, "[CheckMandatoryFilesQEX:%d] ",
                "HSM image source %s holds %llu bytes, too short for the HSM image (%llu bytes needed: 0x%X bytes "
                "at offset 0x%X)\n",
                pHsmSource, static_cast<unsigned long long>(sourceSize), static_cast<unsigned long long>(needed),
                kHsmImageSize, kHsmImageOffset);
        return false;
    }

    if (ZOLKLogger::GetInstance()->IsDebug()) {
        LOG_MSG(LOG_DETAIL, "[CheckMandatoryFilesQEX:%d] ", "Complete to check mandatory files\n");
    }
    return true;
}

bool CheckReportFile(const ZOLKArgs* pZolkArgs)
{
    if (pZolkArgs == nullptr || pZolkArgs->pReportFileName == nullptr) {
        return true;
    }
    const char* pFileName = pZolkArgs->pReportFileName;
    const OtherFile others[] = {
        {pZolkArgs->pWriteFileName, "write file"},
        {pZolkArgs->pHsmFileName, "HSM file"},
        {pZolkArgs->pZolkFileName, "ZOLK file"},
        {pZolkArgs->pReadFileName, "dump file"},
    };
    const std::string problem = OutputFileProblem(pFileName, others, 4, "the report");
    if (!problem.empty()) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "Report file %s %s - the run is refused, and no report is written\n",
                pFileName, problem.c_str());
        return false;
    }
    return true;
}

bool CheckRunFiles(const ZOLKArgs* pZolkArgs)
{
    if (pZolkArgs == nullptr) {
        return false;
    }
    if (pZolkArgs->pWriteFileName != nullptr && !CheckInputFile("Write file", pZolkArgs->pWriteFileName, 0)) {
        return false;
    }
    if (pZolkArgs->pZolkFileName != nullptr &&
        !CheckInputFile("ZOLK firmware file", pZolkArgs->pZolkFileName, 0)) {
        return false;
    }
    if (pZolkArgs->pHsmFileName != nullptr &&
        !CheckInputFile("HSM file", pZolkArgs->pHsmFileName, static_cast<uint64_t>(kHsmImageOffset) + kHsmImageSize)) {
        return false;
    }
    // Last: this one creates (and removes) a file.
    if (pZolkArgs->pReadFileName != nullptr && !CheckDumpFile(pZolkArgs)) {
        return false;
    }
    return true;
}
