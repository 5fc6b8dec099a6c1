#include "support/atomic_file.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "support/logger.h"
#include "support/os_file.h"
#include "support/stop_request.h"

namespace fs = std::filesystem;

namespace {

// Another run (or a crashed one) may hold the first name; a few more are
// tried before the directory counts as unusable.
constexpr int kTemporaryNameTries = 100;

// A link is followed, so that the file it names is replaced and the link
// stays. A dangling link is replaced itself.
std::string FinalPath(const char* path)
{
    std::error_code ec;
    if (fs::is_symlink(path, ec)) {
        const fs::path target = fs::canonical(path, ec);
        if (!ec) {
            return target.string();
        }
    }
    return path;
}

std::string DirectoryOf(const std::string& path)
{
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

std::string TemporaryName(const std::string& finalPath, int attempt)
{
    char suffix[48];
    if (attempt > 0) {
        std::snprintf(suffix, sizeof(suffix), ".%lu.%d.tmp", ProcessId(), attempt);
    } else {
        std::snprintf(suffix, sizeof(suffix), ".%lu.tmp", ProcessId());
    }
    return finalPath + suffix;
}

// Creates the temporary file beside finalPath; null with the reason when none
// can be made.
FILE* CreateTemporary(const std::string& finalPath, std::string* temporary, std::string* reason)
{
    for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
        *temporary = TemporaryName(finalPath, attempt);
        bool exists = false;
        FILE* stream = CreateNewFile(temporary->c_str(), reason, &exists);
        if (stream != nullptr || !exists) {
            return stream;
        }
    }
    *reason = "no free name for a temporary file";
    return nullptr;
}

enum class Kind { kAbsent, kRegular, kDirectory, kDevice };

Kind KindOf(const std::string& path)
{
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) {
        return Kind::kAbsent;
    }
    if (fs::is_directory(status)) {
        return Kind::kDirectory;
    }
    return fs::is_regular_file(status) ? Kind::kRegular : Kind::kDevice;
}

}  // namespace

AtomicFile::~AtomicFile()
{
    if (m_state == State::kOpen) {
        Abandon();
    }
}

bool AtomicFile::Open(const char* path)
{
    if (m_state != State::kClosed || path == nullptr || path[0] == '\0') {
        LOG_MSG(LOG_ERROR, "[AtomicFile::Open:%d] ", "Cannot create %s\n", path != nullptr ? path : "(no name)");
        return false;
    }
    m_path = path;
    m_final = FinalPath(path);
    m_written = 0;
    const Kind kind = KindOf(m_final);
    if (kind == Kind::kDirectory) {
        LOG_MSG(LOG_ERROR, "[AtomicFile::Open:%d] ", "Cannot create %s - it is a directory\n", path);
        return false;
    }
    std::string reason;
    if (kind == Kind::kDevice) {
        m_device = true;
        m_stream = std::fopen(m_final.c_str(), "wb");
        if (m_stream == nullptr) {
            LOG_MSG(LOG_ERROR, "[AtomicFile::Open:%d] ", "Cannot open %s - %s\n", path, ErrnoText(errno).c_str());
            return false;
        }
    } else {
        m_replacesFile = kind == Kind::kRegular;
        m_stream = CreateTemporary(m_final, &m_temporary, &reason);
        if (m_stream == nullptr) {
            LOG_MSG(LOG_ERROR, "[AtomicFile::Open:%d] ", "Cannot create %s - %s\n", path, reason.c_str());
            return false;
        }
        SetFileInProgress(m_temporary.c_str(), (m_final + ".partial").c_str());
    }
    m_state = State::kOpen;
    return true;
}

bool AtomicFile::Write(const void* data, uint64_t size)
{
    if (m_state != State::kOpen || m_stream == nullptr) {
        LOG_MSG(LOG_ERROR, "[AtomicFile::Write:%d] ", "File is not openned\n");
        return false;
    }
    if (size == 0) {
        return true;
    }
    errno = 0;
    const size_t written = data != nullptr ? std::fwrite(data, 1, static_cast<size_t>(size), m_stream) : 0;
    m_written += written;
    if (written != size) {
        LOG_MSG(LOG_ERROR, "[AtomicFile::Write:%d] ", "Failed to write %s - %s\n", m_path.c_str(),
                ErrnoText(errno != 0 ? errno : EIO).c_str());
        return false;
    }
    return true;
}

bool AtomicFile::Flush()
{
    if (m_state != State::kOpen || m_stream == nullptr) {
        LOG_MSG(LOG_ERROR, "[AtomicFile::Flush:%d] ", "File is not openned\n");
        return false;
    }
    if (std::fflush(m_stream) != 0) {
        LOG_MSG(LOG_ERROR, "[AtomicFile::Flush:%d] ", "Failed to write %s - %s\n", m_path.c_str(),
                ErrnoText(errno).c_str());
        return false;
    }
    return true;
}

void AtomicFile::CloseStream()
{
    if (m_stream != nullptr) {
        std::fclose(m_stream);
        m_stream = nullptr;
    }
}

bool AtomicFile::Commit()
{
    if (m_state != State::kOpen || m_stream == nullptr) {
        LOG_MSG(LOG_ERROR, "[AtomicFile::Commit:%d] ", "File is not openned\n");
        return false;
    }
    std::string reason;
    // Until the rename, a failure leaves the temporary file to Abandon.
    if (!SyncFile(m_stream, &reason)) {
        LOG_MSG(LOG_ERROR, "[AtomicFile::Commit:%d] ", "Failed to write %s - %s\n", m_path.c_str(), reason.c_str());
        return false;
    }
    FILE* stream = m_stream;
    m_stream = nullptr;
    if (std::fclose(stream) != 0) {
        LOG_MSG(LOG_ERROR, "[AtomicFile::Commit:%d] ", "Failed to write %s - %s\n", m_path.c_str(),
                ErrnoText(errno).c_str());
        return false;
    }
    m_state = State::kDone;
    if (m_device) {
        return true;
    }

    // The new file gets the old one's permissions, as an edit in place would.
    std::error_code ec;
    if (m_replacesFile) {
        const fs::perms perms = fs::status(m_final, ec).permissions();
        if (!ec) {
            fs::permissions(m_temporary, perms, ec);
        }
    }
    // From here the data is whole: a failure says where it is.
    m_done = Kept{m_written, m_temporary, true};
    SetFileInProgress(nullptr, nullptr);
    if (!RenameOver(m_temporary.c_str(), m_final.c_str(), &reason)) {
        LOG_MSG(LOG_ERROR, "[AtomicFile::Commit:%d] ",
                "Cannot replace %s - %s; the whole data (%llu bytes) is kept in %s\n", m_path.c_str(),
                reason.c_str(), static_cast<unsigned long long>(m_written), m_temporary.c_str());
        return false;
    }
    m_done.path = m_path;
    if (!SyncDirectory(DirectoryOf(m_final).c_str(), &reason)) {
        LOG_MSG(LOG_ERROR, "[AtomicFile::Commit:%d] ",
                "%s is written, but its directory cannot be synced - %s; it may not survive a power loss\n",
                m_path.c_str(), reason.c_str());
        return false;
    }
    return true;
}

AtomicFile::Kept AtomicFile::Abandon()
{
    if (m_state == State::kDone) {
        return m_done;
    }
    if (m_state == State::kClosed) {
        return Kept{};
    }
    SetFileInProgress(nullptr, nullptr);
    if (m_stream != nullptr) {
        std::fflush(m_stream);
    }
    CloseStream();
    m_state = State::kDone;
    m_done = Kept{};
    if (m_device) {
        return m_done;
    }

    // What the file holds, not what was handed to Write: a full disk keeps
    // less than that.
    std::error_code ec;
    const uintmax_t size = fs::file_size(m_temporary, ec);
    const uint64_t bytes = ec ? m_written : static_cast<uint64_t>(size);
    if (bytes == 0) {
        fs::remove(m_temporary, ec);
        return m_done;
    }
    const std::string partial = m_final + ".partial";
    std::string reason;
    if (RenameOver(m_temporary.c_str(), partial.c_str(), &reason)) {
        m_done = Kept{bytes, partial, false};
        return m_done;
    }
    LOG_MSG(LOG_ERROR, "[AtomicFile::Abandon:%d] ", "Cannot rename %s to %s - %s\n", m_temporary.c_str(),
            partial.c_str(), reason.c_str());
    m_done = Kept{bytes, m_temporary, false};
    return m_done;
}

bool AtomicFile::CheckCreatable(const char* path, std::string* reason)
{
    std::string local;
    std::string& why = reason != nullptr ? *reason : local;
    if (path == nullptr || path[0] == '\0') {
        why = "no file name";
        return false;
    }
    const std::string finalPath = FinalPath(path);
    switch (KindOf(finalPath)) {
    case Kind::kDirectory:
        why = "it is a directory";
        return false;
    case Kind::kDevice:
        return true;  // written straight when the time comes
    case Kind::kAbsent:
    case Kind::kRegular:
        break;
    }
    std::string temporary;
    FILE* stream = CreateTemporary(finalPath, &temporary, &why);
    if (stream == nullptr) {
        return false;
    }
    std::fclose(stream);
    std::error_code ec;
    fs::remove(temporary, ec);
    return true;
}
