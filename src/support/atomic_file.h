// An output file that appears whole or not at all.
//
// The bytes go into a temporary file beside the final path (created
// exclusively, so nothing that exists is ever opened or truncated). Commit
// syncs it and renames it over the final path in one step; until then the
// file at the final path is exactly what it was, or still absent. A failure
// keeps what was written as <path>.partial, or removes the temporary file
// when it holds nothing.
//
//   AtomicFile out;
//   if (!out.Open(path)) return false;
//   bool ok = Produce(&out);         // Write calls
//   if (ok) ok = out.Commit();
//   if (!ok) { AtomicFile::Kept kept = out.Abandon(); ... say what was kept ... }
//
// A path that names a device or another non-regular file (/dev/null, a
// terminal) is written straight, without a temporary file: there is nothing
// to replace and nothing to keep.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "support/byte_sink.h"

class AtomicFile : public ByteSink {
public:
    // What a file that was not committed left behind.
    struct Kept {
        uint64_t bytes = 0;  // bytes in the kept file; 0: nothing kept
        std::string path;    // where they are; empty when nothing was kept
        // Commit got the whole data out but failed at its last step and has
        // said where the data is.
        bool reported = false;
    };

    AtomicFile() = default;
    // A file neither committed nor abandoned is abandoned.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file for path (a link is followed to the file
    // it names). False, with a message naming path and the reason, when no
    // file can be created there.
    bool Open(const char* path);
    bool Write(const void* data, uint64_t size) override;
    bool Flush() override;
    // Syncs, closes and renames over the final path, then syncs its
    // directory. False (with a message) when any step failed.
    bool Commit();
    // Closes what is open and keeps what was written (see Kept).
    Kept Abandon();

    bool IsOpen() const { return m_stream != nullptr; }
    // The path is written straight (a device): no temporary file, nothing kept.
    bool IsDevice() const { return m_device; }
    const std::string& Path() const { return m_path; }

    // Whether a file for path can be made: creates the temporary file and
    // removes it again. Nothing at path is touched. The reason of a failure
    // goes into *reason.
    static bool CheckCreatable(const char* path, std::string* reason);

private:
    enum class State { kClosed, kOpen, kDone };

    void CloseStream();

    FILE* m_stream = nullptr;
    State m_state = State::kClosed;
    bool m_device = false;
    bool m_replacesFile = false;  // a regular file is at the final path
    uint64_t m_written = 0;
    std::string m_path;       // as given, for messages
    std::string m_final;      // the file that is replaced (links followed)
    std::string m_temporary;  // empty for a device
    Kept m_done;              // what Commit left, once it went wrong after the data was out
};
