// The host's file calls that differ between platforms: exclusive creation,
// durable writes and replacing one file by another. os_file_posix.cpp and
// os_file_win32.cpp implement them; every other file of the program reaches
// the platform's file system only through these and the standard library.
//
// Each call returns false on failure and puts the operating system's own
// reason (strerror / FormatMessage text) into *reason when it is given.
#pragma once

#include <cstdio>
#include <string>

// Creates path and opens it for binary writing; fails when anything already
// exists at path (*exists is then true). Never replaces or truncates a file.
FILE* CreateNewFile(const char* path, std::string* reason, bool* exists = nullptr);

// Pushes what the stream holds down to the device: fflush, then fsync
// (POSIX) or FlushFileBuffers (Windows).
bool SyncFile(FILE* stream, std::string* reason);

// Renames from to to, replacing a file at to in one step: rename (POSIX) or
// MoveFileEx with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH
// (Windows). Both must lie in one directory for the step to be atomic.
bool RenameOver(const char* from, const char* to, std::string* reason);

// Makes the renames and creations in a directory durable: fsync of the
// directory on POSIX; nothing to do on Windows (the write-through move is).
bool SyncDirectory(const char* directory, std::string* reason);

// The text of a C library error number.
std::string ErrnoText(int error);

// The number of this process (names of temporary files).
unsigned long ProcessId();
