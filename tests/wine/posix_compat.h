// POSIX calls the shared tests use that the mingw-w64 run-time lacks,
// forced into every Windows test source so those tests build unchanged.
#pragma once

#include <direct.h>
#include <process.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

inline int setenv(const char* name, const char* value, int overwrite)
{
    if (overwrite == 0 && std::getenv(name) != nullptr) {
        return 0;
    }
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

// An empty value removes the variable from the run-time's environment.
inline int unsetenv(const char* name)
{
    return _putenv_s(name, "") == 0 ? 0 : -1;
}

// Replaces the trailing XXXXXX with letters and digits until a new directory
// can be made.
inline char* mkdtemp(char* pattern)
{
    const size_t length = std::strlen(pattern);
    if (length < 6 || std::strcmp(pattern + length - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned long long seed = static_cast<unsigned long long>(std::time(nullptr)) ^ (static_cast<unsigned long long>(_getpid()) << 20);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        for (size_t i = length - 6; i < length; ++i) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            pattern[i] = kChars[(seed >> 33) % (sizeof(kChars) - 1)];
        }
        if (_mkdir(pattern) == 0) {
            return pattern;
        }
        if (errno != EEXIST) {
            return nullptr;
        }
    }
    return nullptr;
}
