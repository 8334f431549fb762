// Runs of the built binary: what it prints, its exit status and the files it saves.
#include <gtest/gtest.h>
#include <zlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "chain_patterns.h"
#include "compressors.h"
#include "dcl_writer.h"
#include "formats/format_table.h"
#include "output/map.h"
#include "picture_check.h"
#include "real_containers.h"
#include "test_support.h"
#include "zip_writer.h"

using namespace korvel;

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

// The files written stop before the one that would pass --max-output: those before it whole, a
// line for the one refused, status 1; the same for any number of threads.
TEST_F(ScanTest, OutputLimitStopsBeforeTheFileThatWouldPassIt) {
    const RunResult plain = runKorvel(with(libraryFormats, {"-OutPlain", "in.bin"}), dir.path());
    std::vector<std::string> found = lines(plain.standardOutput);
    ASSERT_GE(found.size(), 3u);
    std::vector<std::uint64_t> sizes;
    for (const std::string& line : found) sizes.push_back(std::stoull(line.substr(line.find("uncompressing ") + 14)));
    const std::uint64_t total = std::accumulate(sizes.begin(), sizes.end(), std::uint64_t{0});
    const struct {
        std::string limit;
        std::size_t written;  // files of the plain run that fit
    } cases[] = {
        {std::to_string(sizes[0] - 1), 0},
        {std::to_string(sizes[0]), 1},
        {std::to_string(sizes[0] + sizes[1] + sizes[2] - 1), 2},
        {std::to_string(total), sizes.size()},
        {"1G", sizes.size()},
    };
    for (const auto& c : cases) {
        for (const char* jobs : {"--jobs=1", "--jobs=3"}) {
            SCOPED_TRACE(c.limit + " " + jobs);
            std::filesystem::remove_all(dir.file("out"));
            std::filesystem::create_directory(dir.file("out"));
            const RunResult run = runKorvel(with(libraryFormats, {"-Outout/", "--max-output=" + c.limit, jobs, "in.bin"}),
                                            dir.path());
            const std::vector<std::string> printed = lines(run.standardOutput);
            const bool reached = c.written < sizes.size();
            EXPECT_EQ(run.exitStatus, reached ? 1 : 0);
            ASSERT_EQ(printed.size(), c.written + (reached ? 1 : 0)) << run.standardOutput;
            std::uint64_t bytes = 0;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.file("out")))
                if (entry.is_regular_file()) bytes += entry.file_size();
            EXPECT_EQ(bytes, std::accumulate(sizes.begin(), sizes.begin() + c.written, std::uint64_t{0}));
            for (std::size_t i = 0; i < c.written; ++i) EXPECT_EQ(printed[i], found[i]);
            if (reached) {
                const std::string& refused = found[c.written];
                EXPECT_EQ(printed.back().substr(0, printed.back().find(':')), refused.substr(0, refused.find(':')));
                EXPECT_NE(printed.back().find("Failed! Output limit of "), std::string::npos) << printed.back();
                EXPECT_NE(printed.back().find(refused.substr(refused.find(" at: ") + 5)), std::string::npos);
            }
        }
    }
    // Listing writes no file: the limit never applies.
    const RunResult listed = runKorvel(with(libraryFormats, {"--list", "--max-output=1", "in.bin"}), dir.path());
    EXPECT_EQ(listed.exitStatus, 0);
    EXPECT_EQ(listed.standardOutput, plain.standardOutput);
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
    // Title and credits, then the fixed lines around one line per format of the table.
    const std::vector<std::string> usage = lines(usageText());
    const std::size_t formats = formatTable().size();
    ASSERT_EQ(usage.size(), 17 + formats);
    EXPECT_NE(usage[0].find("KORVEL"), std::string::npos);
    EXPECT_NE(usage[0].find("v0.5"), std::string::npos);
    const auto at = usage.begin() + 6;
    EXPECT_EQ(std::vector<std::string>(at, at + 3),
              (std::vector<std::string>{"Usage: korvel [options] <filename>", "", "Options are:"}));
    for (std::size_t i = 0; i < formats; ++i) {
        const FormatDescriptor& format = formatTable()[i];
        const std::string line = at[3 + static_cast<long>(i)];
        EXPECT_EQ(line.rfind(std::string("  -") + format.switchName + "[-] ", 0), 0u) << line;
        EXPECT_EQ(line.substr(15), format.usage) << line;  // descriptions start after 15 characters
    }
    EXPECT_EQ(std::vector<std::string>(at + 3 + static_cast<long>(formats), usage.end()),
              (std::vector<std::string>{
                  "  -Out<dir>    prefix for out directory (default: '!Out')",
                  "  -mem<size>   memory size in Mb for unpack buffer (default: 256)",
                  "  -skip<size>  don't create out files smaller than size in bytes (default: 0)",
                  "  -offs<hex>   start scanning from this offset in hex (default: 0)",
                  "  -stop<max>   stop after max files unpacked (default: 0 - unlimited)",
                  "Note: by default, all compression formats are used. Adding the '-' after",
                  "the compression format switch turns it off. If one or more compression formats",
                  "are specified without the '-' at the end, they will be the only ones used.",
              }));
    // The lines of the five formats the usage text has always named, to the letter.
    for (const char* line : {"  -deflate[-]  Deflate format", "  -pkware[-]   PKWare Compression Library format",
                             "  -lzo[-]      LZO compression library format",
                             "  -ucl2b[-]    UCL nrv2b compression library format",
                             "  -ucl2d[-]    UCL nrv2d compression library format"})
        EXPECT_NE(std::find(usage.begin(), usage.end(), line), usage.end()) << line;
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

// -offs reads 64 bits only for inputs of 4 GiB and more; below, only its last eight digits
// count. The large input is a sparse file with a stream past 4 GiB, so that the test stays fast.
TEST(LargeInputTest, StartOffsetIs32BitBelowFourGiBAndFullAbove) {
    TempDir dir;
    const Bytes plain = textBytes(3000, 21);
    const Bytes packed = lzoCompress(plain);
    writeFile(dir.file("small.bin"), concat({Bytes(16, 0xEE), packed}));
    const std::uint64_t bigOffset = 0x100000010;
    const int fd = open(dir.file("big.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const bool written = pwrite(fd, packed.data(), packed.size(), static_cast<off_t>(bigOffset)) ==
                             static_cast<ssize_t>(packed.size()) &&
                         ftruncate(fd, static_cast<off_t>(bigOffset + packed.size() + 4096)) == 0;
    close(fd);
    const struct {
        const char* input;
        const char* offs;
        const char* output;
        const char* savedFile;
    } cases[] = {
        {"small.bin", "-offs100000010", "LZO: Succeeded uncompressing 3000 bytes at: 16 (0x10)\n", "!OutLZO/00000010"},
        {"small.bin", "-offsABC00000010", "LZO: Succeeded uncompressing 3000 bytes at: 16 (0x10)\n", "!OutLZO/00000010"},
        {"small.bin", "-offs100000011", "", nullptr},
        {"big.bin", "-offs100000000", "LZO: Succeeded uncompressing 3000 bytes at: 4294967312 (0x100000010)\n",
         "!OutLZO/100000010"},
        {"big.bin", "-offs100000010", "LZO: Succeeded uncompressing 3000 bytes at: 4294967312 (0x100000010)\n",
         "!OutLZO/100000010"},
        {"big.bin", "-offs100000011", "", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " " + c.offs);
        if (!written && std::string(c.input) == "big.bin") GTEST_SKIP() << "this file system cannot hold a sparse file past 4 GiB";
        std::filesystem::remove_all(dir.file("!OutLZO"));
        const RunResult run = runKorvel({"-lzo", "-skip100", c.offs, c.input}, dir.path());
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.standardOutput, c.output);
        if (c.savedFile) {
            EXPECT_EQ(readFile(dir.file(c.savedFile)), plain);
        }
    }
}

// --jobs changes nothing a run prints or writes. The input is large enough for several chunks.
TEST(JobsTest, OutputIsTheSameForAnyNumberOfThreads) {
    TempDir dir;
    Bytes input = randomBytes(40000, 61);
    for (std::uint32_t i = 0; i < 12; ++i) {
        const Bytes plain = textBytes(2000 + 700 * i, 62 + i);
        const Bytes packed = i % 4 == 0 ? deflateRaw(plain) : i % 4 == 1 ? lzoCompress(plain) : i % 4 == 2 ? ucl2bCompress(plain) : ucl2dCompress(plain);
        input = concat({input, packed, randomBytes(20000, 70 + i), Bytes(3000, 0)});
    }
    writeFile(dir.file("in.bin"), input);
    const std::vector<std::vector<std::string>> cases = {
        {"-skip100"}, {"-skip500", "-stop7"}, {"-offs9C40", "-lzo", "-deflate", "-skip200"}, {"-mem1", "-skip300"},
        {"-Outmissing/", "-stop3", "-skip1000"},  // write failures: status 1, never counted
        // Judged streams wait for their families: the same verdicts, files and order.
        {"--real", "-skip100"}, {"--real", "-stop2", "-offs9C40"}, {"--outer", "-skip300"}, {"--verdicts", "-skip2000", "-mem1"},
    };
    for (const auto& options : cases) {
        SCOPED_TRACE(options.front());
        std::vector<RunResult> runs;
        std::vector<std::string> trees;
        for (const char* jobs : {"--jobs=1", "--jobs=2", "--jobs=5"}) {
            TempDir work;
            std::filesystem::copy_file(dir.file("in.bin"), work.file("in.bin"));
            std::vector<std::string> args = options;
            args.insert(args.begin(), jobs);
            args.push_back("in.bin");
            runs.push_back(runKorvel(args, work.path()));
            std::string tree;
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(work.path()))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto& file : files) {
                const Bytes content = readFile(file);
                tree += file.lexically_relative(work.path()).string() + ":" + std::string(content.begin(), content.end()) + "\n";
            }
            trees.push_back(tree);
        }
        EXPECT_FALSE(runs[0].standardOutput.empty());
        for (std::size_t i = 1; i < runs.size(); ++i) {
            EXPECT_EQ(runs[i].exitStatus, runs[0].exitStatus);
            EXPECT_EQ(runs[i].standardOutput, runs[0].standardOutput);
            EXPECT_TRUE(trees[i] == trees[0]);
        }
    }
}

TEST(LongOptionsTest, HelpVersionAndUnknownOptions) {
    TempDir dir;
    RunResult run = runKorvel({"--help"}, dir.path());
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardOutput.rfind(usageText(), 0), 0u);
    EXPECT_NE(run.standardOutput.find("\nLong options:\n"), std::string::npos);
    for (const char* option :
         {"  --jobs=N ", "  --list ", "  --report=FILE ", "  --real ", "  --outer ", "  --verdicts ", "  --progress ",
          "  --max-output=SIZE ", "  --depth=N ", "  --depth-memory=SIZE "})
        EXPECT_NE(run.standardOutput.find(option), std::string::npos) << option;
    run = runKorvel({"--version"}, dir.path());
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardOutput, "korvel 0.5\n");
    run = runKorvel({"--frobnicate", "in.bin"}, dir.path());
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.standardOutput, "Unknown option: --frobnicate (see --help)\n");
}

#if !defined(__SANITIZE_ADDRESS__)
// A buffer the system will not grant is a failure of its own, not an unreadable input.
TEST(BufferTest, BufferThatCannotBeAllocatedIsReported) {
    TempDir dir;
    writeFile(dir.file("in.bin"), randomBytes(1000, 3));
    const RunResult run = runKorvel({"-mem2000", "in.bin"}, dir.path(), "ulimit -v 524288 && exec \"$0\" \"$@\"");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardOutput, "Failed! Cannot allocate the 2000 Mb output buffer\n");
}
#endif

// ---- finding the real streams: --list, --outer, --report, --progress -------------------------

// The files under `folder`, with their contents.
std::string folderContents(const std::string& folder) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::string contents;
    for (const auto& file : files) {
        contents += file.lexically_relative(folder).string() + "\n";
        if (std::filesystem::is_regular_file(file)) {
            const Bytes bytes = readFile(file);
            contents.append(bytes.begin(), bytes.end());
        }
    }
    return contents;
}

// The value of `field` in one report line, as written.
std::string field(const std::string& line, const std::string& name) {
    const std::size_t at = line.find("\"" + name + "\":");
    if (at == std::string::npos) return "(missing)";
    const std::size_t begin = at + name.size() + 3;
    return line.substr(begin, line.find_first_of(",}", begin) - begin);
}

// The report line of the stream found by `format` at `offset`.
std::string reportLine(const std::string& report, const std::string& format, std::uint64_t offset) {
    for (const auto& line : lines(report))
        if (field(line, "format") == "\"" + format + "\"" && field(line, "offset") == std::to_string(offset)) return line;
    return "";
}

// A zip archive of a few hundred deflated text members.
class ArchiveTest : public testing::Test {
protected:
    ArchiveTest() {
        std::vector<ZipMember> members;
        for (std::uint32_t i = 0; i < 300; ++i)
            members.push_back({"member" + std::to_string(i) + ".txt", textBytes(200 + i * 37 % 5000, 300 + i)});
        archive = writeZip(members);
        entries = readZipDirectory(archive);
        writeFile(dir.file("in.zip"), archive);
    }
    TempDir dir;
    Bytes archive;
    std::vector<ZipEntry> entries;
};

TEST_F(ArchiveTest, ListPrintsWhatARunPrintsAndWritesNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {"-deflate"}, {"-skip300", "-stop40"}, {"-lzo", "-mem1", "-skip100"}, {"-deflate", "--outer", "-stop9"}};
    for (const auto& options : cases) {
        SCOPED_TRACE(options.front() + " " + options.back());
        std::vector<std::string> args = options;
        args.push_back("in.zip");
        const std::string before = folderContents(dir.path());
        std::vector<std::string> listArgs = args;
        listArgs.insert(listArgs.begin(), "--list");
        const RunResult listed = runKorvel(listArgs, dir.path());
        EXPECT_EQ(folderContents(dir.path()), before);
        listArgs.insert(listArgs.begin(), "--jobs=3");
        EXPECT_EQ(runKorvel(listArgs, dir.path()).standardOutput, listed.standardOutput);

        TempDir work;
        std::filesystem::copy_file(dir.file("in.zip"), work.file("in.zip"));
        const RunResult run = runKorvel(args, work.path());
        EXPECT_EQ(listed.exitStatus, run.exitStatus);
        EXPECT_FALSE(run.standardOutput.empty());
        EXPECT_EQ(listed.standardOutput, run.standardOutput);
    }
}

// The report's lines without the summary's time, which is all that may differ between runs.
std::string reportWithoutTime(const std::string& path) {
    const Bytes bytes = readFile(path);
    std::string report(bytes.begin(), bytes.end());
    const std::size_t time = report.find("\"elapsed_seconds\":");
    return time == std::string::npos ? report : report.substr(0, time);
}

TEST_F(ArchiveTest, OuterFindsEachMemberOnceAndNothingInsideIt) {
    std::vector<std::string> reports;
    for (const char* jobs : {"--jobs=1", "--jobs=2"}) {
        const RunResult run = runKorvel({jobs, "-deflate", "--outer", "--list", "--report=r.jsonl", "in.zip"}, dir.path());
        EXPECT_EQ(run.exitStatus, 0);
        reports.push_back(reportWithoutTime(dir.file("r.jsonl")));
        std::size_t member = 0;
        for (const auto& line : lines(run.standardOutput)) {
            const std::uint64_t offset = std::stoull(line.substr(line.find(" at: ") + 5));
            while (member < entries.size() && entries[member].dataOffset + entries[member].compressedSize <= offset)
                ++member;
            if (member == entries.size() || offset < entries[member].dataOffset) continue;  // in a header
            ASSERT_EQ(offset, entries[member].dataOffset) << "a stream inside member " << member;
            EXPECT_EQ(line + "\n", successLine("Deflate", entries[member].size, offset));
            // Where the member's data ends, as the central directory says.
            EXPECT_EQ(field(reportLine(reports.back(), "Deflate", offset), "end"),
                      std::to_string(entries[member].dataOffset + entries[member].compressedSize));
            ++member;
        }
        EXPECT_EQ(member, entries.size());
    }
    EXPECT_EQ(reports[0], reports[1]);
}

TEST(ReportTest, EndsSizesStatusesAndNesting) {
    TempDir dir;
    const Bytes plain = textBytes(3000, 81);
    const Bytes lzo = lzoCompress(plain);
    const Bytes junk = randomBytes(64, 82);
    struct Placed {
        const char* format;
        Bytes packed;
        std::uint64_t offset = 0;
    };
    std::vector<Placed> streams = {{"Deflate", deflateRaw(plain)}, {"PKWare", dclCompress(plain)},
                                   {"LZO", lzo},                   {"UCL2B", ucl2bCompress(plain)},
                                   {"UCL2D", ucl2dCompress(plain)}};
    Bytes input = junk;
    for (auto& stream : streams) {
        stream.offset = input.size();
        input = concat({input, stream.packed, junk});
    }
    // A final stored deflate block that holds the LZO stream: the LZO stream is nested in it.
    const std::uint64_t storedOffset = input.size();
    const auto length = static_cast<std::uint16_t>(lzo.size());
    input = concat({input, Bytes{0x01, static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                                 static_cast<std::uint8_t>(~length), static_cast<std::uint8_t>(~length >> 8)},
                    lzo, junk});
    writeFile(dir.file("in.bin"), input);

    const struct {
        std::vector<std::string> options;
        const char* status;
        bool withFile;
    } cases[] = {
        {{"-skip1000"}, "saved", true},
        {{"-skip1000", "--list"}, "listed", false},
        {{"-skip1000", "-Outmissing/"}, "write_failed", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--report=found.jsonl", "in.bin"});
        const RunResult run = runKorvel(args, dir.path());
        const Bytes reportBytes = readFile(dir.file("found.jsonl"));
        const std::string report(reportBytes.begin(), reportBytes.end());
        const auto reportLines = lines(report);
        ASSERT_EQ(reportLines.size(), lines(run.standardOutput).size() + 1);  // one per line printed, and the summary
        EXPECT_EQ(reportLines.back().rfind("{\"summary\":{\"input_size\":" + std::to_string(input.size()) + ",", 0), 0u);
        for (const auto& stream : streams) {
            const std::string line = reportLine(report, stream.format, stream.offset);
            ASSERT_FALSE(line.empty()) << stream.format;
            EXPECT_EQ(field(line, "end"), std::to_string(stream.offset + stream.packed.size())) << line;
            EXPECT_EQ(field(line, "size"), std::to_string(plain.size())) << line;
            EXPECT_EQ(field(line, "status"), std::string("\"") + c.status + "\"") << line;
            const std::string file = std::string("\"!Out") + stream.format + "/" + hex(stream.offset, "%08llX") + "\"";
            EXPECT_EQ(field(line, "file"), c.withFile ? file : "null") << line;
        }
        const std::string stored = reportLine(report, "Deflate", storedOffset);
        EXPECT_EQ(field(stored, "end"), std::to_string(storedOffset + 5 + lzo.size())) << stored;
        const std::string nested = reportLine(report, "LZO", storedOffset + 5);
        EXPECT_EQ(field(nested, "nested_in"), std::to_string(storedOffset)) << nested;
        EXPECT_EQ(field(nested, "end"), std::to_string(storedOffset + 5 + lzo.size())) << nested;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos);
        args.insert(args.begin(), "--jobs=3");
        args.back() = "in.bin";
        const std::string once = reportWithoutTime(dir.file("found.jsonl"));
        runKorvel(args, dir.path());
        EXPECT_EQ(reportWithoutTime(dir.file("found.jsonl")), once);
    }
    // A buffer too small for the streams: exhausted, with no end, and no file.
    runKorvel({"-mem1", "-deflate", "--report=big.jsonl", "in.bin"}, dir.path());
    writeFile(dir.file("big.bin"), concat({junk, deflateRaw(textBytes(3 << 20, 83))}));
    runKorvel({"-mem1", "-deflate", "-skip100", "--report=big.jsonl", "big.bin"}, dir.path());
    const Bytes big = readFile(dir.file("big.jsonl"));
    const std::string exhausted = reportLine(std::string(big.begin(), big.end()), "Deflate", junk.size());
    EXPECT_EQ(field(exhausted, "status"), "\"exhausted\"") << exhausted;
    EXPECT_EQ(field(exhausted, "end"), "null") << exhausted;
    EXPECT_EQ(field(exhausted, "file"), "null") << exhausted;
}

// Streams inside streams, through the binary: a zip made by the zip tool, LZO-compressed,
// between junk, the whole deflated by zlib, between junk. The truth of every level comes from
// how the input was built and from the zip's own headers.
class DepthTest : public testing::Test {
protected:
    void SetUp() override {
        const RealContainerBuild build = buildRealContainer(ContainerKind::Zip9, dir.path());
        if (!build.container) GTEST_SKIP() << build.missingTool << " is not installed";
        zip = readFile(build.container->path);
        members = build.container->streams;
        const Bytes junk = randomBytes(700, 31);
        lzoAt = junk.size();
        lzoLevel = concat({junk, lzoCompress(zip), randomBytes(300, 32)});
        deflateAt = 900;
        writeFile(dir.file("in.bin"), concat({randomBytes(deflateAt, 33), deflateRaw(lzoLevel), randomBytes(400, 34)}));
    }
    // " in LZO at: ... in Deflate at: ...", as the lines of each level end.
    std::string inDeflate() const { return " in Deflate at: " + std::to_string(deflateAt) + " (0x" + hex(deflateAt) + ")"; }
    std::string inLzo() const { return " in LZO at: " + std::to_string(lzoAt) + " (0x" + hex(lzoAt) + ")" + inDeflate(); }
    std::string lzoFolder() const {
        return "!OutDeflate/" + hex(deflateAt, "%08llX") + ".d/!OutLZO/" + hex(lzoAt, "%08llX") + ".d/";
    }

    TempDir dir;
    Bytes zip, lzoLevel;
    std::vector<RealStream> members;
    std::uint64_t lzoAt = 0, deflateAt = 0;
};

std::string withoutNewline(std::string line) { return line.substr(0, line.size() - 1); }

// How many streams a printed stream lies inside: the " in <format> at: " its line ends with.
std::size_t levelsDown(const std::string& line) {
    std::size_t levels = 0;
    for (std::size_t at = line.find(" in "); at != line.npos; at = line.find(" in ", at + 1)) ++levels;
    return levels;
}

std::uint64_t sizeOf(const std::string& line) { return std::stoull(line.substr(line.find("uncompressing ") + 14)); }

TEST_F(DepthTest, StreamsInsideStreamsAreFoundAtEveryLevelWithTheirPaths) {
    ASSERT_GE(members.size(), 3u);
    std::string printed;
    for (const char* jobs : {"--jobs=1", "--jobs=3"}) {
        SCOPED_TRACE(jobs);
        std::filesystem::remove_all(dir.file("!OutDeflate"));
        std::filesystem::remove_all(dir.file("!OutLZO"));
        const RunResult run = runKorvel({"-skip200", "--depth=2", "--report=r.json", jobs, "in.bin"}, dir.path());
        EXPECT_EQ(run.exitStatus, 0) << run.standardOutput;
        if (printed.empty()) printed = run.standardOutput;
        EXPECT_EQ(run.standardOutput, printed);  // the same lines for any number of threads

        const std::vector<std::string> all = lines(run.standardOutput);
        const auto at = [&](const std::string& line) { return std::find(all.begin(), all.end(), line) - all.begin(); };
        const auto top = at(withoutNewline(successLine("Deflate", lzoLevel.size(), deflateAt)));
        const auto lzo = at(withoutNewline(successLine("LZO", zip.size(), lzoAt)) + inDeflate());
        ASSERT_LT(top, static_cast<std::ptrdiff_t>(all.size())) << run.standardOutput;
        ASSERT_LT(lzo, static_cast<std::ptrdiff_t>(all.size())) << run.standardOutput;
        EXPECT_LT(top, lzo);  // a parent's line comes before those of the streams inside it
        EXPECT_EQ(readFile(dir.file("!OutDeflate/" + hex(deflateAt, "%08llX"))), lzoLevel);
        EXPECT_EQ(readFile(dir.file("!OutDeflate/" + hex(deflateAt, "%08llX") + ".d/!OutLZO/" + hex(lzoAt, "%08llX"))),
                  zip);
        for (const RealStream& member : members) {
            const auto line = at(withoutNewline(successLine("Deflate", member.size, member.offset)) + inLzo());
            ASSERT_LT(line, static_cast<std::ptrdiff_t>(all.size())) << member.offset;
            EXPECT_GT(line, lzo);
            EXPECT_EQ(std::filesystem::file_size(dir.file(lzoFolder() + "!OutDeflate/" + hex(member.offset, "%08llX"))),
                      member.size);
        }
        // Two levels down and no further.
        for (const std::string& line : all) EXPECT_LE(levelsDown(line), 2u) << line;

        // The report: every entry with its path from the input and its parent's entry.
        const Bytes report = readFile(dir.file("r.json"));
        const std::vector<std::string> entries = lines(std::string(report.begin(), report.end()));
        ASSERT_EQ(entries.size(), all.size() + 1);
        const std::string lzoPath = "\"path\":[{\"format\":\"Deflate\",\"offset\":" + std::to_string(deflateAt) +
                                    "},{\"format\":\"LZO\",\"offset\":" + std::to_string(lzoAt) + "}]";
        EXPECT_NE(entries[top].find("\"path\":[],\"parent\":null"), std::string::npos) << entries[top];
        EXPECT_NE(entries[lzo].find("\"parent\":" + std::to_string(top)), std::string::npos) << entries[lzo];
        const auto member = at(withoutNewline(successLine("Deflate", members[0].size, members[0].offset)) + inLzo());
        EXPECT_NE(entries[member].find(lzoPath + ",\"parent\":" + std::to_string(lzo)), std::string::npos)
            << entries[member];
    }
    // Without --depth, nothing inside is scanned and the lines are those of before.
    const RunResult plain = runKorvel({"-skip200", "--list", "in.bin"}, dir.path());
    EXPECT_EQ(countLines(plain.standardOutput, " in "), 0u);
    EXPECT_EQ(plain.standardOutput.find("LZO: Succeeded uncompressing " + std::to_string(zip.size()) + " "), std::string::npos);
}

// Inputs made to multiply the work: each level's bytes deflated again, twelve times over zeros;
// and a stream of 500 copies of one stream that holds another. Equal bytes are scanned once, the
// depth bounds the rest, and --max-output counts the files of every level.
TEST_F(DepthTest, SelfSimilarAndRepeatedStreamsStayBounded) {
    Bytes nested(1 << 20, 0);
    for (int level = 0; level < 12; ++level) nested = deflateRaw(nested, 9);
    writeFile(dir.file("nested.bin"), nested);
    RunResult run = runKorvel({"-deflate", "--list", "--depth=16", "nested.bin"}, dir.path());
    EXPECT_EQ(run.exitStatus, 0);
    std::size_t deepest = 0;  // the zeros, eleven streams down
    for (const std::string& line : lines(run.standardOutput))
        if (line.rfind("Deflate: Succeeded uncompressing 1048576 bytes at: 0 (0x0)", 0) == 0)
            deepest = std::max(deepest, levelsDown(line));
    EXPECT_EQ(deepest, 11u) << run.standardOutput;

    const Bytes text = textBytes(3000, 35);
    const Bytes holder = concat({randomBytes(1500, 36), deflateRaw(text), randomBytes(600, 37)});
    const Bytes block = deflateRaw(holder);
    Bytes copies;
    for (int i = 0; i < 500; ++i) copies = concat({copies, block});
    writeFile(dir.file("copies.bin"), concat({randomBytes(100, 38), deflateRaw(copies), randomBytes(100, 39)}));
    run = runKorvel({"-deflate", "-skip2000", "--depth=3", "copies.bin"}, dir.path());
    EXPECT_EQ(run.exitStatus, 0);
    const std::vector<std::string> all = lines(run.standardOutput);
    EXPECT_GE(countLines(run.standardOutput, "Succeeded uncompressing " + std::to_string(holder.size()) + " bytes"), 500u);
    // The text inside was found once: the other 499 holders' equal bytes were not scanned again.
    EXPECT_EQ(countLines(run.standardOutput, "Succeeded uncompressing 3000 bytes at: 1500 (0x5dc) in Deflate"), 1u);

    // The limit counts the files of every level, and stops before the one that would pass it.
    for (const std::size_t fit : {std::size_t{1}, std::size_t{3}, std::size_t{6}}) {
        SCOPED_TRACE(fit);
        std::uint64_t limit = 0;
        for (std::size_t i = 0; i < fit; ++i) limit += sizeOf(all[i]);
        std::filesystem::remove_all(dir.file("!OutDeflate"));
        const RunResult limited = runKorvel(
            {"-deflate", "-skip2000", "--depth=3", "--max-output=" + std::to_string(limit), "copies.bin"}, dir.path());
        EXPECT_EQ(limited.exitStatus, 1);
        const std::vector<std::string> printed = lines(limited.standardOutput);
        ASSERT_EQ(printed.size(), fit + 1) << limited.standardOutput;
        for (std::size_t i = 0; i < fit; ++i) EXPECT_EQ(printed[i], all[i]);
        EXPECT_NE(printed.back().find("Failed! Output limit of "), std::string::npos);
        std::uint64_t written = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.file("!OutDeflate")))
            if (entry.is_regular_file()) written += entry.file_size();
        EXPECT_EQ(written, limit);
    }
    // Bytes that would pass --depth-memory are kept, but not scanned inside, and a line says so.
    const RunResult bounded = runKorvel({"-deflate", "-skip2000", "--depth=3", "--depth-memory=1M", "--list", "copies.bin"},
                                        dir.path());
    EXPECT_EQ(bounded.exitStatus, 0);
    EXPECT_EQ(lines(bounded.standardOutput),
              (std::vector<std::string>{all[0], "Deflate: Not scanned inside: " + std::to_string(copies.size()) +
                                                    " bytes at: 100 (0x64) would pass the 1048576 bytes held for "
                                                    "scanning inside streams (raise --depth-memory)"}));
    // -stop counts the streams of every level too; judged levels print alike for any threads.
    const RunResult stopped = runKorvel({"-deflate", "-skip2000", "--depth=3", "-stop4", "--list", "copies.bin"}, dir.path());
    EXPECT_EQ(lines(stopped.standardOutput), std::vector<std::string>(all.begin(), all.begin() + 4));
    const RunResult oneJob = runKorvel({"--verdicts", "--depth=3", "--list", "--jobs=1", "copies.bin"}, dir.path());
    const RunResult threeJobs = runKorvel({"--verdicts", "--depth=3", "--list", "--jobs=3", "copies.bin"}, dir.path());
    EXPECT_EQ(oneJob.exitStatus, 0);
    EXPECT_EQ(oneJob.standardOutput, threeJobs.standardOutput);
    EXPECT_GE(countLines(oneJob.standardOutput, " in Deflate at: 100 (0x64)"), 500u);
    EXPECT_NE(oneJob.standardOutput.find(withoutNewline(successLine("Deflate", copies.size(), 100))), std::string::npos);
}

Bytes bigEndian32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

// --map, drawn by a real browser: each format's lane coloured at the streams stored there and
// nowhere else, the entropy high over random bytes and low over zeros; and the SVG well-formed,
// every shape inside the drawing.
TEST(MapTest, BrowserDrawsEachStreamInItsLaneAndTheEntropy) {
    if (std::system("command -v chromium >/dev/null 2>&1") != 0) GTEST_SKIP() << "chromium is not installed";
    TempDir dir;
    const std::uint64_t randomEnd = 256 << 10;
    Bytes input = randomBytes(randomEnd, 41);
    struct Placed {
        std::size_t lane;
        std::uint64_t offset, end;
    };
    std::vector<Placed> placed;
    const struct {
        std::size_t lane;  // the formats in table order, all five tried
        Bytes (*pack)(const Bytes&);
    } kinds[] = {{0, [](const Bytes& b) { return deflateRaw(b); }},
                 {1, [](const Bytes& b) { return dclCompress(b); }},
                 {2, lzoCompress},
                 {3, ucl2bCompress}};
    for (std::uint32_t copy = 0; copy < 2; ++copy) {
        for (const auto& kind : kinds) {
            const Bytes plain = textBytes(6000 + 1000 * kind.lane, 50 + copy * 4 + static_cast<std::uint32_t>(kind.lane));
            const Bytes packed = kind.pack(plain);
            // Stored as containers store data: its sizes and CRC-32 before it.
            input = concat({input, randomBytes(20000, 60 + static_cast<std::uint32_t>(placed.size())),
                            bigEndian32(static_cast<std::uint32_t>(plain.size())),
                            bigEndian32(static_cast<std::uint32_t>(packed.size())),
                            bigEndian32(static_cast<std::uint32_t>(crc32(0, plain.data(), plain.size())))});
            placed.push_back({kind.lane, input.size(), input.size() + packed.size()});
            input = concat({input, packed});
        }
    }
    // Zeros last: a walk that starts in them reaches the end, not a stream.
    const std::uint64_t zerosBegin = input.size() + 20000;
    input = concat({input, randomBytes(20000, 70), Bytes(256 << 10, 0)});
    writeFile(dir.file("in.bin"), input);
    const RunResult run = runKorvel({"--real", "--list", "--map=map.svg", "in.bin"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.standardOutput;
    ASSERT_EQ(lines(run.standardOutput).size(), placed.size()) << run.standardOutput;

    const Bytes svgBytes = readFile(dir.file("map.svg"));
    const std::vector<XmlElement> elements = readXmlElements(std::string(svgBytes.begin(), svgBytes.end()));
    ASSERT_EQ(elements.front().name, "svg");
    const MapLayout layout(0, input.size(), 5);
    EXPECT_EQ(elements.front().attributes.at("width"), std::to_string(layout.width()));
    EXPECT_EQ(elements.front().attributes.at("height"), std::to_string(layout.height()));
    std::size_t bars = 0;
    for (const XmlElement& element : elements) {
        if (element.name != "rect") continue;
        const double x = std::stod(element.attributes.at("x")), y = std::stod(element.attributes.at("y"));
        EXPECT_GE(x, 0);
        EXPECT_GE(y, 0);
        EXPECT_LE(x + std::stod(element.attributes.at("width")), layout.width());
        EXPECT_LE(y + std::stod(element.attributes.at("height")), layout.height());
        bars += element.attributes.at("fill") == "#1a9850";
    }
    EXPECT_EQ(bars, placed.size() + 1);  // and the legend's

    const std::string shot = dir.file("map.png");
    const std::string render = "cd " + dir.path() + " && chromium --headless --no-sandbox --disable-gpu --hide-scrollbars "
                               "--force-device-scale-factor=1 --window-size=" + std::to_string(layout.width()) + "," +
                               std::to_string(layout.height()) + " --screenshot=" + shot + " file://" +
                               dir.file("map.svg") + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(render.c_str()), 0);
    const Picture picture = readPng(shot);
    ASSERT_EQ(picture.width, layout.width());
    const auto near = [](Picture::Colour c, int red, int green, int blue) {
        return std::abs(c.red - red) <= 12 && std::abs(c.green - green) <= 12 && std::abs(c.blue - blue) <= 12;
    };
    for (std::size_t lane = 0; lane < 5; ++lane) {
        const int y = layout.laneTop(0, lane) + MapLayout::laneHeight / 2;
        for (int x = MapLayout::left; x < MapLayout::left + static_cast<int>(input.size() / layout.bytesPerColumn); ++x) {
            bool inside = false, edge = false;
            for (const Placed& stream : placed) {
                if (stream.lane != lane) continue;
                inside |= x > layout.xOf(stream.offset) + 1 && x + 1 < layout.xOf(stream.end);
                edge |= x + 1 >= layout.xOf(stream.offset) && x <= layout.xOf(stream.end) + 1;
            }
            const Picture::Colour colour = picture.at(x, y);
            if (inside) {
                EXPECT_TRUE(near(colour, 0x1a, 0x98, 0x50)) << "lane " << lane << ", x " << x;
            } else if (!edge) {
                EXPECT_TRUE(near(colour, 0xee, 0xee, 0xee)) << "lane " << lane << ", x " << x;
            }
        }
    }
    // The same picture for any number of threads: only the elapsed time in the header differs.
    std::string pictures[2];
    for (const int jobs : {1, 3}) {
        runKorvel({"--real", "--list", "--jobs=" + std::to_string(jobs), "--map=jobs.svg", "in.bin"}, dir.path());
        const Bytes bytes = readFile(dir.file("jobs.svg"));
        std::string text(bytes.begin(), bytes.end());
        const std::size_t seconds = text.find(" s</text>");
        ASSERT_NE(seconds, std::string::npos);
        pictures[jobs == 1 ? 0 : 1] = text.erase(text.rfind("; ", seconds), seconds - text.rfind("; ", seconds));
    }
    EXPECT_EQ(pictures[0], pictures[1]);
    // The entropy band, near its top: filled over random bytes, empty over zeros.
    const int top = layout.entropyTop(0) + 4;
    EXPECT_FALSE(near(picture.at(static_cast<int>(layout.xOf(randomEnd / 2)), top), 255, 255, 255));
    const std::uint64_t zerosMiddle = (zerosBegin + input.size()) / 2;
    EXPECT_TRUE(near(picture.at(static_cast<int>(layout.xOf(zerosMiddle)), top), 255, 255, 255));
    EXPECT_TRUE(near(picture.at(static_cast<int>(layout.xOf(zerosMiddle)), top + 20), 255, 255, 255));
}

TEST(OutputTest, StandardOutputAndProgress) {
    TempDir dir;
    writeFile(dir.file("in.bin"), concat({randomBytes(300000, 91), lzoCompress(textBytes(5000, 92))}));
    const RunResult plain = runKorvel({"-skip1000", "in.bin"}, dir.path());
    ASSERT_FALSE(plain.standardOutput.empty());
    EXPECT_EQ(plain.standardError, "");

    // Progress goes to standard error alone, and ends with the whole input done.
    const RunResult progress = runKorvel({"-skip1000", "--progress", "in.bin"}, dir.path());
    EXPECT_EQ(progress.standardOutput, plain.standardOutput);
    const auto progressLines = lines(progress.standardError);
    ASSERT_FALSE(progressLines.empty());
    EXPECT_NE(progressLines.back().find(", 100.0%, "), std::string::npos) << progressLines.back();
    const std::string saved = " " + std::to_string(lines(plain.standardOutput).size()) + " streams saved";
    EXPECT_NE(progressLines.back().find(saved), std::string::npos) << progressLines.back();

    // Lines that cannot be printed are a failure, said on standard error.
    for (const char* options : {"-skip1000", "-skip0"}) {  // a few lines, and enough to fill a buffer
        const RunResult full = runKorvel({options, "in.bin"}, dir.path(), "exec \"$0\" \"$@\" > /dev/full");
        EXPECT_EQ(full.exitStatus, 1);
        EXPECT_EQ(full.standardError.rfind("korvel: cannot write to standard output (No space left on device)", 0), 0u)
            << full.standardError;
    }
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

// ---- telling the real streams from the noise: --real --------------------------------------------

// Files that hold no compressed stream at all yield next to nothing: at most two streams a MiB.
TEST(RealTest, FilesWithoutStreamsYieldNextToNothing) {
    TempDir dir;
    const struct {
        const char* name;
        Bytes bytes;
        bool noisy;  // a plain run finds streams in it
    } inputs[] = {
        {"machine code", wholeExecutable(1500000), true},
        {"text", textBytes(600000, 101), false},
        {"random bytes", randomBytes(600000, 102), true},
        {"runs and patterns", concat({runsOfEveryByte(1024), periodicPatterns(4096, 103)}), true},
    };
    for (const auto& input : inputs) {
        SCOPED_TRACE(input.name);
        writeFile(dir.file("in.bin"), input.bytes);
        const RunResult all = runKorvel({"--list", "in.bin"}, dir.path());
        const RunResult real = runKorvel({"--list", "--real", "in.bin"}, dir.path());
        EXPECT_EQ(real.exitStatus, 0);
        if (input.noisy) {
            EXPECT_GT(lines(all.standardOutput).size(), 20u);
        }
        EXPECT_LE(lines(real.standardOutput).size(), 2 * (input.bytes.size() >> 20) + 1) << real.standardOutput;
    }
}

// Thousands of streams of every format back to back, with a 2 MiB buffer: a plain run would write
// some 10 GB of noise, 24 times the real streams. --real would write no more than they hold.
TEST(RealTest, BackToBackStreamsWriteLittleButTheRealOnes) {
    TempDir dir;
    const BackToBackStreams streams = backToBackStreams();
    const std::uint64_t realBytes = streams.decodedBytes;
    writeFile(dir.file("in.bin"), streams.input);
    runKorvel({"-mem2", "--list", "--report=all.jsonl", "in.bin"}, dir.path());
    const RunResult real = runKorvel({"-mem2", "--real", "--list", "--report=real.jsonl", "in.bin"}, dir.path());
    EXPECT_EQ(real.exitStatus, 0);
    // What each run would write: the bytes its report's summary counts.
    const auto decodedBytes = [&](const char* report) {
        const Bytes bytes = readFile(dir.file(report));
        const std::string text(bytes.begin(), bytes.end());
        std::uint64_t total = 0;
        for (std::size_t found = text.find("\"bytes\":", text.find("{\"summary\"")); found != std::string::npos;
             found = text.find("\"bytes\":", found + 1))
            total += std::stoull(text.substr(found + 8));
        return total;
    };
    EXPECT_GT(decodedBytes("all.jsonl"), 20 * realBytes);
    EXPECT_LE(decodedBytes("real.jsonl") * 4, realBytes * 5);
}

}  // namespace
