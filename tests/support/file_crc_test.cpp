#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <vector>

#include "common/file_data.h"
#include "common/pattern.h"
#include "support/crc.h"
#include "support/zolk_file.h"
#include "support_fixture.h"

namespace {
std::vector<uint8_t> Pattern(size_t size)
{
    return LcgBytes(size, 0x12345678u);
}

uint32_t Crc(const std::vector<uint8_t>& data, size_t from, size_t count)
{
    return CalcCRC(data.data() + from, count, 0);
}
}  // namespace

TEST(CrcTest, CheckValuesAndChaining)
{
    const std::pair<std::string, uint32_t> cases[] = {
        {"123456789", 0x6EC2EDC4u},
        {"abc", 0x911614F3u},
        {std::string("\0\0abc", 5), 0x911614F3u},  // leading zero bytes leave 0 at 0
        {std::string(1000, '\0'), 0u},
        {"", 0u},
    };
    for (const auto& [text, crc] : cases) {
        EXPECT_EQ(CalcCRC(text.data(), text.size(), 0), crc) << text.size();
    }
    const uint8_t five[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(CalcCRC(five + 1, 4, CalcCRC(five, 1, 0)), CalcCRC(five, 5, 0));
    EXPECT_EQ(CalcCRC(five, 0, 0xDEADBEEFu), 0xDEADBEEFu);
}

using FileCrcTest = SupportDirTest;

TEST_F(FileCrcTest, WholeFileOverTheChunkBoundary)
{
    const auto data = Pattern(65537);
    WriteAll("big.bin", data);
    Capture();
    EXPECT_EQ(CalcCRCInFile("big.bin"), Crc(data, 0, data.size()));
    ZOLKFile file("big.bin", "rb");
    EXPECT_EQ(CalcCRCInFile(&file, 0), Crc(data, 0, data.size()));
    // Chunks of exactly 65536 and 1 bytes: no read comes up short.
    EXPECT_EQ(Captured(), "");
}

TEST_F(FileCrcTest, WindowsOfAFile)
{
    const auto data = Pattern(1000);
    WriteAll("f.bin", data);
    struct Case {
        uint64_t offset;
        uint64_t size;
        uint32_t crc;
    };
    const Case cases[] = {
        {100, 0, Crc(data, 100, 900)},  // size 0: to the end
        {100, 50, Crc(data, 100, 50)},
        {0, 1000, Crc(data, 0, 1000)},
        {999, 0, Crc(data, 999, 1)},
        {1000, 0, 0},       // at the end: nothing to read
        {5000, 0, 0},       // beyond the end: no wrap to a huge count
    };
    ZOLKFile file("f.bin", "rb");
    for (const Case& c : cases) {
        Capture();
        EXPECT_EQ(CalcCRCInFile(&file, c.offset, c.size), c.crc) << c.offset << "+" << c.size;
        EXPECT_EQ(Captured(), "") << c.offset << "+" << c.size;
    }
    EXPECT_EQ(CalcCRCInFile(&file, 10), Crc(data, 0, 10));
}

TEST_F(FileCrcTest, ShortReadCountsTheMissingBytesAsZeros)
{
    const auto data = Pattern(1000);
    WriteAll("f.bin", data);
    ZOLKFile file("f.bin", "rb");
    Capture();
    std::vector<uint8_t> expected(data.begin() + 900, data.end());
    expected.resize(200, 0);
    EXPECT_EQ(CalcCRCInFile(&file, 900, 200), CalcCRC(expected.data(), expected.size(), 0));
    EXPECT_NE(Captured().find("Failed to read file - readSize : 100, requestSize : 200\n"), std::string::npos);
}

TEST_F(FileCrcTest, MissingEmptyAndNullGiveZero)
{
    WriteAll("empty.bin", {});
    Capture();
    EXPECT_EQ(CalcCRCInFile("empty.bin"), 0u);
    EXPECT_EQ(Captured(), "");

    Capture();
    EXPECT_EQ(CalcCRCInFile("missing.bin"), 0u);
    std::string out = Captured();
    EXPECT_NE(out.find("Failed to open file - missing.bin\n"), std::string::npos);
    EXPECT_NE(out.find("File is not openned\n"), std::string::npos);

    // A file object that never opened, asked for bytes: no buffer to read.
    ZOLKFile closed;
    Capture();
    EXPECT_EQ(CalcCRCInFile(&closed, 0, 10), 0u);
    EXPECT_EQ(CountOf(Captured(), "File is not openned\n"), 2u);

    Capture();
    EXPECT_EQ(CalcCRCInFile(static_cast<const char*>(nullptr)), 0u);
    EXPECT_EQ(CalcCRCInFile(static_cast<ZOLKFile*>(nullptr), 4), 0u);
    out = Captured();
    EXPECT_NE(out.find("[CalcCRCInFile:"), std::string::npos);
    EXPECT_NE(out.find("] [ERROR] pFileName == NULL\n"), std::string::npos);
    EXPECT_NE(out.find("] [ERROR] pFile == NULL\n"), std::string::npos);

    ZOLKLogger::GetInstance()->SetDebug(true);
    Capture();
    CalcCRCInFile("empty.bin");
    EXPECT_EQ(CountOf(Captured(), "Start to calcuate CRC\n"), 2u);
}

using ZOLKFileTest = SupportDirTest;

TEST_F(ZOLKFileTest, MissingFileRefusesEverything)
{
    Capture();
    {
        ZOLKFile file;
        EXPECT_FALSE(file.Open("missing.bin", "rb"));
        EXPECT_EQ(file.GetSize(), 0u);
        uint64_t count = 77;
        EXPECT_EQ(file.Read(10, &count), nullptr);
        EXPECT_EQ(count, 0u);
        EXPECT_FALSE(file.Write("x", 1));
        EXPECT_FALSE(file.SetOffset(0, SEEK_SET));
        EXPECT_FALSE(file.Open(nullptr, "rb"));
    }
    const std::string out = Captured();
    EXPECT_TRUE(out.rfind("[ZOLKFile::Open:", 0) == 0) << out;
    EXPECT_EQ(CountOf(out, "] Failed to open file - missing.bin\n"), 1u);
    EXPECT_EQ(CountOf(out, "] File is not openned\n"), 3u);
    EXPECT_EQ(CountOf(out, "] pFileName == NULL\n"), 1u);
    EXPECT_EQ(CountOf(out, "\n"), 5u) << "the release of a file that never opened prints nothing";

    Capture();
    { ZOLKFile dir(".", "rb"); EXPECT_FALSE(dir.IsOpen()); }
    EXPECT_NE(Captured().find("Failed to open file - .\n"), std::string::npos);
}

TEST_F(ZOLKFileTest, SizesByMode)
{
    WriteAll("k.bin", Pattern(1000));
    EXPECT_EQ(ZOLKFile("k.bin", "rb").GetSize(), 1000u);
    EXPECT_EQ(ZOLKFile("k.bin", "ab").GetSize(), 1000u);
    EXPECT_EQ(ZOLKFile("new.bin", "wb").GetSize(), 0u);

    // Beyond 4 GiB, sparse so it costs no disk.
    std::filesystem::resize_file("new.bin", 5ull << 30);
    ZOLKFile big("new.bin", "rb");
    EXPECT_EQ(big.GetSize(), 5ull << 30);
    EXPECT_TRUE(big.SetOffset(static_cast<int64_t>(5ull << 30) - 4, SEEK_SET));
    uint64_t count = 0;
    ASSERT_NE(big.Read(4, &count), nullptr);
    EXPECT_EQ(count, 4u);
}

TEST_F(ZOLKFileTest, ReadsIntoItsBuffer)
{
    const auto data = Pattern(1000);
    WriteAll("k.bin", data);
    ZOLKFile file;
    ASSERT_TRUE(file.Open("k.bin", "rb", 65536));

    Capture();
    uint64_t count = 0;
    uint8_t* p = file.Read(0, &count);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Captured(), "");

    Capture();
    p = file.Read(65536, &count);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(count, 1000u);
    EXPECT_EQ(std::vector<uint8_t>(p, p + 1000), data);
    EXPECT_TRUE(std::regex_match(Captured(), std::regex(R"(\[ZOLKFile::Read:\d+\] Failed to read file - readSize : 1000, requestSize : 65536\n)")));

    // More than the buffer holds is refused, not written past its end.
    Capture();
    EXPECT_EQ(file.Read(65537, &count), nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(Captured().find("] Read size is larger than buffer"), std::string::npos);

    // A second Open fails and leaves the first file open and readable.
    WriteAll("other.bin", Pattern(10));
    Capture();
    EXPECT_FALSE(file.Open("other.bin", "rb"));
    EXPECT_NE(Captured().find("Failed to open file - other.bin\n"), std::string::npos);
    EXPECT_TRUE(file.SetOffset(-10, SEEK_END));
    p = file.Read(10, &count);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(p, p + 10), std::vector<uint8_t>(data.end() - 10, data.end()));
}

TEST_F(ZOLKFileTest, WriteAppendAndFlush)
{
    {
        ZOLKFile file("out.bin", "wb");
        EXPECT_TRUE(file.Write("abc", 3));
        EXPECT_TRUE(file.Flush());
    }
    {
        ZOLKFile file("out.bin", "ab");
        EXPECT_TRUE(file.Write("de", 2));
    }
    EXPECT_EQ(ReadText("out.bin"), "abcde");
}

// A full disk shows when the buffered bytes reach the file: at a large write
// or at the flush.
TEST_F(ZOLKFileTest, FullDeviceFailsAtWriteOrFlush)
{
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    Capture();
    {
        ZOLKFile file("/dev/full", "wb");
        ASSERT_TRUE(file.IsOpen());
        EXPECT_TRUE(file.Write("abc", 3));
        EXPECT_FALSE(file.Flush());
    }
    std::string out = Captured();
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(^\[ZOLKFile::Flush:\d+\] Failed to flush file - /dev/full\n)"))) << out;

    const auto data = Pattern(1 << 20);
    Capture();
    {
        ZOLKFile file("/dev/full", "wb");
        EXPECT_FALSE(file.Write(data.data(), data.size()));
    }
    out = Captured();
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\[ZOLKFile::Write:\d+\] Failed to write file - writeSize : \d+, requestSize : 1048576\n)"))) << out;
}
