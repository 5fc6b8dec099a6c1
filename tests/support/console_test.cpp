// How the progress line and the messages meet on a real terminal: standard
// output goes to a pseudo-terminal of a given width, and what the program
// wrote is played on a small terminal model to get the screen a user sees.
// Piped output is checked as the bytes a file receives.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/pty_pair.h"
#include "support_fixture.h"

namespace {

// The lines of a screen after the bytes were written to a terminal of the
// given width: CR, LF (as a terminal's output processing makes it, a new
// line at column 0), erase to the end of the line (ESC[K) and of the whole
// line (ESC[2K), colours ignored, and a character past the last column
// wrapping to the next line. Trailing blanks are dropped; the last line is
// the one the cursor is on.
std::vector<std::string> Screen(const std::string& bytes, size_t columns)
{
    std::vector<std::string> lines(1);
    size_t row = 0;
    size_t col = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
            size_t end = i + 2;
            while (end < bytes.size() && (bytes[end] < 0x40 || bytes[end] > 0x7e)) {
                ++end;
            }
            const std::string params = bytes.substr(i + 2, end - i - 2);
            if (end < bytes.size() && bytes[end] == 'K') {
                std::string& line = lines[row];
                if (params == "2") {
                    line.clear();
                } else if (line.size() > col) {
                    line.resize(col);
                }
            }
            i = end;
            continue;
        }
        if (c == '\r') {
            col = 0;
            continue;
        }
        if (c == '\n' || col >= columns) {
            ++row;
            col = 0;
            if (lines.size() <= row) {
                lines.resize(row + 1);
            }
            if (c == '\n') {
                continue;
            }
        }
        std::string& line = lines[row];
        if (line.size() <= col) {
            line.resize(col + 1, ' ');
        }
        line[col++] = c;
    }
    for (std::string& line : lines) {
        line.erase(line.find_last_not_of(' ') + 1);
    }
    return lines;
}

// Runs the scenario with standard output on a pseudo-terminal of the given
// width and returns what the terminal received.
std::string OnTerminal(unsigned short columns, const std::function<void()>& scenario)
{
    PtyPair pty;
    winsize size{};
    size.ws_col = columns;
    size.ws_row = 40;
    EXPECT_EQ(ioctl(pty.MasterFd(), TIOCSWINSZ, &size), 0);
    const int slave = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(slave, 0);

    std::string received;
    std::atomic<bool> done{false};
    // The terminal's buffer is small: read while the scenario writes.
    std::thread reader([&] {
        char buf[4096];
        for (;;) {
            pollfd pfd{pty.MasterFd(), POLLIN, 0};
            const int ready = poll(&pfd, 1, 20);
            const ssize_t n = ready > 0 ? read(pty.MasterFd(), buf, sizeof(buf)) : 0;
            if (n > 0) {
                received.append(buf, static_cast<size_t>(n));
            } else if (done) {
                return;
            }
        }
    });
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(slave, 1);
    scenario();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(slave);
    done = true;
    reader.join();
    return received;
}

// Runs the scenario with standard output on a pipe and returns what came
// through.
std::string OnPipe(const std::function<void()>& scenario)
{
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(fds[1], 1);
    close(fds[1]);
    scenario();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string received;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;) {
        received.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    return received;
}

int32_t g_now = 0;
int32_t FakeClock()
{
    return g_now;
}

void Message(const char* text)
{
    LOG_MSG(LOG_BARE, "[ConsoleTest:%d] ", "%s\n", text);
}

// A transfer as the protocols run it: the bar ends on every way out.
void FailingTransfer(uint64_t total, uint64_t done)
{
    ProgressBar::Transfer bar(total);
    for (uint64_t sent = 0; sent < done; sent += 2048) {
        bar.Plus(2048);
    }
    Message("Target stopped answering");
}

// Plus(count) at the given clock reading.
void PlusAt(int32_t now, uint64_t count)
{
    g_now = now;
    ProgressBar::GetInstance()->Plus(count);
}

std::vector<std::string> PipedTransferLines()
{
    std::vector<std::string> lines;
    for (int tenth = 0; tenth <= 10; ++tenth) {
        const int percent = tenth * 10;
        const int done = tenth == 0 ? 4 : percent * 10;
        char line[80];
        std::snprintf(line, sizeof(line), "%3d%% [%s%s] %d/1000", percent, std::string(tenth * 3, '|').c_str(),
                      std::string(30 - tenth * 3, ' ').c_str(), done);
        lines.push_back(line);
        if (percent == 50) {
            lines.push_back("Chunk refused, sent again");
        }
    }
    lines.push_back("Complete to send file - image.bin");
    lines.push_back("");
    return lines;
}

struct ConsoleCase {
    const char* name;
    unsigned short columns;  // 0: standard output is a pipe
    bool speed;
    std::function<void()> run;
    std::vector<std::string> screen;
};

}  // namespace

using ConsoleTest = SupportTest;

TEST_F(ConsoleTest, WhatTheUserSees)
{
    ProgressBar* bar = ProgressBar::GetInstance();
    const ConsoleCase cases[] = {
        {"a failed transfer's bar is ended and not drawn again after the verdict", 80, false,
         [] {
             FailingTransfer(10240, 4096);
             Message("Failed ZOLK");
             Message("24/03/09-08:05:03");
         },
         {"Target stopped answering", " 40% [||||||||||||                  ] 4096/10240", "Failed ZOLK",
          "24/03/09-08:05:03", ""}},
        {"the final bar and its speed stay on screen above the next message", 80, true,
         [bar] {
             bar->Start(3000);
             PlusAt(250, 1000);
             PlusAt(1000, 2000);
             bar->End();
             Message("Complete to send file - image.bin");
         },
         {"100% [||||||||||||||||||||||||||||||] 3000/3000 3.0 KB/s", "Complete to send file - image.bin", ""}},
        {"the speed waits for half a second", 80, true,
         [bar] {
             bar->Start(10240);
             PlusAt(5, 2048);
         },
         {" 20% [||||||                        ] 2048/10240"}},
        {"a shorter picture leaves no tail of the longer one", 80, true,
         [bar] {
             bar->Start(1000000);
             PlusAt(1000, 100000);
             PlusAt(2000, 1000);
         },
         {" 10% [|||                           ] 101000/1000000 50.5 KB/s"}},
        {"120 columns: the whole picture", 120, true,
         [bar] {
             bar->Start(3145728);
             PlusAt(1000, 1572864);
         },
         {" 50% [|||||||||||||||               ] 1572864/3145728 1572.9 KB/s"}},
        {"60 columns: a shorter bar keeps the speed", 60, true,
         [bar] {
             bar->Start(3145728);
             PlusAt(1000, 1572864);
         },
         {" 50% [||||||||||||            ] 1572864/3145728 1572.9 KB/s"}},
        {"40 columns: the speed is left out", 40, true,
         [bar] {
             bar->Start(3145728);
             PlusAt(1000, 1572864);
         },
         {" 50% [||||||||        ] 1572864/3145728"}},
        {"20 columns: cut at the edge, no wrap", 20, true,
         [bar] {
             bar->Start(3145728);
             PlusAt(1000, 1572864);
         },
         {" 50% [] 1572864/314"}},
        {"the boot handshake's retry count ends before the next message", 80, false,
         [] {
             for (int retry = 0; retry <= 2; ++retry) {
                 std::printf("\rRetry : %d", retry);
                 ConsoleMarkOpenLine();
             }
             Message("Complete to receive start res");
         },
         {"Retry : 2", "Complete to receive start res", ""}},
        {"piped: a line for each tenth, a message between them, no redraw", 0, false,
         [bar] {
             bar->Start(1000);
             for (int i = 0; i < 250; ++i) {
                 bar->Plus(4);
                 if (i == 124) {
                     Message("Chunk refused, sent again");
                 }
             }
             bar->End();
             Message("Complete to send file - image.bin");
         },
         PipedTransferLines()},
    };
    for (const ConsoleCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetSupportState(-1);
        bar->SetShowSpeed(c.speed);
        ProgressBar::SetClockFunction(FakeClock);
        g_now = 0;
        const std::string bytes = c.columns == 0 ? OnPipe(c.run) : OnTerminal(c.columns, c.run);
        EXPECT_EQ(Screen(bytes, c.columns == 0 ? 1000 : c.columns), c.screen);
        if (c.columns == 0) {
            EXPECT_EQ(bytes.find('\x1b'), std::string::npos);
        }
    }
}
