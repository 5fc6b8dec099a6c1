// Benchmarks of zolk_qex against the simulated board: line efficiency of the
// data phases (from the board's packet trace), host throughput without line
// pacing, processor use while the board is silent, peak memory, and eight
// boards at once.
//
//   bench_runner --zolk PATH --zolk-chip PATH --sim PATH [--repeat N] [--out FILE] [--build TEXT]
//
// Every figure is a ratio or a rate measured inside one run; each is the
// median of --repeat runs.
//
// One file for the driver: main runs the six groups in order over one run
// directory, and each group's figures feed rows of the one table (the
// eight-board rows are held against the single-board ones). The child
// processes are in bench_process.h, the reading of the board's trace in
// bench_trace.h.
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_process.h"
#include "bench_trace.h"
#include "protocol/codes.h"
#include "sim_wire.h"

namespace {

struct Options {
    std::string zolk;
    std::string zolkChip;
    std::string sim;
    std::string out;
    std::string build = "Release";
    std::string dir = "/tmp";
    int repeat = 3;
    size_t lineSize = 2 * 1024 * 1024;
    std::string only;   // run one group: line, host, idle, memory, latency, boards (with line)
    std::string notes;  // text appended to the report as it is
};


double Median(std::vector<double> v)
{
    if (v.empty()) {
        return -1;
    }
    std::sort(v.begin(), v.end());
    return v.size() % 2 != 0 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Row {
    std::string name;
    std::string value;
    std::string target;
    bool pass;
    std::string how;
};

std::string Fmt(const char* fmt, double v)
{
    char text[64];
    std::snprintf(text, sizeof(text), fmt, v);
    return text;
}

std::string Quote(const std::vector<std::string>& args)
{
    std::string s;
    for (const auto& a : args) {
        s += (s.empty() ? "" : " ") + a;
    }
    return s;
}

std::string ReadFirstLine(const char* path, const char* key)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) {
            const size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const std::string v = argv[i + 1];
        if (k == "--zolk") o.zolk = v;
        else if (k == "--zolk-chip") o.zolkChip = v;
        else if (k == "--sim") o.sim = v;
        else if (k == "--repeat") o.repeat = std::max(1, std::atoi(v.c_str()));
        else if (k == "--out") o.out = v;
        else if (k == "--build") o.build = v;
        else if (k == "--dir") o.dir = v;
        else if (k == "--only") o.only = v;
        else if (k == "--notes") o.notes = v;
        else if (k == "--line-size") o.lineSize = static_cast<size_t>(std::strtoull(v.c_str(), nullptr, 0));
    }
    if (o.zolk.empty() || o.zolkChip.empty() || o.sim.empty()) {
        std::fprintf(stderr, "usage: bench_runner --zolk PATH --zolk-chip PATH --sim PATH [--repeat N] [--out FILE]\n");
        return 2;
    }
    std::string dirTemplate = o.dir + "/zolk_bench_XXXXXX";
    if (mkdtemp(dirTemplate.data()) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string dir = dirTemplate;
    const std::string data = dir + "/data.bin";
    const std::string dump = dir + "/dump.bin";
    const std::string hsm = dir + "/hsm.bin";
    const std::string zolkImage = dir + "/zolk.bin";
    const std::string trace = dir + "/trace.jsonl";
    const std::string log = dir + "/zolk_qex.log";
    WriteFile(data, o.lineSize, 1);
    WriteFile(hsm, 0x12000, 2);
    WriteFile(zolkImage, 0x10000, 3);
    const std::string sectors = std::to_string(o.lineSize / 512);
    bool allOk = true;
    const auto check = [&](const RunStats& s, const char* what) {
        if (s.exitCode != 0) {
            std::fprintf(stderr, "%s: zolk_qex ended with %d, see %s\n", what, s.exitCode, log.c_str());
            allOk = false;
            return false;
        }
        return true;
    };

    // 1. Line efficiency at 921600 (per-chip form) and the boot transfer at 115200.
    std::vector<double> effWrite, effDump, effHsm, effZolk, pausesFw, pausesBoot;
    const std::vector<std::string> lineSimArgs = {"--form", "per-chip", "--line-rate", "--firmware-running",
                                                  "--trace", trace};
    const std::vector<std::string> lineToolArgs = {"-w", data, "--storage", "eflash", "-a", "0",
                                                   "-s", sectors, "-r", dump};
    const std::vector<std::string> bootSimArgs = {"--form", "per-chip", "--line-rate", "--trace", trace};
    const std::vector<std::string> bootToolArgs = {"--hsm", hsm, "--zolk", zolkImage};
    const auto wanted = [&](const char* group) { return o.only.empty() || o.only == group; };
    // The eight-board figures are held against the single-board ones.
    const bool lineWanted = wanted("line") || o.only == "boards";
    for (int r = 0; lineWanted && r < o.repeat; ++r) {
        std::fprintf(stderr, "line efficiency, run %d of %d\n", r + 1, o.repeat);
        RunStats run;
        {
            Sim sim(o.sim, lineSimArgs);
            std::vector<std::string> args = {"--port", sim.Pty()};
            args.insert(args.end(), lineToolArgs.begin(), lineToolArgs.end());
            run = RunTool(o.zolkChip, args, log);
            if (!check(run, "line efficiency")) {
                break;
            }
        }
        const LineEfficiency e = MeasureLine(ReadTrace(trace), o.lineSize, 921600.0);
        effWrite.push_back(e.writeShare);
        effDump.push_back(e.dumpShare);
        // The whole run minus the two data phases (and chunk 0 of each at
        // line speed).
        const double firstChunkMs =
            static_cast<double>(kSimChunkSize + 2 * kFwPacketSize) / (921600.0 / 10.0) * 1000.0;
        pausesFw.push_back(run.wallMs - e.write.Ms() - e.dump.Ms() - 2 * firstChunkMs);

        std::fprintf(stderr, "boot transfer, run %d of %d\n", r + 1, o.repeat);
        {
            Sim sim(o.sim, bootSimArgs);
            const std::vector<std::string> args = {"--port", sim.Pty(), "--hsm", hsm, "--zolk", zolkImage};
            run = RunTool(o.zolkChip, args, log);
            if (!check(run, "boot transfer")) {
                break;
            }
        }
        const auto b = ReadTrace(trace);
        const double bootLine = 115200.0 / 10.0;
        const double hsmMs = BootImageMs(b, RECEIVE_HSM_CMD, 0x10000);
        const double zolkMs = BootImageMs(b, RECEIVE_ZOLK_CMD, 0x10000);
        effHsm.push_back(0x10000 / (hsmMs / 1000.0 * bootLine));
        effZolk.push_back(0x10000 / (zolkMs / 1000.0 * bootLine));
        pausesBoot.push_back(run.wallMs - hsmMs - zolkMs);
    }

    // 2. Host throughput without pacing: the time of a 16 MiB transfer less
    // that of a 64 KiB one (the fixed pauses cancel out), and the host's own
    // processor time per byte (what it could feed a faster peer).
    std::vector<double> mbWrite, mbDump, cpuWrite, cpuDump;
    const size_t bigSize = 16 * 1024 * 1024;
    const size_t smallSize = 64 * 1024;
    const std::string big = dir + "/big.bin";
    const std::string small = dir + "/small.bin";
    if (wanted("host")) {
        WriteFile(big, bigSize, 4);
        WriteFile(small, smallSize, 5);
    }
    for (int r = 0; wanted("host") && r < o.repeat; ++r) {
        std::fprintf(stderr, "host throughput, run %d of %d\n", r + 1, o.repeat);
        Sim sim(o.sim, {"--firmware-running", "--eflash-size", "32M"});
        RunStats st[4];
        const std::string port = sim.Pty();
        st[0] = RunTool(o.zolk, {"--port", port, "-w", big, "--storage", "eflash", "-a", "0"}, log);
        st[1] = RunTool(o.zolk, {"--port", port, "-w", small, "--storage", "eflash", "-a", "0"}, log);
        st[2] = RunTool(o.zolk, {"--port", port, "-r", dump, "--storage", "eflash", "-a", "0", "-s",
                                 std::to_string(bigSize / 512)}, log);
        st[3] = RunTool(o.zolk, {"--port", port, "-r", dump, "--storage", "eflash", "-a", "0", "-s",
                                 std::to_string(smallSize / 512)}, log);
        if (!check(st[0], "host write") || !check(st[1], "host write") || !check(st[2], "host dump") ||
            !check(st[3], "host dump")) {
            break;
        }
        const double extra = static_cast<double>(bigSize - smallSize) / 1e6;
        mbWrite.push_back(extra / ((st[0].wallMs - st[1].wallMs) / 1000.0));
        mbDump.push_back(extra / ((st[2].wallMs - st[3].wallMs) / 1000.0));
        cpuWrite.push_back(extra / std::max(1e-3, st[0].cpuSeconds - st[1].cpuSeconds));
        cpuDump.push_back(extra / std::max(1e-3, st[2].cpuSeconds - st[3].cpuSeconds));
    }

    // 3. Idle cost during a 5 s low format.
    std::vector<double> idle;
    double idleWall = 0;
    for (int r = 0; wanted("idle") && r < o.repeat; ++r) {
        std::fprintf(stderr, "idle cost, run %d of %d\n", r + 1, o.repeat);
        Sim sim(o.sim, {"--firmware-running", "--format-ms", "5000"});
        const RunStats s = RunTool(o.zolk, {"--port", sim.Pty(), "--low-format"}, log);
        if (!check(s, "idle cost")) {
            break;
        }
        idle.push_back(s.cpuSeconds / (s.wallMs / 1000.0));
        idleWall = s.wallMs / 1000.0;
    }

    // 4. Peak memory against the transfer size.
    const std::vector<size_t> sizes = {64 * 1024, 2 * 1024 * 1024, 16 * 1024 * 1024};
    std::vector<double> rss;
    for (size_t size : sizes) {
        if (!wanted("memory")) {
            rss.push_back(-1);
            continue;
        }
        std::fprintf(stderr, "peak memory, %zu bytes\n", size);
        const std::string file = dir + "/rss.bin";
        WriteFile(file, size, size);
        std::vector<double> runs;
        for (int r = 0; r < o.repeat; ++r) {
            Sim sim(o.sim, {"--firmware-running", "--eflash-size", "32M"});
            const RunStats s = RunTool(o.zolk, {"--port", sim.Pty(), "-w", file, "--storage", "eflash", "-a", "0",
                                                "-s", std::to_string(size / 512), "-r", dump},
                                       log);
            if (!check(s, "peak memory")) {
                break;
            }
            runs.push_back(static_cast<double>(s.maxRssKiB));
        }
        rss.push_back(Median(runs));
    }

    // 5. What a USB-serial adapter's latency timer costs: every chunk is
    // stop-and-wait, so each reply held back adds its delay to every chunk.
    const std::vector<int> latencies = {16, 1};
    const size_t latencySize = 512 * 1024;
    const std::string latencyData = dir + "/latency.bin";
    std::vector<double> latWrite[2], latDump[2];
    if (wanted("latency")) {
        WriteFile(latencyData, latencySize, 6);
    }
    for (size_t li = 0; wanted("latency") && li < latencies.size(); ++li) {
        for (int r = 0; r < o.repeat; ++r) {
            std::fprintf(stderr, "reply latency %d ms, run %d of %d\n", latencies[li], r + 1, o.repeat);
            {
                Sim sim(o.sim, {"--form", "per-chip", "--line-rate", "--firmware-running", "--reply-latency",
                            std::to_string(latencies[li]), "--trace", trace});
                const RunStats run = RunTool(o.zolkChip,
                                             {"--port", sim.Pty(), "-w", latencyData, "--storage", "eflash", "-a", "0",
                                              "-s", std::to_string(latencySize / 512), "-r", dump},
                                             log);
                if (!check(run, "reply latency")) {
                    break;
                }
            }
            const LineEfficiency e = MeasureLine(ReadTrace(trace), latencySize, 921600.0);
            latWrite[li].push_back(e.writeShare);
            latDump[li].push_back(e.dumpShare);
        }
    }

    // 6. Many boards at once: eight runs of the per-chip form side by side,
    // each against its own paced board, as a production line runs them on
    // one host. Each run's line efficiency comes from its own board's trace
    // and is held against the single-board figure of group 1; the processor
    // time is that of all sixteen processes over the batch's wall time.
    constexpr int kBoards = 8;
    std::vector<double> boardWrite[kBoards], boardDump[kBoards], toolsCpu, simsCpu;
    for (int r = 0; wanted("boards") && r < o.repeat; ++r) {
        std::fprintf(stderr, "%d boards at once, run %d of %d\n", kBoards, r + 1, o.repeat);
        std::vector<std::unique_ptr<Sim>> sims;
        std::vector<ToolRun> runs;
        const auto traceOf = [&](int b) { return dir + "/trace" + std::to_string(b) + ".jsonl"; };
        const auto logOf = [&](int b) { return dir + "/zolk_qex_board" + std::to_string(b) + ".log"; };
        for (int b = 0; b < kBoards; ++b) {
            sims.push_back(std::make_unique<Sim>(
                o.sim, std::vector<std::string>{"--form", "per-chip", "--line-rate", "--firmware-running", "--trace",
                                            traceOf(b)}));
        }
        const double start = NowMs();
        for (int b = 0; b < kBoards; ++b) {
            runs.push_back(StartTool(o.zolkChip,
                                     {"--port", sims[b]->Pty(), "-w", data, "--storage", "eflash", "-a", "0", "-s",
                                      sectors, "-r", dir + "/dump" + std::to_string(b) + ".bin"},
                                     logOf(b)));
        }
        RunStats st[kBoards];
        bool ok = true;
        double cpu = 0;
        for (int b = 0; b < kBoards; ++b) {
            st[b] = FinishTool(runs[b]);
            cpu += st[b].cpuSeconds;
            if (st[b].exitCode != 0) {
                std::fprintf(stderr, "board %d: zolk_qex ended with %d, see %s\n", b, st[b].exitCode,
                             logOf(b).c_str());
                ok = false;
            }
        }
        const double wall = NowMs() - start;
        double simCpu = 0;
        for (auto& sim : sims) {
            simCpu += sim->Stop();
        }
        if (!ok) {
            allOk = false;
            break;
        }
        toolsCpu.push_back(cpu / (wall / 1000.0));
        simsCpu.push_back(simCpu / (wall / 1000.0));
        for (int b = 0; b < kBoards; ++b) {
            const LineEfficiency e = MeasureLine(ReadTrace(traceOf(b)), o.lineSize, 921600.0);
            boardWrite[b].push_back(e.writeShare);
            boardDump[b].push_back(e.dumpShare);
        }
    }

    const double mEffWrite = Median(effWrite), mEffDump = Median(effDump);
    const double mHsm = Median(effHsm), mZolk = Median(effZolk);
    const double mMbWrite = Median(mbWrite), mMbDump = Median(mbDump), mIdle = Median(idle);
    const double rssMax = rss.empty() ? -1 : *std::max_element(rss.begin(), rss.end());
    const double rssMin = rss.empty() ? -1 : *std::min_element(rss.begin(), rss.end());
    const std::string sz = std::to_string(o.lineSize / (1024 * 1024)) + " MiB";

    std::string boardsEach;  // write / dump efficiency of each of the eight boards
    std::vector<Row> rows = {
        {"write efficiency (921600 baud)", Fmt("%.4f", mEffWrite) + " = " + Fmt("%.3f", mEffWrite / kSimLineCeiling) + " x ceiling",
         ">= 0.95 x 0.977", mEffWrite / kSimLineCeiling >= 0.95, "per-chip zolk_qex, " + sz + " write, --line-rate"},
        {"dump efficiency (921600 baud)", Fmt("%.4f", mEffDump) + " = " + Fmt("%.3f", mEffDump / kSimLineCeiling) + " x ceiling",
         ">= 0.95 x 0.977", mEffDump / kSimLineCeiling >= 0.95, "per-chip zolk_qex, " + sz + " dump, --line-rate"},
        {"boot HSM image (115200 baud)", Fmt("%.4f", mHsm) + " of the line", ">= 0.95", mHsm >= 0.95,
         "64 KiB in 4-byte writes, --line-rate"},
        {"boot ZOLK image (115200 baud)", Fmt("%.4f", mZolk) + " of the line", ">= 0.95", mZolk >= 0.95,
         "64 KiB in 4-byte writes, --line-rate"},
        {"fixed pauses, write+dump run", Fmt("%.2f s", Median(pausesFw) / 1000.0), "(reported)", true,
         "whole run minus the two data phases; the code's pauses: 5 x 200 ms + 4 x 500 ms = 3.0 s"},
        {"fixed pauses, boot load run", Fmt("%.2f s", Median(pausesBoot) / 1000.0), "(reported)", true,
         "whole run minus the two image transfers"},
        {"host write throughput (no pacing)", Fmt("%.1f MB/s", mMbWrite), ">= 20 MB/s", mMbWrite >= 20,
         "16 MiB less 64 KiB write, wall time, against qex_sim"},
        {"host dump throughput (no pacing)", Fmt("%.1f MB/s", mMbDump), ">= 20 MB/s", mMbDump >= 20,
         "16 MiB less 64 KiB dump, wall time, against qex_sim"},
        {"host write, own CPU per byte", Fmt("%.0f MB/s", Median(cpuWrite)), "(reported)", true,
         "the same bytes over zolk_qex's user+sys time"},
        {"host dump, own CPU per byte", Fmt("%.0f MB/s", Median(cpuDump)), "(reported)", true,
         "the same bytes over zolk_qex's user+sys time"},
        {"idle CPU during a 5 s low format", Fmt("%.2f %%", mIdle * 100), "< 1 %", mIdle < 0.01,
         "user+sys / wall of the whole run (" + Fmt("%.1f s", idleWall) + ")"},
    };
    for (size_t li = 0; li < latencies.size(); ++li) {
        const std::string ms = std::to_string(latencies[li]) + " ms";
        const double mw = Median(latWrite[li]);
        const double md = Median(latDump[li]);
        rows.push_back({"write efficiency, " + ms + " reply latency", Fmt("%.4f", mw) + " = " + Fmt("%.3f", mw / kSimLineCeiling) +
                            " x ceiling", "(reported)", true,
                        "per-chip zolk_qex, 512 KiB write, --line-rate --reply-latency " + std::to_string(latencies[li])});
        rows.push_back({"dump efficiency, " + ms + " reply latency", Fmt("%.4f", md) + " = " + Fmt("%.3f", md / kSimLineCeiling) +
                            " x ceiling", "(reported)", true,
                        "per-chip zolk_qex, 512 KiB dump, --line-rate --reply-latency " + std::to_string(latencies[li])});
    }
    if (wanted("boards")) {
        std::vector<double> writes, dumps;
        for (int b = 0; b < kBoards; ++b) {
            writes.push_back(Median(boardWrite[b]));
            dumps.push_back(Median(boardDump[b]));
        }
        const auto row = [&](const char* what, const std::vector<double>& each, double single) {
            const double worst = *std::min_element(each.begin(), each.end());
            const double best = *std::max_element(each.begin(), each.end());
            rows.push_back({std::string(what) + ", 8 boards at once",
                            Fmt("%.4f", worst) + " to " + Fmt("%.4f", best) + ", worst " +
                                Fmt("%.3f", worst / single) + " x one board",
                            ">= 0.98 x one board", worst / single >= 0.98,
                            "8 per-chip zolk_qex against 8 qex_sim --line-rate, " + sz + " each"});
        };
        row("write efficiency", writes, mEffWrite);
        row("dump efficiency", dumps, mEffDump);
        rows.push_back({"processor use, 8 boards at once",
                        "zolk_qex " + Fmt("%.1f %%", Median(toolsCpu) * 100) + ", qex_sim " +
                            Fmt("%.1f %%", Median(simsCpu) * 100) + " of one processor",
                        "(reported)", true, "user+sys of the 8 runs and of the 8 boards over the wall time"});
        std::string each;
        for (int b = 0; b < kBoards; ++b) {
            each += (b == 0 ? "" : ", ") + std::to_string(b) + ": " + Fmt("%.4f", writes[b]) + " / " +
                    Fmt("%.4f", dumps[b]);
        }
        boardsEach = each;
    }
    for (size_t i = 0; i < sizes.size(); ++i) {
        rows.push_back({"peak RSS, " + std::to_string(sizes[i] / 1024) + " KiB write+dump",
                        Fmt("%.0f KiB", rss[i]), "< 8192 KiB, flat", rss[i] < 8192 && rssMax - rssMin < 1024,
                        "ru_maxrss of the child"});
    }

    std::printf("%-36s %-34s %-18s %s\n", "figure", "value", "target", "ok");
    for (const Row& r : rows) {
        std::printf("%-36s %-34s %-18s %s\n", r.name.c_str(), r.value.c_str(), r.target.c_str(), r.pass ? "yes" : "NO");
    }

    if (!o.out.empty()) {
        utsname u{};
        uname(&u);
        const std::time_t now = std::time(nullptr);
        char date[64];
        std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
        std::ofstream md(o.out, std::ios::trunc);
        md << "# Benchmarks\n\n";
        md << "Produced by `bench/run_benchmarks.sh` on " << date << ".\n\n";
        md << "- Machine: " << ReadFirstLine("/proc/cpuinfo", "model name") << ", " << sysconf(_SC_NPROCESSORS_ONLN)
           << " processors, " << u.sysname << " " << u.release << " " << u.machine << ".\n";
        md << "- Build: " << o.build << " (zolk_qex, the per-chip form 30230 and qex_sim).\n";
        md << "- Each figure is the median of " << o.repeat
           << " runs, each figure a ratio or a rate inside one run. The machine is shared with other engineers "
              "compiling at the same time, so single runs are noisy; the pacing of the simulated line runs on "
              "the same processors and any delay of it counts against the tool.\n\n";
        md << "| figure | value | target | met | how |\n|---|---|---|---|---|\n";
        for (const Row& r : rows) {
            md << "| " << r.name << " | " << r.value << " | " << r.target << " | " << (r.pass ? "yes" : "**no**")
               << " | " << r.how << " |\n";
        }
        md << "\n## How each figure is taken\n\n";
        md << "- Line efficiency: `qex_sim " << Quote({"--form", "per-chip", "--line-rate", "--firmware-running",
                                                       "--trace", "trace.jsonl"})
           << "` and `zolk_qex_chip30230 --port PTY -w data.bin --storage eflash -a 0 -s " << sectors
           << " -r dump.bin`. From the board's trace: the data phase runs from the first chunk reply (the board's "
              "CHUNK_ACK of write chunk 0, the host's CHUNK_ACK of dump chunk 0) to the board's final ACK, and "
              "carries all chunks but the first; efficiency = payload / (time x baud / 10). Chunk 0 is left out "
              "because it waits behind the host's fixed 500 ms pause before the data phase, which is reported with "
              "the pauses. The protocol's ceiling is 2048 / (2048 + 48) = 0.977.\n";
        md << "- Boot transfer: `qex_sim --form per-chip --line-rate --trace trace.jsonl` and "
              "`zolk_qex_chip30230 --port PTY --hsm hsm.bin --zolk zolk.bin` (a 64 KiB ZOLK image). The image time "
              "runs from the board's receipt of the announcement, less the host's fixed 200 ms + 500 ms pauses, to "
              "the board's receipt of the last image byte.\n";
        md << "- Fixed pauses: the whole traced run minus the data phases (and chunk 0 of each at line speed); it "
              "also holds the command packets' own line time and the start-up of the run.\n";
        md << "- Host throughput: `qex_sim --firmware-running --eflash-size 32M` and `zolk_qex --port PTY -w FILE "
              "--storage eflash -a 0` (dump: `-r dump.bin --storage eflash -a 0 -s N`) for 16 MiB and for 64 KiB; "
              "MB/s = the extra bytes over the extra wall time, so the fixed pauses cancel out. This rate includes "
              "the simulated board's own turn-around on every chunk; the own-CPU figure is the same bytes over the "
              "extra user + system time of zolk_qex alone.\n";
        md << "- Idle cost: `qex_sim --firmware-running --format-ms 5000` and `zolk_qex --port PTY --low-format`; "
              "the child's user + system time (wait4) over its wall time, whole run.\n";
        md << "- Peak memory: `qex_sim --firmware-running --eflash-size 32M` and `zolk_qex --port PTY -w FILE "
              "--storage eflash -a 0 -s N -r dump.bin` for 64 KiB, 2 MiB and 16 MiB; ru_maxrss of the child.\n";
        md << "- Reply latency: as the line efficiency, with `--reply-latency 16` (the latency timer most USB-serial "
              "adapters default to) and `--reply-latency 1` (the lowest setting), a 512 KiB write and dump; the "
              "board holds every reply back by that much before it goes on the line.\n";
        md << "- Eight boards at once: eight `qex_sim --form per-chip --line-rate --firmware-running --trace "
              "traceN.jsonl` and eight `zolk_qex_chip30230 --port PTY -w data.bin --storage eflash -a 0 -s "
           << sectors
           << " -r dumpN.bin` started together; each run's efficiency is taken from its own board's trace as "
              "above and held against the single-board figure; processor use is the user + system time of the "
              "eight runs (and of the eight simulated boards, whose pacing runs on the same two processors) over "
              "the wall time of the batch.";
        if (!boardsEach.empty()) {
            md << " Write / dump efficiency of each board: " << boardsEach << ".";
        }
        md << "\n";
        if (!o.notes.empty()) {
            std::ifstream notes(o.notes);
            md << "\n" << notes.rdbuf();
        }
    }
    if (!allOk) {
        std::fprintf(stderr, "some runs failed; logs in %s\n", dir.c_str());
        return 1;
    }
    std::string rm = "rm -rf '" + dir + "'";
    return std::system(rm.c_str()) == 0 ? 0 : 1;
}

