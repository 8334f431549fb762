// A seventh format defined in this file alone and run through the command line, the engine,
// the report and the filters: all a new format needs is its unpacker and a row in a table.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/run.h"
#include "compressors.h"
#include "core/unpacker.h"
#include "engine/scan_engine.h"
#include "formats/format_table.h"
#include "output/saving.h"
#include "recording_sink.h"
#include "test_support.h"

using namespace korvel;

namespace {

// "TOY", a 16-bit little-endian length from 1 on, then that many stored bytes.
class ToyUnpacker final : public Unpacker {
public:
    using Unpacker::Unpacker;

private:
    static constexpr std::uint64_t headerSize = 5;

    Prediction predict() override {
        const ScanState& scan = scan_;
        const std::uint8_t* at = scan.inputView + scan.currentOffset;
        const std::uint64_t rest = scan.inputSize - scan.currentOffset;
        if (rest < headerSize || std::memcmp(at, "TOY", 3) != 0) return Prediction::none();
        const std::uint32_t length = at[3] | at[4] << 8;
        if (length == 0 || rest - headerSize < length) return Prediction::none();
        // A stream that fills the buffer is cut there and its end is not known.
        if (length >= scan.sizes.bufferCapacity) return Prediction::stream(scan.sizes.bufferCapacity, 0, false);
        return Prediction::stream(length, scan.currentOffset + headerSize + length, false);
    }
    Prediction decode() override {
        Prediction stream = predict();
        if (!stream.found) return stream;
        std::memcpy(scan_.outputBuffer, scan_.inputView + scan_.currentOffset + headerSize, stream.produced);
        stream.bytesInBuffer = true;
        return stream;
    }
};

std::unique_ptr<Unpacker> makeToyUnpacker(ScanState& scan) { return std::make_unique<ToyUnpacker>(scan); }

// The shipped formats, then the toy one.
std::span<const FormatDescriptor> toyTable() {
    static const std::vector<FormatDescriptor> table = [] {
        std::vector<FormatDescriptor> rows(formatTable().begin(), formatTable().end());
        rows.push_back({"Toy", "Toy", "toy", "toy streams: \"TOY\", a length, the bytes", &makeToyUnpacker, false,
                        rows.size()});
        return rows;
    }();
    return table;
}

const FormatDescriptor& toy() { return toyTable().back(); }

Bytes toyStream(const Bytes& payload) {
    return concat({{'T', 'O', 'Y', static_cast<std::uint8_t>(payload.size()), static_cast<std::uint8_t>(payload.size() >> 8)},
                   payload});
}

Bytes littleEndian32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 24)};
}

// Random bytes around three toy streams and a raw deflate one. The first toy stream is stored
// as containers store data, its size and CRC-32 just before it; the second holds the third in
// its bytes.
struct ToyInput {
    Bytes bytes;
    Bytes realPayload = textBytes(4093, 7), innerPayload = randomBytes(50, 8), outerPayload;
    Bytes deflated = textBytes(5000, 9);
    std::uint64_t real = 0, outer = 0, inner = 0, deflate = 0;

    ToyInput() {
        const Bytes inner = toyStream(innerPayload);
        outerPayload = concat({randomBytes(100, 10), inner, randomBytes(145, 11)});
        const Bytes crc = littleEndian32(static_cast<std::uint32_t>(crc32(0, realPayload.data(), realPayload.size())));
        bytes = concat({randomBytes(3000, 1), littleEndian32(static_cast<std::uint32_t>(realPayload.size())), crc});
        real = bytes.size();
        bytes = concat({bytes, toyStream(realPayload), randomBytes(2000, 2)});
        outer = bytes.size();
        this->inner = outer + 5 + 100;
        bytes = concat({bytes, toyStream(outerPayload), randomBytes(2000, 3)});
        deflate = bytes.size();
        bytes = concat({bytes, deflateRaw(deflated), randomBytes(1000, 4)});
    }
};

std::string foundLine(const char* format, std::uint64_t offset, std::size_t size) {
    char line[128];
    std::snprintf(line, sizeof line, "%s: Succeeded uncompressing %zu bytes at: %llu (0x%llx)\n", format, size,
                  static_cast<unsigned long long>(offset), static_cast<unsigned long long>(offset));
    return line;
}

std::string linesOf(const std::string& text, const std::string& start) {
    std::string kept;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at) + 1;
        if (text.compare(at, start.size(), start) == 0) kept += text.substr(at, end - at);
        at = end;
    }
    return kept;
}

struct ProgramRun {
    int status;
    std::string lines;
    MemoryFiles files;
};

// The whole program on `input` with the toy table, its lines and files kept in memory.
ProgramRun runWithToyTable(const std::string& input, std::vector<std::string> args) {
    args.insert(args.begin(), "korvel");
    args.push_back(input);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    const CommandLine commandLine = parseCommandLine(static_cast<int>(argv.size()), argv.data(), toyTable());
    EXPECT_EQ(commandLine.error, "");
    ProgramRun run{};
    CollectedLines lines;
    run.status = runCommandLine(commandLine, lines, run.files);
    run.lines = lines.text;
    return run;
}

TEST(ToyFormatTest, CommandLineTakesItsSwitchAndPrintsItsUsage) {
    const struct {
        std::vector<std::string> switches;
        bool toyOn, deflateOn;
    } cases[] = {
        {{}, true, true},
        {{"-toy"}, true, false},
        {{"-TOY", "-deflate"}, true, true},
        {{"-toy-"}, false, true},
        {{"-deflate"}, false, true},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"korvel"};
        args.insert(args.end(), c.switches.begin(), c.switches.end());
        args.push_back("input");
        SCOPED_TRACE(args[1]);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        const CommandLine commandLine = parseCommandLine(static_cast<int>(argv.size()), argv.data(), toyTable());
        const auto active = commandLine.activeFormats();
        EXPECT_EQ(std::count(active.begin(), active.end(), &toy()), c.toyOn ? 1 : 0);
        EXPECT_EQ(std::count(active.begin(), active.end(), findFormat("deflate", toyTable())), c.deflateOn ? 1 : 0);
    }
    EXPECT_NE(usageText(toyTable()).find("\n  -toy[-]      toy streams: \"TOY\", a length, the bytes\n"), std::string::npos);
    EXPECT_EQ(usageText(toyTable()).find("-toy"), usageText(toyTable()).rfind("-toy"));
}

// Each option set with one job and with three: the same lines, and the toy streams each says.
TEST(ToyFormatTest, RunsThroughTheWholeProgram) {
    const ToyInput input;
    TempDir dir;
    const std::string inputPath = dir.file("input.bin"), reportPath = dir.file("report.json");
    writeFile(inputPath, input.bytes);
    const std::string real = foundLine("Toy", input.real, input.realPayload.size()),
                      outer = foundLine("Toy", input.outer, input.outerPayload.size()),
                      inner = foundLine("Toy", input.inner, input.innerPayload.size()),
                      deflate = foundLine("Deflate", input.deflate, input.deflated.size());
    const struct {
        std::vector<std::string> args;
        std::string toyLines;
        bool files, deflate;
    } cases[] = {
        {{}, real + outer + inner, true, true},
        {{"--list"}, real + outer + inner, false, true},
        {{"--outer"}, real + outer, true, true},
        {{"--real"}, real, true, true},
        {{"-toy", "--report=" + reportPath, "--verdicts"}, real + outer + inner, true, false},
        {{"-toy-"}, "", true, true},
    };
    for (const auto& c : cases) {
        std::string printed;
        for (const char* jobs : {"--jobs=1", "--jobs=3"}) {
            std::vector<std::string> args = c.args;
            args.push_back(jobs);
            args.push_back("-Outmem/");
            SCOPED_TRACE(testing::PrintToString(args));
            const ProgramRun run = runWithToyTable(inputPath, args);
            EXPECT_EQ(run.status, 0);
            if (printed.empty()) printed = run.lines;
            EXPECT_EQ(run.lines, printed);
            EXPECT_EQ(linesOf(run.lines, "Toy: "), c.toyLines);
            EXPECT_EQ(run.lines.find(deflate) != std::string::npos, c.deflate);
            const auto saved = run.files.files.find(savedFilePath("mem/", toy(), input.real));
            ASSERT_EQ(saved != run.files.files.end(), c.files && !c.toyLines.empty());
            if (saved != run.files.files.end()) {
                EXPECT_EQ(saved->second, input.realPayload);
            }
        }
    }
    // The last run with a report: every toy stream in it, judged, and counted in the summary.
    const std::string report(reinterpret_cast<const char*>(readFile(reportPath).data()), readFile(reportPath).size());
    const std::string toyRows = linesOf(report, "{\"format\":\"Toy\"");
    EXPECT_EQ(std::count(toyRows.begin(), toyRows.end(), '\n'), 3);
    EXPECT_NE(toyRows.find("\"offset\":" + std::to_string(input.real) + ",\"end\":" +
                           std::to_string(input.real + 5 + input.realPayload.size())),
              std::string::npos);
    EXPECT_NE(toyRows.find("\"offset\":" + std::to_string(input.inner)), std::string::npos);
    EXPECT_NE(toyRows.find("\"nested_in\":" + std::to_string(input.outer)), std::string::npos);
    EXPECT_NE(report.find("\"Toy\":{\"saved\":3,"), std::string::npos);
    EXPECT_NE(report.find("\"real\":1,\"plausible\":0,\"noise\":2}"), std::string::npos);
}

// The engine alone, in chunks far smaller than the streams, with any number of workers.
TEST(ToyFormatTest, EngineAnswersAlikeForEveryChunkingAndJobCount) {
    const ToyInput input;
    Bytes padded = input.bytes;
    padded.push_back(0);  // the readable byte after the last
    std::vector<SinkEvent> first;
    for (const auto& [jobs, chunk] : {std::pair{1u, std::uint64_t{0}}, {3u, std::uint64_t{97}}, {3u, std::uint64_t{4096}}}) {
        SCOPED_TRACE(std::to_string(jobs) + " jobs, chunks of " + std::to_string(chunk));
        ScanSettings settings;
        settings.formats = {&toy(), findFormat("deflate", toyTable())};
        settings.jobs = jobs;
        settings.chunkSize = chunk;
        RecordingSink sink;
        ASSERT_EQ(runScan(padded.data(), input.bytes.size(), settings, sink).status, ScanOutcome::Status::Finished);
        if (first.empty()) first = sink.events;
        EXPECT_EQ(sink.events, first);
    }
    std::vector<std::pair<std::uint64_t, Bytes>> toys;
    for (const SinkEvent& event : first)
        if (event.format == "Toy") toys.push_back({event.offset, event.bytes});
    EXPECT_EQ(toys, (std::vector<std::pair<std::uint64_t, Bytes>>{
                        {input.real, input.realPayload}, {input.outer, input.outerPayload}, {input.inner, input.innerPayload}}));
}

}  // namespace
