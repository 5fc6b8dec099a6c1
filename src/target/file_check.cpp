// Checks of the files of a run: the boot images before a boot load, and the
// write and dump files before anything is sent to the target.
#include "target/file_check.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "run/args.h"
#include "support/logger.h"
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

bool CheckWriteFile(const char* pFileName)
{
    std::error_code ec;
    const fs::file_status status = fs::status(pFileName, ec);
    if (!fs::exists(status)) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "Write file %s does not exist\n", pFileName);
        return false;
    }
    if (fs::is_directory(status)) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "Write file %s is a directory, not a file\n", pFileName);
        return false;
    }
    if (!fs::is_regular_file(status)) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "Write file %s is not a regular file\n", pFileName);
        return false;
    }
    std::ifstream probe(pFileName, std::ios::binary);
    if (!probe.is_open()) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "Write file %s cannot be read\n", pFileName);
        return false;
    }
    const uintmax_t size = fs::file_size(pFileName, ec);
    if (ec) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "Write file %s cannot be read\n", pFileName);
        return false;
    }
    if (size == 0) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "Write file %s is empty - nothing to write\n", pFileName);
        return false;
    }
    return true;
}

// Only looks: the dump file is created (or truncated) later, when the dump
// really runs, so an existing file stays untouched here.
bool CheckDumpFile(const ZOLKArgs* pZolkArgs)
{
    const char* pFileName = pZolkArgs->pReadFileName;
    const fs::path path(pFileName);
    std::error_code ec;
    if (path.empty()) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "Dump file name is empty\n");
        return false;
    }
    if (fs::is_directory(path, ec)) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "Dump file %s is a directory, not a file\n", pFileName);
        return false;
    }
    fs::path parent = path.parent_path();
    if (parent.empty()) {
        parent = ".";
    }
    const fs::file_status parentStatus = fs::status(parent, ec);
    if (!fs::exists(parentStatus)) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "Dump file %s cannot be created: directory %s does not exist\n",
                pFileName, parent.string().c_str());
        return false;
    }
    if (!fs::is_directory(parentStatus)) {
        LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ", "Dump file %s cannot be created: %s is not a directory\n",
                pFileName, parent.string().c_str());
        return false;
    }

    struct Other {
        const char* pName;
        const char* pRole;
    };
    const Other others[] = {
        {pZolkArgs->pWriteFileName, "write file"},
        {pZolkArgs->pHsmFileName, "HSM file"},
        {pZolkArgs->pZolkFileName, "ZOLK file"},
    };
    for (const Other& other : others) {
        if (other.pName != nullptr && SameFile(pFileName, other.pName)) {
            LOG_MSG(LOG_ERROR, "[CheckRunFiles:%d] ",
                    "Dump file %s is the same file as the %s %s - the dump would overwrite it\n", pFileName,
                    other.pRole, other.pName);
            return false;
        }
    }
    return true;
}

}  // namespace

bool CheckFile(const char* pFileName, uint64_t validSize)
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
    if (!CheckFile(pZolkArgs->pZolkFileName, 0)) {
        LOG_MSG(LOG_ERROR, "[CheckMandatoryFilesQEX:%d] ", "Failed to check file - %s\n",
                NameOrNull(pZolkArgs->pZolkFileName));
        return false;
    }
    if (pZolkArgs->pWriteFileName == nullptr && !CheckFile(pZolkArgs->pHsmFileName, 0)) {
        LOG_MSG(LOG_ERROR, "[CheckMandatoryFilesQEX:%d] ", "Failed to check file - %s\n",
                NameOrNull(pZolkArgs->pHsmFileName));
        return false;
    }

    // The HSM image is taken from the HSM file, or else from the write file;
    // a source too short for it would load stale bytes into the chip.
    const char* pHsmSource =
        pZolkArgs->pHsmFileName != nullptr ? pZolkArgs->pHsmFileName : pZolkArgs->pWriteFileName;
    const uint64_t needed = static_cast<uint64_t>(kHsmImageOffset) + kHsmImageSize;
    ZOLKFile source;
    if (IsDirectory(pHsmSource) || !source.Open(pHsmSource, "rb")) {
        LOG_MSG(LOG_ERROR, "[CheckMandatoryFilesQEX:%d] ", "Failed to check file - %s\n", NameOrNull(pHsmSource));
        return false;
    }
    if (source.GetSize() < needed) {
        LOG_MSG(LOG_ERROR, "[CheckMandatoryFilesQEX:%d] ",
                "HSM image source %s holds %llu bytes, too short for the HSM image (%llu bytes needed: 0x%X bytes "
                "at offset 0x%X)\n",
                pHsmSource, static_cast<unsigned long long>(source.GetSize()),
                static_cast<unsigned long long>(needed), kHsmImageSize, kHsmImageOffset);
        return false;
    }

    if (ZOLKLogger::GetInstance()->IsDebug()) {
        LOG_MSG(LOG_DETAIL, "[CheckMandatoryFilesQEX:%d] ", "Complete to check mandatory files\n");
    }
    return true;
}

bool CheckRunFiles(const ZOLKArgs* pZolkArgs)
{
    if (pZolkArgs == nullptr) {
        return false;
    }
    if (pZolkArgs->pWriteFileName != nullptr && !CheckWriteFile(pZolkArgs->pWriteFileName)) {
        return false;
    }
    if (pZolkArgs->pReadFileName != nullptr && !CheckDumpFile(pZolkArgs)) {
        return false;
    }
    return true;
}
