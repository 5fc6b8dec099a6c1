// The file calls of os_file.h on Windows, and the system's error text of
// win32_api.h.
#include "support/win32_api.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "support/os_file.h"

std::string Win32ErrorText(DWORD error, bool dropFullStop)
{
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                  text, sizeof(text), nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ' ||
                          (dropFullStop && text[length - 1] == '.'))) {
        text[--length] = '\0';
    }
    if (length == 0) {
        std::snprintf(text, sizeof(text), "system error %lu", static_cast<unsigned long>(error));
    }
    return text;
}

namespace {

void SetReason(std::string* reason, DWORD error)
{
    if (reason != nullptr) {
        *reason = Win32ErrorText(error, true);
    }
}

}  // namespace

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

unsigned long ProcessId()
{
    return static_cast<unsigned long>(GetCurrentProcessId());
}

// CreateFile with CREATE_NEW: the C run-time's fopen mode "x" is not known
// to every msvcrt.
FILE* CreateNewFile(const char* path, std::string* reason, bool* exists)
{
    if (exists != nullptr) {
        *exists = false;
    }
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (exists != nullptr) {
            *exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
        }
        SetReason(reason, error);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
    if (fd < 0) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        DeleteFileA(path);
        SetReason(reason, error);
        return nullptr;
    }
    FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr) {
        const int error = errno;
        _close(fd);
        DeleteFileA(path);
        if (reason != nullptr) {
            *reason = ErrnoText(error);
        }
    }
    return stream;
}

bool SyncFile(FILE* stream, std::string* reason)
{
    if (std::fflush(stream) != 0) {
        if (reason != nullptr) {
            *reason = ErrnoText(errno);
        }
        return false;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (handle == INVALID_HANDLE_VALUE) {
        SetReason(reason, ERROR_INVALID_HANDLE);
        return false;
    }
    // A console or a pipe has nothing on a disk to flush.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        return true;
    }
    if (!FlushFileBuffers(handle)) {
        SetReason(reason, GetLastError());
        return false;
    }
    return true;
}

bool RenameOver(const char* from, const char* to, std::string* reason)
{
    if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        SetReason(reason, GetLastError());
        return false;
    }
    return true;
}

bool SyncDirectory(const char* /*directory*/, std::string* /*reason*/)
{
    return true;
}
