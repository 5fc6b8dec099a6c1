// Checks of the run's files over real temporary files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/output_capture.h"
#include "common/temp_dir.h"
#include "support/zolk_args.h"
#include "target/file_check.h"

namespace fs = std::filesystem;

namespace {

class FileChecks : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.Made());
        Make("img.bin", 100, 'I');
        Make("empty.bin", 0, 0);
        Make("plain", 10, 'P');  // a regular file used as if it were a directory
        Make("existing.bin", 33, 'E');
        Make("hsm_ok.bin", kHsmImageOffset + kHsmImageSize, 'H');
        Make("hsm_short.bin", kHsmImageOffset + kHsmImageSize - 1, 'h');
        Make("zolk.bin", 40, 'Z');
        fs::create_directory(m_dir / "adir");
        // Links need privileges on some systems: the cases that use one are
        // skipped there.
        std::error_code ec;
        fs::create_symlink(m_dir / "img.bin", m_dir / "link.bin", ec);
        m_haveLink = !ec;
    }

    // A case can run here: its link exists, and its device files too.
    bool Runnable(const std::string& path) const
    {
        if (path.find("link.bin") != std::string::npos) {
            return m_haveLink;
        }
        if (path.rfind("/dev/", 0) == 0) {
            std::error_code ec;
            return fs::exists(path, ec);
        }
        return true;
    }

    void Make(const std::string& name, size_t size, char fill)
    {
        std::ofstream out(m_dir / name, std::ios::binary);
        out << std::string(size, fill);
    }

    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    // Keeps the strings alive for the char* fields of the record.
    char* Keep(const std::string& text)
    {
        m_keep.push_back(std::make_unique<std::string>(text));
        return m_keep.back()->data();
    }

    ZOLKArgs Args(const char* write, const char* dump, const char* hsm = nullptr, const char* zolk = nullptr)
    {
        ZOLKArgs args;
        args.pWriteFileName = write != nullptr ? Keep(write) : nullptr;
        args.pReadFileName = dump != nullptr ? Keep(dump) : nullptr;
        args.pHsmFileName = hsm != nullptr ? Keep(hsm) : nullptr;
        args.pZolkFileName = zolk != nullptr ? Keep(zolk) : nullptr;
        return args;
    }

    TempDir m_dir{"zolk_filecheck"};
    bool m_haveLink = false;
    std::vector<std::unique_ptr<std::string>> m_keep;
};

TEST_F(FileChecks, RunFiles)
{
    struct Case {
        const char* what;
        std::string write;  // empty: no -w
        std::string dump;   // empty: no -r
        std::string hsm;
        std::string zolk;
        bool ok;
        std::string message;  // must appear in the output
    };
    const std::string img = Path("img.bin");
    const Case cases[] = {
        {"nothing to check", "", "", "", "", true, ""},
        {"write file fine", img, "", "", "", true, ""},
        {"write file missing", Path("nope.bin"), "", "", "", false,
         "Write file " + Path("nope.bin") + " cannot be opened - No such file or directory\n"},
        {"write file a directory", Path("adir"), "", "", "", false, "Write file " + Path("adir") + " is a directory"},
        {"write file empty", Path("empty.bin"), "", "", "", false, "Write file " + Path("empty.bin") + " is empty"},
        {"write file /dev/null", "/dev/null", "", "", "", false, "is not a regular file"},
        {"new dump file", img, Path("out.bin"), "", "", true, ""},
        {"existing dump file", img, Path("existing.bin"), "", "", true, ""},
        {"dump into /dev/full", img, "/dev/full", "", "", true, ""},
        // The reason is the system's own text, which differs between systems.
        {"dump under a missing directory", img, Path("nodir/out.bin"), "", "", false,
         "Dump file " + Path("nodir/out.bin") + " cannot be created - "},
        {"dump under a regular file", img, Path("plain/out.bin"), "", "", false,
         "Dump file " + Path("plain/out.bin") + " cannot be created - "},
        {"dump is a directory", img, Path("adir"), "", "", false, "Dump file " + Path("adir") + " is a directory"},
        {"dump is the write file", img, img, "", "", false, "is the same file as the write file " + img},
        {"dump is the write file by another path", img, Path("adir/../img.bin"), "", "", false,
         "same file as the write file"},
        {"dump is a link to the write file", img, Path("link.bin"), "", "", false, "same file as the write file"},
        {"dump is the HSM file", img, Path("hsm_ok.bin"), Path("hsm_ok.bin"), "", false,
         "same file as the HSM file"},
        {"dump is the ZOLK file by another path", "", Path("zolk.bin"), "", Path("adir/../zolk.bin"), false,
         "same file as the ZOLK file"},
        {"dump differs from all three", img, Path("out.bin"), Path("hsm_ok.bin"), Path("zolk.bin"), true, ""},
        {"ZOLK file missing", "", "", "", Path("fw.bin"), false,
         "ZOLK firmware file " + Path("fw.bin") + " cannot be opened - No such file or directory\n"},
        {"ZOLK file empty", "", "", "", Path("empty.bin"), false,
         "ZOLK firmware file " + Path("empty.bin") + " is empty\n"},
        {"HSM file one byte short", "", "", Path("hsm_short.bin"), "", false,
         "HSM file " + Path("hsm_short.bin") + " holds 73727 bytes, less than the 73728 bytes needed\n"},
        {"HSM file a directory", "", "", Path("adir"), "", false, "HSM file " + Path("adir") + " is a directory"},
    };
    for (const Case& c : cases) {
        if (!Runnable(c.write) || !Runnable(c.dump)) {
            continue;
        }
        ZOLKArgs args = Args(c.write.empty() ? nullptr : c.write.c_str(), c.dump.empty() ? nullptr : c.dump.c_str(),
                             c.hsm.empty() ? nullptr : c.hsm.c_str(), c.zolk.empty() ? nullptr : c.zolk.c_str());
        OutputCapture cap;
        const bool ok = CheckRunFiles(&args);
        const std::string printed = cap.Out();
        EXPECT_EQ(ok, c.ok) << c.what << ": " << printed;
        if (c.message.empty()) {
            EXPECT_EQ(printed, "") << c.what;
        } else {
            EXPECT_NE(printed.find("[CheckRunFiles:"), std::string::npos) << c.what;
            EXPECT_NE(printed.find(c.message), std::string::npos) << c.what << ": " << printed;
        }
        // Checking leaves no trace: nothing created, truncated or removed.
        EXPECT_EQ(std::distance(fs::directory_iterator(m_dir.Path()), fs::directory_iterator()),
                  m_haveLink ? 9 : 8)
            << c.what;
        EXPECT_EQ(fs::file_size(Path("existing.bin")), 33u) << c.what;
        EXPECT_EQ(fs::file_size(img), 100u) << c.what;
        EXPECT_FALSE(fs::exists(Path("out.bin"))) << c.what;
        EXPECT_FALSE(fs::exists(Path("nodir"))) << c.what;
        EXPECT_FALSE(fs::exists(Path("fw.bin"))) << c.what;
    }
}

TEST_F(FileChecks, ReportFile)
{
    struct Case {
        const char* what;
        std::string report;
        bool ok;
        std::string message;  // after "Report file <path> "
    };
    const std::string img = Path("img.bin");
    const std::string dump = Path("out.bin");
    const Case cases[] = {
        {"new file", Path("run.json"), true, ""},
        {"existing file", Path("existing.bin"), true, ""},
        {"a device", "/dev/null", true, ""},
        {"under a missing directory", Path("nodir/run.json"), false, "cannot be created - "},
        {"a directory", Path("adir"), false, "is a directory, not a file"},
        {"the dump file", dump, false, "is the same file as the dump file " + dump + " - the report would overwrite it"},
        {"the write file by another path", Path("adir/../img.bin"), false, "is the same file as the write file"},
        {"the HSM file", Path("hsm_ok.bin"), false, "is the same file as the HSM file"},
    };
    for (const Case& c : cases) {
        if (!Runnable(c.report)) {
            continue;
        }
        ZOLKArgs args = Args(img.c_str(), dump.c_str(), Path("hsm_ok.bin").c_str(), Path("zolk.bin").c_str());
        args.pReportFileName = Keep(c.report);
        OutputCapture cap;
        const bool ok = CheckReportFile(&args);
        const std::string printed = cap.Out();
        EXPECT_EQ(ok, c.ok) << c.what << ": " << printed;
        if (c.ok) {
            EXPECT_EQ(printed, "") << c.what;
        } else {
            // The user learns that the refusal leaves the run without a report.
            EXPECT_NE(printed.find("[CheckRunFiles:"), std::string::npos) << c.what;
            EXPECT_NE(printed.find("Report file " + c.report + " " + c.message), std::string::npos)
                << c.what << ": " << printed;
            EXPECT_NE(printed.find(" - the run is refused, and no report is written\n"), std::string::npos) << printed;
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(m_dir.Path()), fs::directory_iterator()), m_haveLink ? 9 : 8)
            << c.what;
        EXPECT_EQ(fs::file_size(Path("existing.bin")), 33u) << c.what;
    }
}

TEST_F(FileChecks, MandatoryFiles)
{
    struct Case {
        const char* what;
        std::string write;
        std::string hsm;
        std::string zolk;
        bool ok;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {"HSM file and ZOLK file", "", Path("hsm_ok.bin"), Path("zolk.bin"), true, {}},
        {"HSM image from the write file", Path("hsm_ok.bin"), "", Path("zolk.bin"), true, {}},
        {"missing ZOLK file", "", Path("hsm_ok.bin"), Path("nope.bin"), false,
         {"[CheckFile:", "Failed to open file - " + Path("nope.bin"),
          "[CheckMandatoryFilesQEX:", "Failed to check file - " + Path("nope.bin")}},
        {"ZOLK file is a directory", "", Path("hsm_ok.bin"), Path("adir"), false,
         {"Failed to check file - " + Path("adir")}},
        {"no HSM source at all", "", "", Path("zolk.bin"), false,
         {"No HSM image source given (--hsm [qex rom], or a write file that holds the HSM image) - the board "
          "needs a boot load\n"}},
        {"no ZOLK file given", "", Path("hsm_ok.bin"), "", false,
         {"No ZOLK firmware file given (--zolk [zolk rom]) - the board needs a boot load\n"}},
        {"missing HSM file", "", Path("nope.bin"), Path("zolk.bin"), false,
         {"Failed to check file - " + Path("nope.bin")}},
        {"short HSM file", "", Path("hsm_short.bin"), Path("zolk.bin"), false,
         {"HSM image source " + Path("hsm_short.bin") + " holds 73727 bytes"}},
        {"short write file as HSM source", Path("img.bin"), "", Path("zolk.bin"), false,
         {"HSM image source " + Path("img.bin") + " holds 100 bytes"}},
        {"HSM file wins over the write file", Path("img.bin"), Path("hsm_ok.bin"), Path("zolk.bin"), true, {}},
        {"short HSM file beside a long write file", Path("hsm_ok.bin"), Path("hsm_short.bin"), Path("zolk.bin"),
         false, {"HSM image source " + Path("hsm_short.bin")}},
    };
    for (const Case& c : cases) {
        ZOLKArgs args = Args(c.write.empty() ? nullptr : c.write.c_str(), nullptr,
                             c.hsm.empty() ? nullptr : c.hsm.c_str(), c.zolk.empty() ? nullptr : c.zolk.c_str());
        OutputCapture cap;
        const bool ok = CheckMandatoryFilesQEX(&args);
        const std::string printed = cap.Out();
        EXPECT_EQ(ok, c.ok) << c.what << ": " << printed;
        EXPECT_EQ(printed.find("(null)"), std::string::npos) << c.what << ": " << printed;
        for (const std::string& message : c.messages) {
            EXPECT_NE(printed.find(message), std::string::npos) << c.what << ": " << printed;
        }
        if (c.ok) {
            EXPECT_EQ(printed, "") << c.what;
        }
    }
}

TEST_F(FileChecks, CheckFileSizes)
{
    struct Case {
        std::string path;
        uint64_t validSize;
        bool ok;
        std::string message;
    };
    const Case cases[] = {
        {Path("empty.bin"), 0, true, ""},
        {Path("img.bin"), 0, true, ""},
        {Path("img.bin"), 100, true, ""},
        {Path("img.bin"), 99, false, "valid size(99) and actual file size100 are different\n"},
        {Path("nope.bin"), 0, false, "Failed to open file - " + Path("nope.bin") + "\n"},
    };
    for (const Case& c : cases) {
        OutputCapture cap;
        const bool ok = CheckFile(c.path.c_str(), c.validSize);
        const std::string printed = cap.Out();
        EXPECT_EQ(ok, c.ok) << c.path << " " << c.validSize;
        if (c.message.empty()) {
            EXPECT_EQ(printed, "");
        } else {
            EXPECT_NE(printed.find("[CheckFile:"), std::string::npos) << printed;
            EXPECT_NE(printed.find(c.message), std::string::npos) << printed;
        }
    }
}

}  // namespace
