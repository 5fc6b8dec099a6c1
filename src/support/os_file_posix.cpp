// The file calls of os_file.h on POSIX.
#include "support/os_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
void SetReason(std::string* reason, int error)
{
    if (reason != nullptr) {
        *reason = ErrnoText(error);
    }
}
}  // namespace

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

unsigned long ProcessId()
{
    return static_cast<unsigned long>(getpid());
}

FILE* CreateNewFile(const char* path, std::string* reason, bool* exists)
{
    if (exists != nullptr) {
        *exists = false;
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        if (exists != nullptr) {
            *exists = error == EEXIST;
        }
        SetReason(reason, error);
        return nullptr;
    }
    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        const int error = errno;
        close(fd);
        unlink(path);
        SetReason(reason, error);
    }
    return stream;
}

bool SyncFile(FILE* stream, std::string* reason)
{
    if (std::fflush(stream) != 0) {
        SetReason(reason, errno);
        return false;
    }
    // A descriptor that cannot be synced (a pipe, a terminal) has nothing
    // on a disk to lose.
    if (fsync(fileno(stream)) != 0 && errno != EINVAL && errno != EROFS) {
        SetReason(reason, errno);
        return false;
    }
    return true;
}

bool RenameOver(const char* from, const char* to, std::string* reason)
{
    if (std::rename(from, to) != 0) {
        SetReason(reason, errno);
        return false;
    }
    return true;
}

bool SyncDirectory(const char* directory, std::string* reason)
{
    const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        SetReason(reason, errno);
        return false;
    }
    const bool ok = fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
    if (!ok) {
        SetReason(reason, errno);
    }
    close(fd);
    return ok;
}
