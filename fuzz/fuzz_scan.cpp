// The whole scan, all formats, over an arbitrary input with a small output buffer: every find
// that the size rules keep is saved to a file of exactly its size and nothing else is; the scan
// with 2, 3 and 8 workers over tiny chunks hands the sink exactly what one worker does, under a
// stop limit, a start offset and failing writes; and judging the finds passes every one on, in
// order, with the bytes decoded again, whatever is held back, with the same verdicts for any
// number of workers, and keeps only the real and plausible ones when asked; scanning inside the
// streams found, two levels down, prints the same lines for one and three workers, the input's
// own lines those of a plain listing.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/scan_engine.h"
#include "formats/format_table.h"
#include "fuzz_support.h"
#include "recording_sink.h"
#include "output/descent.h"
#include "output/saving.h"
#include "output/verdicts.h"

using namespace korvel;

namespace {

struct Find {
    std::uint64_t offset;
    const FormatDescriptor* format;
    std::uint32_t size;
};

// Every answer of every format at every offset, from one unpacker per format; where the
// screens run, an offset a format's screen rules out must be one it finds nothing at.
std::vector<Find> tryEverywhere(const std::uint8_t* input, std::size_t size, std::uint8_t* output, std::uint32_t capacity) {
    ScanState scan;
    pointScanStateAt(scan, input, size, output, capacity);
    std::vector<std::unique_ptr<Unpacker>> unpackers;
    for (const auto& format : formatTable()) unpackers.push_back(format.makeUnpacker(scan));
    std::vector<std::uint64_t> possible(unpackers.size(), ~std::uint64_t{0});
    std::vector<Find> finds;
    for (scan.currentOffset = 0; scan.currentOffset < size; ++scan.currentOffset) {
        const unsigned bit = scan.currentOffset % Unpacker::screenBlock;
        if (bit == 0) {
            const bool screened = scan.currentOffset + Unpacker::screenReach <= size;
            for (std::size_t i = 0; i < unpackers.size(); ++i)
                possible[i] = screened ? unpackers[i]->screen(input + scan.currentOffset) : ~std::uint64_t{0};
        }
        for (std::size_t i = 0; i < unpackers.size(); ++i) {
            if (!unpackers[i]->tryUnpack()) continue;
            FUZZ_CHECK((possible[i] >> bit & 1) != 0);
            const FormatDescriptor& format = formatTable()[i];
            FUZZ_CHECK(scan.outputSize <= capacity + (format.writesSpareByte ? 1u : 0u));
            finds.push_back({scan.currentOffset, &format, scan.outputSize});
        }
    }
    return finds;
}

std::string outputFolder() {
    static const std::string folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "korvel-fuzz-XXXXXX").string();
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);  // the scan's lines
        return pattern + "/";
    }();
    return folder;
}

std::vector<const FormatDescriptor*> allFormats() {
    std::vector<const FormatDescriptor*> formats;
    for (const auto& format : formatTable()) formats.push_back(&format);
    return formats;
}

// The finds judged, found without their bytes and decoded again where passed on.
std::vector<SinkEvent> judged(const std::uint8_t* input, std::size_t size, ScanSettings settings,
                              const JudgingSettings& judging) {
    RecordingSink recorded;
    StreamDecoder decoder(input, size, settings);
    JudgingSink judge(recorded, decoder, settings.formats, judging);
    settings.keepBytes = false;
    settings.keepSurroundings = true;
    FUZZ_CHECK(runScan(input, size, settings, judge).status == ScanOutcome::Status::Finished);
    judge.finish();
    FUZZ_CHECK(judge.failure() == JudgingSink::Failure::None);
    return recorded.events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Three parameter bytes, as every target reads them: capacity, skip size, and the scan's
    // stop limit (low 3 bits), failing writes (next 2) and start offset (top 3).
    if (size < 3 || size > 4096) return 0;
    const std::string folder = outputFolder();
    const std::uint32_t capacity = data[0] * 16u;
    const std::uint32_t skip = data[1] & 0x0F;
    const std::uint32_t stopAfter = data[2] & 7;
    const unsigned failEvery = (data[2] >> 3) & 3;
    const std::uint64_t startOffset = (data[2] >> 5) * 37u;
    data += 3;
    size -= 3;
    const auto input = exactCopy(data, size, 1);  // the UCL decoders may read one spare byte
    const auto output = exactCopy(nullptr, 0, capacity + 1);
    const std::vector<Find> finds = tryEverywhere(input.get(), size, output.get(), capacity);

    // The real scan, saving: a file exactly for each find above skip and below capacity.
    std::filesystem::remove_all(folder);
    std::filesystem::create_directory(folder);
    ScanSettings settings;
    settings.formats = allFormats();
    settings.sizes = {skip, capacity};
    FileSink files(folder, capacity);
    FUZZ_CHECK(runScan(input.get(), size, settings, files).status == ScanOutcome::Status::Finished);
    FUZZ_CHECK(!files.writeFailed());
    std::size_t expectedFiles = 0;
    for (const auto& find : finds) {
        if (find.size <= skip || find.size >= capacity) continue;
        FUZZ_CHECK(std::filesystem::file_size(savedFilePath(folder, *find.format, find.offset)) == find.size);
        ++expectedFiles;
    }
    std::size_t fileCount = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) fileCount += entry.is_regular_file();
    FUZZ_CHECK(fileCount == expectedFiles);

    // Any number of workers: the same events as one.
    settings.stopAfter = stopAfter;
    settings.startOffset = startOffset;
    settings.chunkSize = 1 + size / 16;
    RecordingSink alone(failEvery);
    const ScanOutcome aloneOutcome = runScan(input.get(), size, settings, alone);
    for (const unsigned jobs : {2u, 3u, 8u}) {
        settings.jobs = jobs;
        RecordingSink together(failEvery);
        const ScanOutcome outcome = runScan(input.get(), size, settings, together);
        FUZZ_CHECK(outcome.status == aloneOutcome.status);
        FUZZ_CHECK(together.events == alone.events);
    }

    // Judged: every find passed on with its verdict, however little may wait.
    settings.stopAfter = 0;
    settings.startOffset = 0;
    settings.jobs = 1;
    RecordingSink plain;
    runScan(input.get(), size, settings, plain);
    JudgingSettings judging;
    judging.maxPending = 1 + capacity % 32;  // from the parameter bytes, read above
    judging.layoutLookahead = skip * 64u;
    const std::vector<SinkEvent> all = judged(input.get(), size, settings, judging);
    FUZZ_CHECK(all.size() == plain.events.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        SinkEvent event = all[i];
        FUZZ_CHECK(!event.verdict.empty());
        event.verdict.clear();
        event.before.clear();
        event.after.clear();
        FUZZ_CHECK(event == plain.events[i]);
    }
    settings.jobs = 3;
    FUZZ_CHECK(judged(input.get(), size, settings, judging) == all);
    judging.keep = JudgingSettings::Keep::RealAndPlausible;
    std::vector<SinkEvent> kept;
    for (const auto& event : all)
        if (event.verdict != "noise") kept.push_back(event);
    FUZZ_CHECK(judged(input.get(), size, settings, judging) == kept);

    // Inside the streams, two levels down.
    std::string printed[2];
    for (const unsigned jobs : {1u, 3u}) {
        ScanSettings scan = settings;
        scan.jobs = jobs;
        CollectedLines lines;
        MemoryFiles memory;
        FileSink listing(folder, capacity, true, lines, memory);
        DescentSettings inside;
        inside.depth = 2;
        inside.scan = scan;
        inside.scan.inputMayShrink = false;
        Descent descent(inside);
        DescendingSink descending(listing, listing, nullptr, descent, 0);
        FUZZ_CHECK(runScan(input.get(), size, scan, descending).status == ScanOutcome::Status::Finished);
        FUZZ_CHECK(memory.files.empty() && memory.folders.empty());
        printed[jobs == 1 ? 0 : 1] = lines.text;
    }
    FUZZ_CHECK(printed[0] == printed[1]);
    CollectedLines plainLines;
    MemoryFiles nothing;
    FileSink plainListing(folder, capacity, true, plainLines, nothing);
    FUZZ_CHECK(runScan(input.get(), size, settings, plainListing).status == ScanOutcome::Status::Finished);
    std::string ownLines;
    for (std::size_t at = 0; at < printed[0].size();) {
        const std::size_t end = printed[0].find('\n', at) + 1;
        const std::string line = printed[0].substr(at, end - at);
        if (line.find(" in ") == std::string::npos) ownLines += line;
        at = end;
    }
    FUZZ_CHECK(ownLines == plainLines.text);
    return 0;
}
