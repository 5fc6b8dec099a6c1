// Shared fixture of the end-to-end tests: one temporary directory and one
// simulated board per test, zolk_qex run as a process in a working directory
// of its own.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "common/case_name.h"
#include "common/file_data.h"
#include "common/output_capture.h"
#include "common/pattern.h"
#include "common/sim_process.h"
#include "common/temp_dir.h"

namespace e2e {

namespace fs = std::filesystem;

using Bytes = std::vector<uint8_t>;

inline constexpr size_t kMiB = 1024 * 1024;

// Process status of the tool's early end (-1).
inline constexpr int kExitEarlyEnd = 255;

inline Bytes Slice(const Bytes& data, size_t offset, size_t size)
{
    return Bytes(data.begin() + static_cast<std::ptrdiff_t>(offset),
                 data.begin() + static_cast<std::ptrdiff_t>(offset + size));
}

inline bool AllErased(const Bytes& data, size_t offset, size_t size)
{
    return offset + size <= data.size() &&
           std::all_of(data.begin() + static_cast<std::ptrdiff_t>(offset),
                       data.begin() + static_cast<std::ptrdiff_t>(offset + size), [](uint8_t b) { return b == 0xFF; });
}

inline bool HasDateLine(const std::string& out)
{
    static const std::regex date(R"(\d\d/\d\d/\d\d-\d\d:\d\d:\d\d)");
    return std::regex_search(out, date);
}

// The options of the board most tests run against: chip 0x30230 with the
// expanded flash and ECC, in its boot ROM or with the firmware already
// running, then extra.
inline std::vector<std::string> BoardArgs(bool firmwareRunning, const std::vector<std::string>& extra = {})
{
    std::vector<std::string> args;
    if (firmwareRunning) {
        args.push_back("--firmware-running");
    }
    args.insert(args.end(), {"--chip", "0x30230", "--expand-flash", "--ecc"});
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

class Fixture {
public:
    Fixture()
    {
        if (m_dir.Made()) {
            fs::create_directory(Work());
            fs::create_directory(StorageDir());
        }
    }
    // The board ends before its directory goes.
    ~Fixture() { m_sim.reset(); }

    // The board, with its storage files in this test's directory.
    ::testing::AssertionResult StartSim(std::vector<std::string> args)
    {
        if (!m_dir.Made()) {
            return ::testing::AssertionFailure() << "no temporary directory";
        }
        args.push_back("--storage-dir");
        args.push_back(StorageDir().string());
        m_sim = std::make_unique<SimProcess>(args);
        if (!m_sim->Started()) {
            return ::testing::AssertionFailure() << "qex_sim did not start: " << m_sim->Error();
        }
        return ::testing::AssertionSuccess();
    }

    // zolk_qex (or another build form of it) against the board, in the
    // working directory of this test.
    ProcessResult Run(const std::vector<std::string>& args, const std::string& exe = ZOLK_QEX_PATH,
                      int timeoutMs = 180000)
    {
        return RunProcess(Argv(args, exe), "", timeoutMs);
    }

    // The same, with a signal sent in the middle of the run (see SignalPlan).
    ProcessResult RunSignalled(const std::vector<std::string>& args, SignalPlan* plan, int timeoutMs = 60000)
    {
        return RunProcess(Argv(args, ZOLK_QEX_PATH), timeoutMs, "", plan);
    }

    // Runs go through this program first (for example prlimit with a limit
    // for the run).
    void SetWrapper(std::vector<std::string> wrapper) { m_wrapper = std::move(wrapper); }

    fs::path Dir() const { return m_dir.Path(); }
    fs::path Work() const { return m_dir / "work"; }
    fs::path StorageDir() const { return m_dir / "storage"; }
    fs::path Eflash() const { return StorageDir() / "eflash.bin"; }
    fs::path Snor() const { return StorageDir() / "snor.bin"; }
    std::string Path(const std::string& name) const { return (Work() / name).string(); }

    // text with every {name} replaced by the path of that file of the
    // working directory.
    std::string Expand(std::string text) const
    {
        for (size_t open = text.find('{'); open != std::string::npos; open = text.find('{')) {
            const size_t close = text.find('}', open);
            text.replace(open, close - open + 1, Path(text.substr(open + 1, close - open - 1)));
        }
        return text;
    }

    // Writes a file into the working directory and returns its path.
    std::string MakeFile(const std::string& name, const Bytes& data) const
    {
        WriteAll(Work() / name, data);
        return Path(name);
    }

    SimProcess& Sim() { return *m_sim; }

    // The files of the working directory, by name, sorted.
    std::vector<std::string> WorkFiles() const
    {
        std::vector<std::string> names;
        for (const fs::directory_entry& e : fs::directory_iterator(Work())) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::vector<std::string> Argv(const std::vector<std::string>& args, const std::string& exe) const
    {
        std::vector<std::string> argv = {"/usr/bin/env", "-C", Work().string()};
        argv.insert(argv.end(), m_wrapper.begin(), m_wrapper.end());
        argv.insert(argv.end(), {exe, "--port", m_sim->PtyPath()});
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    TempDir m_dir{"zolk_e2e"};
    std::unique_ptr<SimProcess> m_sim;
    std::vector<std::string> m_wrapper;
};

// The first word's name of every packet the board received, in order, from
// a qex_sim --trace file; noise (bytes that made no packet) shows as "noise".
inline std::vector<std::string> ReceivedPackets(const fs::path& trace)
{
    static const std::regex rx(R"re("dir":"rx".*?"words":\[\{"v":"0x[0-9A-F]+","name":"([^"]*)")re");
    std::vector<std::string> names;
    std::ifstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, rx)) {
            names.push_back(m[1]);
        } else if (line.find("\"event\":\"noise\"") != std::string::npos) {
            names.push_back("noise");
        }
    }
    return names;
}

// Sizes of the boot images the tests generate.
inline constexpr size_t kHsmFileSize = 0x12000;  // the image lies at 0x2000, 0x10000 bytes
inline constexpr size_t kZolkImageSize = 16384;

}  // namespace e2e
