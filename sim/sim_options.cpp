#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "protocol/codes.h"
#include "sim_server.h"

namespace {

// Largest storage the simulated board accepts (addresses are 32-bit on the
// wire).
constexpr uint64_t kMaxStorage = 1ull << 30;

// A number in decimal or 0x hexadecimal, optionally followed by K or M
// (binary multiples).
bool ParseNumber(const std::string& text, uint64_t* value)
{
    if (text.empty() || text[0] == '-') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str()) {
        return false;
    }
    uint64_t mult = 1;
    if (*end == 'K' || *end == 'k') {
        mult = 1024;
        ++end;
    } else if (*end == 'M' || *end == 'm') {
        mult = 1024 * 1024;
        ++end;
    }
    if (*end != '\0' || v > UINT64_MAX / mult) {
        return false;
    }
    *value = v * mult;
    return true;
}

// The chip number as the board reports it: hexadecimal digits, "0x"
// optional (30230 and 0x30230 both mean 0x30230).
bool ParseChip(const std::string& text, uint32_t* value)
{
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    *value = static_cast<uint32_t>(strtoul(digits.c_str(), nullptr, 16));
    return true;
}

// STORAGE:ADDR:COUNT, for example snor:0x100:4.
bool ParseWeakCells(const std::string& text, SimWeakCells* weak)
{
    const size_t first = text.find(':');
    const size_t second = first == std::string::npos ? std::string::npos : text.find(':', first + 1);
    if (second == std::string::npos) {
        return false;
    }
    const std::string storage = text.substr(0, first);
    if (storage == "eflash") {
        weak->storage = STORAGE_EFLASH;
    } else if (storage == "snor") {
        weak->storage = STORAGE_SNOR;
    } else {
        return false;
    }
    return ParseNumber(text.substr(first + 1, second - first - 1), &weak->address) && weak->address < kMaxStorage &&
           ParseNumber(text.substr(second + 1), &weak->count) && weak->count > 0 && weak->count <= kMaxStorage;
}

struct OptionDef {
    const char* name;
    bool takesValue;
    std::function<bool(const std::string&)> apply;  // false: invalid value
};

}  // namespace

std::string SimUsage()
{
    return "Usage: qex_sim [options]\n"
           "A simulated QEX board on a pseudo-terminal. Prints the device path of the host side\n"
           "as the first line on standard output; point zolk_qex --port at it.\n"
           "\n"
           "Line and process:\n"
           "  --form general|per-chip  speeds of the build form: 57600/460800 (general, default)\n"
           "                           or 115200/921600 baud (boot ROM/firmware)\n"
           "  --any-speed              accept and send at any line speed\n"
           "  --line-rate              pace the bytes at the line speed in force (10 bits a byte)\n"
           "  --reply-latency MS       hold every reply back MS ms before it goes out, as the latency\n"
           "                           timer of a USB-serial adapter does (default 0)\n"
           "  --link PATH              make a symbolic link PATH to the device\n"
           "  --once                   end when the host has closed the line after a run\n"
           "  --trace FILE             write every packet and data block as JSON lines\n"
           "Board:\n"
           "  --chip N                 chip number as reported, hexadecimal digits (default 0x30230)\n"
           "  --expand-flash, --ecc, --dual-bank   chip information flags\n"
           "  --eflash-size N, --snor-size N       storage sizes (K/M suffixes allowed; default from\n"
           "                           the storage bank table for the chip)\n"
           "  --storage-dir DIR        keep eflash.bin and snor.bin in DIR (default: in memory)\n"
           "  --firmware-running       start with the ZOLK firmware running (default: boot ROM)\n"
           "  --format-ms N            duration of a low format (default 300)\n"
           "Faults (chunks count from 0 within each transfer):\n"
           "  --refuse-start K         refuse the first K start packets\n"
           "  --nack-chunk K           NACK write chunk K for its CRC, once\n"
           "  --reject-chunk K         NACK write chunk K with INVALID_CMD\n"
           "  --corrupt-dump-chunk K   corrupt dump chunk K on the line, once\n"
           "  --bad-final-crc          wrong CRC in the final ACK of writes and dumps\n"
           "  --silent-after N         stop answering after N bytes received\n"
           "  --hangup-after N         close the line and end after N bytes received\n"
           "  --reset-after N          fall back to the boot ROM after N bytes received, once\n"
           "  --refuse-image           refuse every boot image (as if its CRC were wrong)\n"
           "  --nack-format            NACK as the second answer to LOW_FORMAT_CMD\n"
           "  --silent-on NAME         stop answering on receiving the command NAME (WRITE_CMD,\n"
           "                           READ_CMD, FW_PING, STORAGE_INFO_CMD, CHIP_INFO_CMD,\n"
           "                           LOW_FORMAT_CMD, START_CMD, RECEIVE_HSM_CMD, RECEIVE_ZOLK_CMD)\n"
           "  --silent-after-ack NAME  stop answering right after acknowledging the command NAME\n"
           "  --refuse-command NAME    refuse the firmware command NAME (NACK, INVALID_CMD) every time\n"
           "  --weak-cells S:ADDR:N    N bytes of storage S (eflash or snor) from ADDR never take a\n"
           "                           write: they keep the erased value 0xFF (repeatable)\n"
           "  --help                   print this text\n";
}

SimParse ParseSimOptions(int argc, char** argv, SimOptions* o, std::string* error)
{
    SimConfig& b = o->board;
    SimFaults& f = b.faults;
    const auto flag = [](bool* target) {
        return [target](const std::string&) {
            *target = true;
            return true;
        };
    };
    // A number from min to max into the option's field.
    const auto number = [](auto* target, uint64_t min, uint64_t max) {
        return [target, min, max](const std::string& v) {
            uint64_t n = 0;
            if (!ParseNumber(v, &n) || n < min || n > max) {
                return false;
            }
            *target = static_cast<std::remove_pointer_t<decltype(target)>>(n);
            return true;
        };
    };
    const auto count = [&number](int64_t* target) { return number(target, 0, INT64_MAX); };
    const auto size = [&number](uint64_t* target) { return number(target, 1, kMaxStorage); };
    const auto text = [](std::string* target) {
        return [target](const std::string& v) {
            *target = v;
            return !v.empty();
        };
    };
    const auto command = [](uint32_t* target) {
        return [target](const std::string& v) {
            *target = SimCommandCode(v);
            return *target != 0;
        };
    };
    bool help = false;
    const std::vector<OptionDef> defs = {
        {"help", false, flag(&help)},
        {"form", true,
         [&b](const std::string& v) {
             if (v == "general" || v == "per-chip") {
                 b.perChipForm = v == "per-chip";
                 return true;
             }
             return false;
         }},
        {"any-speed", false, flag(&b.anySpeed)},
        {"line-rate", false, flag(&o->lineRate)},
        {"link", true, text(&o->link)},
        {"once", false, flag(&o->once)},
        {"trace", true, text(&o->trace)},
        {"chip", true, [&b](const std::string& v) { return ParseChip(v, &b.chip); }},
        {"expand-flash", false, flag(&b.expandFlash)},
        {"ecc", false, flag(&b.ecc)},
        {"dual-bank", false, flag(&b.dualBank)},
        {"eflash-size", true, size(&b.eflashSize)},
        {"snor-size", true, size(&b.snorSize)},
        {"storage-dir", true, text(&b.storageDir)},
        {"firmware-running", false, flag(&b.firmwareRunning)},
        {"format-ms", true, number(&b.formatMs, 0, 3600u * 1000u)},
        {"refuse-start", true, count(&f.refuseStart)},
        {"nack-chunk", true, count(&f.nackChunk)},
        {"reject-chunk", true, count(&f.rejectChunk)},
        {"corrupt-dump-chunk", true, count(&f.corruptDumpChunk)},
        {"bad-final-crc", false, flag(&f.badFinalCrc)},
        {"silent-after", true, count(&f.silentAfter)},
        {"hangup-after", true, count(&f.hangupAfter)},
        {"reset-after", true, count(&f.resetAfter)},
        {"refuse-image", false, flag(&f.refuseImage)},
        {"silent-on", true, command(&f.silentOn)},
        {"silent-after-ack", true, command(&f.silentAfterAck)},
        {"refuse-command", true, command(&f.refuseCommand)},
        {"reply-latency", true, number(&o->replyLatencyMs, 0, 10000)},
        {"nack-format", false, flag(&f.nackFormat)},
        {"weak-cells", true,
         [&f](const std::string& v) {
             SimWeakCells weak;
             if (!ParseWeakCells(v, &weak)) {
                 return false;
             }
             f.weakCells.push_back(weak);
             return true;
         }},
    };

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0 || arg.size() == 2) {
            *error = "unexpected argument '" + arg + "'";
            return SimParse::Error;
        }
        std::string name = arg.substr(2);
        std::string value;
        bool hasValue = false;
        const size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        const OptionDef* def = nullptr;
        for (const OptionDef& d : defs) {
            if (name == d.name) {
                def = &d;
            }
        }
        if (def == nullptr) {
            *error = "unknown option '--" + name + "'";
            return SimParse::Error;
        }
        if (def->takesValue && !hasValue) {
            if (i + 1 >= argc) {
                *error = "option '--" + name + "' needs a value";
                return SimParse::Error;
            }
            value = argv[++i];
        } else if (!def->takesValue && hasValue) {
            *error = "option '--" + name + "' takes no value";
            return SimParse::Error;
        }
        if (!def->apply(value)) {
            *error = "invalid value '" + value + "' for option '--" + name + "'";
            return SimParse::Error;
        }
    }
    return help ? SimParse::Help : SimParse::Ok;
}
