// The whole scan, all formats, over an arbitrary input with a small output buffer: every find
// that the size rules keep is saved to a file of exactly its size and nothing else is; and the
// scan with 2, 3 and 8 workers over tiny chunks hands the sink exactly what one worker does,
// under a stop limit, a start offset and failing writes.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/scan_engine.h"
#include "fuzz_support.h"
#include "recording_sink.h"
#include "unpack/saving.h"

namespace {

struct Find {
    std::uint64_t offset;
    const FormatDescriptor* format;
    std::uint32_t size;
};

// Every answer of every format at every offset, from one unpacker per format.
std::vector<Find> tryEverywhere(const std::uint8_t* input, std::size_t size, std::uint8_t* output, std::uint32_t capacity) {
    ScanState scan;
    pointScanStateAt(scan, input, size, output, capacity);
    std::vector<std::unique_ptr<Unpacker>> unpackers;
    for (const auto& format : formatTable()) unpackers.push_back(format.makeUnpacker(scan));
    std::vector<Find> finds;
    for (scan.currentOffset = 0; scan.currentOffset < size; ++scan.currentOffset) {
        for (std::size_t i = 0; i < unpackers.size(); ++i) {
            if (!unpackers[i]->tryUnpack()) continue;
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
    return 0;
}
