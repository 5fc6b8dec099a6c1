// The manual pages, the README and the bash completion against the option
// tables of the programs, so that none of them falls behind an option.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/file_data.h"
#include "common/pty_pair.h"
#include "common/temp_dir.h"
#include "run/args.h"
#include "sim_server.h"

namespace {

std::string ReadSource(const std::string& relative)
{
    return ReadText(std::string(ZOLK_SOURCE_DIR) + "/" + relative);
}

// A manual page as its reader sees the words: roff's minus escapes and font
// changes dropped.
std::string ManText(const std::string& roff)
{
    std::string text = std::regex_replace(roff, std::regex(R"(\\f[BIRP])"), "");
    return std::regex_replace(text, std::regex(R"(\\-)"), "-");
}

// The option as a word of its own: "-s" is not found in "--size", nor
// "--size" in "--sector-size".
bool Mentions(const std::string& text, const std::string& option)
{
    const auto partOfName = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; };
    for (size_t at = text.find(option); at != std::string::npos; at = text.find(option, at + 1)) {
        const bool startsWord = at == 0 || !partOfName(text[at - 1]);
        const size_t end = at + option.size();
        const bool endsWord = end == text.size() || !partOfName(text[end]);
        if (startsWord && endsWord) {
            return true;
        }
    }
    return false;
}

// qex_sim's long options as its usage text names them, each checked to be
// one its parser takes.
std::vector<std::string> SimOptionNames()
{
    const std::string usage = SimUsage();
    std::set<std::string> names;
    const std::regex option(R"(--[a-z][a-z-]*)");
    for (auto it = std::sregex_iterator(usage.begin(), usage.end(), option); it != std::sregex_iterator(); ++it) {
        names.insert(it->str());
    }
    std::vector<std::string> accepted;
    for (const std::string& name : names) {
        std::string arg = name;
        std::string value = "1";
        char* argv[] = {const_cast<char*>("qex_sim"), arg.data(), value.data()};
        SimOptions options;
        std::string error;
        if (ParseSimOptions(3, argv, &options, &error) != SimParse::Error ||
            error.find("unknown option") == std::string::npos) {
            accepted.push_back(name);
        }
    }
    return accepted;
}

struct Document {
    const char* path;
    bool manPage;
    bool longOptionsOnly;  // the completion offers the long names
};

}  // namespace

TEST(Documentation, EveryOptionOfZolkQexIsDocumented)
{
    const std::vector<std::string> options = AcceptedOptions();
    ASSERT_GT(options.size(), 20u);
    const Document documents[] = {
        {"man/zolk_qex.1", true, false},
        {"README.md", false, false},
        {"completion/zolk_qex", false, true},
    };
    for (const Document& doc : documents) {
        const std::string source = ReadSource(doc.path);
        ASSERT_FALSE(source.empty()) << doc.path;
        const std::string text = doc.manPage ? ManText(source) : source;
        for (const std::string& option : options) {
            if (doc.longOptionsOnly && option.rfind("--", 0) != 0) {
                continue;
            }
            EXPECT_TRUE(Mentions(text, option)) << option << " is missing from " << doc.path;
        }
    }
}

TEST(Documentation, EveryOptionOfQexSimIsDocumented)
{
    const std::vector<std::string> options = SimOptionNames();
    ASSERT_GT(options.size(), 20u);
    for (const char* path : {"man/qex_sim.1", "completion/zolk_qex"}) {
        const std::string text = ManText(ReadSource(path));
        for (const std::string& option : options) {
            EXPECT_TRUE(Mentions(text, option)) << option << " is missing from " << path;
        }
    }
}

// The completion as bash runs it: the words of a command line in, the
// candidates out (sorted), in a folder with a few files.
class Completion : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.Made());
        m_dir = m_root / "files";
        std::filesystem::create_directory(m_dir);
        std::ofstream(m_dir / "hsm.bin") << "h";
        std::ofstream(m_dir / "zolk.rom") << "z";
        std::filesystem::create_directory(m_dir / "board");
    }

    std::vector<std::string> Complete(const std::vector<std::string>& words)
    {
        std::string script = "source '" + std::string(ZOLK_SOURCE_DIR) + "/completion/zolk_qex' && cd '" +
                             m_dir.string() + "' && COMP_WORDS=(";
        for (const std::string& word : words) {
            script += "'" + word + "' ";
        }
        script += "); COMP_CWORD=" + std::to_string(words.size() - 1) +
                  "; f=$(complete -p \"${COMP_WORDS[0]}\"); f=${f#*-F }; f=${f%% *};"
                  " \"$f\" \"${COMP_WORDS[0]}\" \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD-1]}\";"
                  " printf '%s\\n' \"${COMPREPLY[@]}\" | LC_ALL=C sort";
        const std::string path = (m_root / "complete.sh").string();
        std::ofstream(path) << script;
        FILE* out = popen(("bash --norc --noprofile " + path + " 2>&1").c_str(), "r");
        std::vector<std::string> candidates;
        char line[512];
        while (out != nullptr && std::fgets(line, sizeof(line), out) != nullptr) {
            std::string text = line;
            text.erase(text.find_last_not_of('\n') + 1);
            if (!text.empty()) {
                candidates.push_back(text);
            }
        }
        if (out != nullptr) {
            pclose(out);
        }
        return candidates;
    }

    TempDir m_root{"zolk_completion"};
    std::filesystem::path m_dir;  // the working folder of the completion
};

TEST_F(Completion, OptionsValuesFilesAndPorts)
{
    using Words = std::vector<std::string>;
    const struct {
        Words line;
        Words candidates;
    } cases[] = {
        {{"zolk_qex", "--sto"}, {"--storage"}},
        {{"zolk_qex", "--s"}, {"--save-log", "--sector-size", "--size", "--speed", "--storage"}},
        {{"zolk_qex-30230", "--bank", ""}, {"0", "1"}},
        {{"zolk_qex", "-m", "e"}, {"eflash"}},
        {{"zolk_qex", "--storage", ""}, {"eflash", "snor"}},
        {{"zolk_qex", "--sector-size", ""}, {"4096", "512"}},
        {{"zolk_qex", "--hsm", ""}, {"board", "hsm.bin", "zolk.rom"}},
        {{"zolk_qex", "-w", "z"}, {"zolk.rom"}},
        {{"zolk_qex", "--size", ""}, {}},
        {{"zolk_qex", "--port", "a"}, {"auto"}},
        {{"zolk_qex", "--li"}, {"--list-ports"}},
        {{"zolk_qex", "--report", ""}, {"board", "hsm.bin", "zolk.rom"}},
        {{"qex_sim", "--form", "=", ""}, {"general", "per-chip"}},
        {{"qex_sim", "--storage-dir", ""}, {"board"}},
        {{"qex_sim", "--nack-"}, {"--nack-chunk", "--nack-format"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Complete(c.line), c.candidates) << testing::PrintToString(c.line);
    }

    // A serial device that exists is offered for --port.
    PtyPair pty;
    const std::string device = pty.SlavePath();
    const Words ports = Complete({"zolk_qex", "--port", device.substr(0, device.size() - 1)});
    EXPECT_NE(std::find(ports.begin(), ports.end(), device), ports.end()) << testing::PrintToString(ports);
}
