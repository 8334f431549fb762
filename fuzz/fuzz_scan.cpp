// The whole scan, all formats, over an arbitrary input with a small output buffer: answers and
// sizes within the rules, nothing written past the buffer (plus its one spare byte), the same
// answers when run twice, and every find saved as the size rules say.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/scan.h"
#include "fuzz_support.h"

namespace {

struct Find {
    std::uint64_t offset;
    std::size_t row;
    std::uint32_t size;
};

// Every answer of every row at every offset, as the scan loop sees them.
std::vector<Find> scanAll(const std::uint8_t* input, std::size_t size, std::uint8_t* output, std::uint32_t capacity) {
    pointScanStateAt(input, size, output, capacity);
    auto& scan = Unpacker::scanState;
    std::vector<Find> finds;
    for (scan.currentOffset = 0; scan.currentOffset < size; ++scan.currentOffset) {
        for (std::size_t row = 0; unpackerTable[row].unpacker; ++row) {
            if (!unpackerTable[row].unpacker->tryUnpack()) continue;
            // Only the UCL decoders (rows 3 and 4) may fill the spare byte.
            FUZZ_CHECK(scan.outputSize <= capacity + (row >= 3 ? 1u : 0u));
            finds.push_back({scan.currentOffset, row, scan.outputSize});
        }
    }
    return finds;
}

std::string outputFolder() {
    static const std::string folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "korvel-fuzz-XXXXXX").string();
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);  // the scan's lines
        registerUnpackers();
        return pattern + "/";
    }();
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Three parameter bytes, as every target reads them: capacity, skip size, one unused.
    if (size < 3 || size > 4096) return 0;
    const std::string folder = outputFolder();
    const std::uint32_t capacity = data[0] * 16u;
    const std::uint32_t skip = data[1] & 0x0F;
    data += 3;
    size -= 3;
    const auto input = exactCopy(data, size, 1);  // the UCL decoders may read one spare byte
    const auto output = exactCopy(nullptr, 0, capacity + 1);

    const std::vector<Find> finds = scanAll(input.get(), size, output.get(), capacity);
    const std::vector<Find> again = scanAll(input.get(), size, output.get(), capacity);
    FUZZ_CHECK(finds.size() == again.size());
    for (std::size_t i = 0; i < finds.size(); ++i)
        FUZZ_CHECK(finds[i].offset == again[i].offset && finds[i].row == again[i].row && finds[i].size == again[i].size);

    // The real loop, saving: a file exactly for each find above skip and below capacity.
    std::filesystem::remove_all(folder);
    std::filesystem::create_directory(folder);
    auto& options = Unpacker::runOptions;
    options = RunOptions{};
    options.skipSize = skip;
    options.outPrefix = folder;
    pointScanStateAt(input.get(), size, output.get(), capacity);
    FUZZ_CHECK(runScan(FormatState::Default));
    std::size_t expectedFiles = 0;
    for (const auto& find : finds) {
        if (find.size <= skip || find.size >= capacity) continue;
        char path[64];
        std::snprintf(path, sizeof path, "%s/%08llX", unpackerTable[find.row].unpacker->displayName(),
                      static_cast<unsigned long long>(find.offset));
        FUZZ_CHECK(std::filesystem::file_size(folder + path) == find.size);
        ++expectedFiles;
    }
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) files += entry.is_regular_file();
    FUZZ_CHECK(files == expectedFiles);
    FUZZ_CHECK(!Unpacker::writeFailed);
    Unpacker::scanState = ScanState{};
    options = RunOptions{};
    return 0;
}
