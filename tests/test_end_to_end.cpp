// Runs of the built binary: what it prints, its exit status and the files it saves.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "compressors.h"
#include "test_support.h"

namespace {

std::string hex(std::uint64_t value, const char* format = "%llx") {
    char text[32];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(value));
    return text;
}

std::string successLine(const char* format, std::size_t size, std::uint64_t offset) {
    return std::string(format) + ": Succeeded uncompressing " + std::to_string(size) + " bytes at: " +
           std::to_string(offset) + " (0x" + hex(offset) + ")\n";
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

bool hasLine(const std::string& output, const std::string& line) {
    return ("\n" + output).find("\n" + line) != std::string::npos;
}

std::size_t countLines(const std::string& output, const std::string& fragment) {
    std::size_t count = 0;
    for (const auto& line : lines(output)) count += line.find(fragment) != std::string::npos;
    return count;
}

// One input holding an LZO, an NRV2B and an NRV2D stream between runs of junk.
class ScanTest : public testing::Test {
protected:
    ScanTest() {
        const Bytes junk = randomBytes(100, 11);
        Bytes input = junk;
        for (std::size_t i = 0; i < 3; ++i) {
            plains.push_back(textBytes(3000 + 500 * i, static_cast<std::uint32_t>(i)));
            offsets.push_back(input.size());
            const Bytes packed = (i == 0 ? lzoCompress : i == 1 ? ucl2bCompress : ucl2dCompress)(plains[i]);
            input = concat({input, packed, junk});
        }
        writeFile(dir.file("in.bin"), input);
    }
    std::string expectedLine(std::size_t i) const { return successLine(names[i], plains[i].size(), offsets[i]); }
    std::string savedFile(std::size_t i, const std::string& prefix = "!Out") const {
        return dir.file(prefix + names[i] + "/" + hex(offsets[i], "%08llX"));
    }

    TempDir dir;
    std::vector<Bytes> plains;
    std::vector<std::uint64_t> offsets;
    const char* names[3] = {"LZO", "UCL2B", "UCL2D"};
    // LZO accepts many spurious streams in junk and inside other streams (all legitimate finds),
    // so the checks look for the real streams' lines rather than the whole output. -skip keeps
    // most of the short spurious ones out.
    const std::vector<std::string> libraryFormats{"-lzo", "-ucl2b", "-ucl2d", "-skip1000"};
};

std::vector<std::string> with(std::vector<std::string> args, std::initializer_list<std::string> more) {
    args.insert(args.end(), more);
    return args;
}

TEST_F(ScanTest, EveryStreamIsSavedByteForByteUnderItsOffset) {
    const RunResult run = runKorvel(with(libraryFormats, {"in.bin"}), dir.path());
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardError, "");
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(hasLine(run.standardOutput, expectedLine(i))) << run.standardOutput;
        EXPECT_EQ(readFile(savedFile(i)), plains[i]) << names[i];
    }
    // Every line printed stands for a file saved under the offset it names.
    for (const auto& line : lines(run.standardOutput)) {
        const auto colon = line.find(':');
        const auto at = line.find("(0x");
        ASSERT_NE(at, std::string::npos) << line;
        const std::uint64_t offset = std::stoull(line.substr(at + 3), nullptr, 16);
        const std::uint64_t size = std::stoull(line.substr(line.find("uncompressing ") + 14));
        EXPECT_EQ(std::filesystem::file_size(dir.file("!Out" + line.substr(0, colon) + "/" + hex(offset, "%08llX"))),
                  size);
    }
}

TEST_F(ScanTest, SecondRunOverwritesTheSameFiles) {
    runKorvel(with(libraryFormats, {"in.bin"}), dir.path());
    writeFile(savedFile(0), {1, 2, 3});
    const RunResult run = runKorvel(with(libraryFormats, {"in.bin"}), dir.path());
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(readFile(savedFile(0)), plains[0]);
}

TEST_F(ScanTest, OptionsShapeTheRun) {
    const struct {
        std::vector<std::string> extra;
        std::vector<std::size_t> saved;  // which of the three real streams are saved
        const char* absentFormat;        // a format that must print nothing
    } cases[] = {
        {{"-stop-1"}, {0, 1, 2}, ""},                             // never reaches 0
        {{"-offs" + hex(offsets[0] + 1)}, {1, 2}, ""},            // starts past the LZO stream
        {{"-ucl2b-"}, {0, 2}, "UCL2B"},                           // switched off after being selected
        {{"-lzo-", "-skip3500"}, {2}, "LZO"},                      // only the 4000-byte stream is larger
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extra[0]);
        std::vector<std::string> args = libraryFormats;
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        args.push_back("in.bin");
        const RunResult run = runKorvel(args, dir.path());
        EXPECT_EQ(run.exitStatus, 0);
        for (std::size_t i = 0; i < 3; ++i) {
            const bool saved = std::count(c.saved.begin(), c.saved.end(), i) == 1;
            EXPECT_EQ(hasLine(run.standardOutput, expectedLine(i)), saved) << names[i];
            EXPECT_EQ(fileExists(savedFile(i)), saved) << names[i];
            std::filesystem::remove_all(dir.file(std::string("!Out") + names[i]));
        }
        if (*c.absentFormat) {
            EXPECT_EQ(countLines(run.standardOutput, c.absentFormat), 0u);
        }
    }
}

TEST_F(ScanTest, StopLimitEndsTheRunAfterThatManyFiles) {
    for (int limit : {1, 2}) {
        const RunResult run = runKorvel(with(libraryFormats, {"-stop" + std::to_string(limit), "in.bin"}), dir.path());
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(countLines(run.standardOutput, "Succeeded"), static_cast<std::size_t>(limit));
    }
}

TEST_F(ScanTest, StartBeyondTheEndTriesNothing) {
    const RunResult run = runKorvel(with(libraryFormats, {"-offsFFFFFFFF", "in.bin"}), dir.path());
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardOutput, "");
}

TEST_F(ScanTest, PrefixIsJoinedToTheFormatNameWithoutSeparator) {
    std::filesystem::create_directory(dir.file("out"));
    const RunResult run = runKorvel(with(libraryFormats, {"-outout/x_", "in.bin"}), dir.path());
    EXPECT_EQ(run.exitStatus, 0);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(readFile(savedFile(i, "out/x_")), plains[i]);
    EXPECT_FALSE(fileExists(dir.file("!OutLZO")));
}

TEST_F(ScanTest, OnlyTheLastInputNameIsScanned) {
    writeFile(dir.file("other.bin"), lzoCompress(textBytes(2000, 99)));
    const RunResult run = runKorvel(with(libraryFormats, {"in.bin", "other.bin"}), dir.path());
    EXPECT_TRUE(hasLine(run.standardOutput, successLine("LZO", 2000, 0)));
    for (std::size_t i = 0; i < 3; ++i) EXPECT_FALSE(hasLine(run.standardOutput, expectedLine(i)));
}

TEST_F(ScanTest, WriteFailuresAreReportedAndTheScanGoesOn) {
    const RunResult run = runKorvel(with(libraryFormats, {"-Outmissing/", "-stop2", "in.bin"}), dir.path());
    EXPECT_EQ(run.exitStatus, 1);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(hasLine(run.standardOutput, std::string(names[i]) + ": Failed! Cannot write missing/" + names[i] +
                                                    "/" + hex(offsets[i], "%08llX") + "\n"));
    // Every find failed, none counted against -stop2, so the scan went on to the end.
    const auto printed = lines(run.standardOutput);
    EXPECT_EQ(countLines(run.standardOutput, ": Failed! Cannot write missing/"), printed.size());
    EXPECT_GT(printed.size(), 2u);
}

TEST(BufferTest, StreamFillingTheBufferIsReportedAsExhausted) {
    TempDir dir;
    const Bytes plain = textBytes(1 << 20, 5);
    writeFile(dir.file("in.bin"), concat({Bytes{0xFF}, lzoCompress(plain)}));
    RunResult run = runKorvel({"-lzo", "-mem1", "-skip100000", "-stop1", "in.bin"}, dir.path());
    EXPECT_TRUE(hasLine(run.standardOutput, "LZO: Failed! Output buffer 1 Mb exhausted at: 1 (0x1)\n"));
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_FALSE(fileExists(dir.file("!OutLZO/00000001")));
    run = runKorvel({"-lzo", "-mem2", "-skip100000", "-stop1", "in.bin"}, dir.path());
    EXPECT_EQ(run.standardOutput, successLine("LZO", plain.size(), 1));
    EXPECT_EQ(readFile(dir.file("!OutLZO/00000001")), plain);
    run = runKorvel({"-mem0", "in.bin"}, dir.path());  // a zero-size buffer saves nothing
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(run.exitStatus, 0);
}

TEST(BufferTest, UntouchedBufferPagesCostNoMemory) {
    TempDir dir;
    writeFile(dir.file("in.bin"), randomBytes(64 * 1024, 1));
    const RunResult run = runKorvelMeasuringMemory({"-skip-1", "in.bin"}, dir.path());  // default 256 MiB buffer
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_LT(run.maxResidentKiB, 64 * 1024);
}

std::string usageText() {
    const RunResult run = runKorvel({}, ".");
    return run.standardOutput;
}

TEST(UsageTest, PrintedWithStatus255WhenNoExistingInputIsNamed) {
    TempDir dir;
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"-lzo", "-mem1"}, {"missing.bin"}, {"in.bin", ""}}) {
        const RunResult run = runKorvel(args, dir.path());
        EXPECT_EQ(run.exitStatus, 255);
        EXPECT_EQ(run.standardOutput, usageText());
        EXPECT_EQ(run.standardError, "");
    }
    const std::vector<std::string> usage = lines(usageText());
    ASSERT_EQ(usage.size(), 22u);
    EXPECT_NE(usage[0].find("KORVEL"), std::string::npos);
    EXPECT_NE(usage[0].find("v0.5"), std::string::npos);
    const std::vector<std::string> fixed(usage.begin() + 6, usage.end());
    EXPECT_EQ(fixed, (std::vector<std::string>{
                         "Usage: korvel [options] <filename>",
                         "",
                         "Options are:",
                         "  -deflate[-]  Deflate format",
                         "  -pkware[-]   PKWare Compression Library format",
                         "  -lzo[-]      LZO compression library format",
                         "  -ucl2b[-]    UCL nrv2b compression library format",
                         "  -ucl2d[-]    UCL nrv2d compression library format",
                         "  -Out<dir>    prefix for out directory (default: '!Out')",
                         "  -mem<size>   memory size in Mb for unpack buffer (default: 256)",
                         "  -skip<size>  don't create out files smaller than size in bytes (default: 0)",
                         "  -offs<hex>   start scanning from this offset in hex (default: 0)",
                         "  -stop<max>   stop after max files unpacked (default: 0 - unlimited)",
                         "Note: by default, all compression formats are used. Adding the '-' after",
                         "the compression format switch turns it off. If one or more compression formats",
                         "are specified without the '-' at the end, they will be the only ones used.",
                     }));
}

TEST(InputTest, EmptyFileScansNothingAndUnreadableInputFails) {
    TempDir dir;
    writeFile(dir.file("empty.bin"), {});
    RunResult run = runKorvel({"empty.bin"}, dir.path());
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardOutput, "");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (const char* name : {".", "fifo"}) {
        run = runKorvel({name}, dir.path());  // must not block on the FIFO
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(run.standardOutput, std::string("Failed! Cannot open ") + name +
                                          ": it must be a readable, regular file\n");
    }
}

TEST(InputTest, FileShrinkingUnderTheScanIsReportedAndSavedFilesStay) {
    TempDir dir;
    const Bytes plain = textBytes(3000, 4);
    writeFile(dir.file("in.bin"), concat({lzoCompress(plain), randomBytes(48 << 20, 9)}));
    KorvelProcess process({"-skip1000", "in.bin"}, dir.path());
    const std::string saved = dir.file("!OutLZO/00000000");
    for (int wait = 0; wait < 2000 && !fileExists(saved); ++wait) usleep(5000);
    ASSERT_TRUE(fileExists(saved));
    ASSERT_EQ(truncate(dir.file("in.bin").c_str(), 4096), 0);
    const RunResult run = process.wait();
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(hasLine(run.standardOutput, successLine("LZO", plain.size(), 0)));
    const auto printed = lines(run.standardOutput);
    ASSERT_FALSE(printed.empty());
    EXPECT_EQ(printed.back().rfind("Failed! Input changed while scanning at: ", 0), 0u) << printed.back();
    EXPECT_EQ(readFile(saved), plain);
}

// A stream past 4 GiB, reached with -offs in a sparse file so that the test stays fast.
TEST(LargeInputTest, StreamPast4GiBIsFoundAndNamedByItsFullOffset) {
    TempDir dir;
    const std::uint64_t streamOffset = 0x100000010;
    const Bytes plain = textBytes(3000, 21);
    const Bytes packed = lzoCompress(plain);
    const int fd = open(dir.file("big.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const bool written = pwrite(fd, packed.data(), packed.size(), static_cast<off_t>(streamOffset)) ==
                             static_cast<ssize_t>(packed.size()) &&
                         ftruncate(fd, static_cast<off_t>(streamOffset + packed.size() + 4096)) == 0;
    close(fd);
    if (!written) GTEST_SKIP() << "this file system cannot hold a sparse file past 4 GiB";
    const RunResult run = runKorvel({"-lzo", "-skip100", "-offs100000000", "big.bin"}, dir.path());
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardOutput, "LZO: Succeeded uncompressing 3000 bytes at: 4294967312 (0x100000010)\n");
    EXPECT_EQ(readFile(dir.file("!OutLZO/100000010")), plain);
}

TEST(SampleTest, BundledSampleHoldsAStreamOfEveryFormat) {
    TempDir dir;
    const RunResult run = runKorvel({"-skip32", KORVEL_SOURCE_DIR "/samples/sample.bin"}, dir.path());
    EXPECT_EQ(run.exitStatus, 0);
    const Bytes expected = readFile(KORVEL_SOURCE_DIR "/samples/sample-expected.txt");
    const auto expectedLines = lines(std::string(expected.begin(), expected.end()));
    ASSERT_EQ(expectedLines.size(), 5u);
    for (const auto& line : expectedLines) EXPECT_TRUE(hasLine(run.standardOutput, line + "\n")) << line;
}

}  // namespace
