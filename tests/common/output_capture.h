// Standard output and standard error of the test process redirected into
// temporary files, at the descriptor level, so that what the code under test
// prints with printf, puts or write is all caught.
//
//   OutputCapture cap;
//   PrintUsage();
//   EXPECT_EQ(cap.Out(), kUsageText);
//
// Header only, with no POSIX-only header, so that the Windows test build can
// use it as it is.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

// Everything readable from fd, read from its start.
inline std::string ReadWholeFd(int fd)
{
    std::string text;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) {
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

// Counts the non-overlapping occurrences of what in text (a message in
// captured output).
inline size_t CountOf(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        ++n;
    }
    return n;
}

// Source lines in message tags change with every edit: captured messages
// are compared with the line number of each tag replaced by N.
inline std::string WithoutLines(const std::string& text)
{
    static const std::regex tagLine(R"((\[[A-Za-z_:]+):[0-9]+\] )");
    return std::regex_replace(text, tagLine, "$1:N] ");
}

// An unnamed temporary file, open for reading and writing.
inline int TempFileFd()
{
    char name[] = "/tmp/zolk_test_capture_XXXXXX";
    const int fd = mkstemp(name);
    unlink(name);
    return fd;
}

// Redirects standard output and standard error for the life of the object,
// or until Restore; Out and Err then hold what was written.
class OutputCapture {
public:
    OutputCapture()
    {
        fflush(stdout);
        fflush(stderr);
        m_out = TempFileFd();
        m_err = TempFileFd();
        m_savedOut = dup(1);
        m_savedErr = dup(2);
        dup2(m_out, 1);
        dup2(m_err, 2);
    }
    ~OutputCapture() { Restore(); }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    void Restore()
    {
        if (m_savedOut < 0) {
            return;
        }
        fflush(stdout);
        fflush(stderr);
        dup2(m_savedOut, 1);
        dup2(m_savedErr, 2);
        close(m_savedOut);
        close(m_savedErr);
        m_savedOut = m_savedErr = -1;
        m_outText = ReadWholeFd(m_out);
        m_errText = ReadWholeFd(m_err);
        close(m_out);
        close(m_err);
    }
    const std::string& Out()
    {
        Restore();
        return m_outText;
    }
    const std::string& Err()
    {
        Restore();
        return m_errText;
    }

private:
    int m_out = -1, m_err = -1, m_savedOut = -1, m_savedErr = -1;
    std::string m_outText, m_errText;
};
