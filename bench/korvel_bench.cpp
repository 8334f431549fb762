// Scan throughput of korvel per format switch on a deterministic corpus, with zlib's raw
// inflate tried at every offset as the yardstick, measured in the same run.
//
// usage: korvel_bench <korvel binary> <corpus folder> [seconds per run] [file names... | adversarial | triage | map]
// Files: random.bin text.bin x86-64.bin zeros.bin (the default set) and the worst cases
// worst-ones.bin worst-stored-chain.bin worst-dcl-literals.bin. "triage" times --real against
// --list instead; "map" times --map on a 1 GiB sparse file.
#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <lzo/lzo1x.h>
#include <ucl/ucl.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "chain_patterns.h"
#include "compressors.h"
#include "formats/format_table.h"

extern char** environ;

using namespace korvel;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::size_t corpusSize = 8 << 20;

Bytes randomCorpus() {
    std::mt19937 generator(1);
    Bytes bytes(corpusSize);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
    return bytes;
}

Bytes textCorpus() {
    static const char* const words[] = {"the", "of", "and", "to", "in", "is", "that", "for", "it", "as", "was",
                                        "with", "be", "by", "on", "not", "he", "this", "are", "or", "his",
                                        "from", "at", "which", "but", "have", "an", "had", "they", "you",
                                        "compressed", "stream", "offset", "archive", "firmware", "buffer"};
    std::mt19937 generator(2);
    Bytes bytes;
    while (bytes.size() < corpusSize) {
        const char* word = words[generator() % std::size(words)];
        bytes.insert(bytes.end(), word, word + std::strlen(word));
        const auto mark = generator() % 12;
        bytes.push_back(mark == 0 ? '.' : mark == 1 ? '\n' : mark == 2 ? ',' : ' ');
    }
    bytes.resize(corpusSize);
    return bytes;
}

// The .text sections of the system's ELF executables, in name order.
Bytes machineCodeCorpus() {
    std::vector<fs::path> programs;
    for (const char* folder : {"/usr/bin", "/usr/sbin", "/usr/lib/x86_64-linux-gnu"}) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error))
            if (entry.is_regular_file(error)) programs.push_back(entry.path());
    }
    std::sort(programs.begin(), programs.end());
    Bytes code;
    for (const auto& program : programs) {
        std::ifstream in(program, std::ios::binary);
        Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (file.size() < sizeof(Elf64_Ehdr) || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0) continue;
        Elf64_Ehdr header;
        std::memcpy(&header, file.data(), sizeof header);
        if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_machine != EM_X86_64) continue;
        if (header.e_shoff + std::uint64_t{header.e_shnum} * sizeof(Elf64_Shdr) > file.size() ||
            header.e_shstrndx >= header.e_shnum)
            continue;
        std::vector<Elf64_Shdr> sections(header.e_shnum);
        std::memcpy(sections.data(), file.data() + header.e_shoff, sections.size() * sizeof(Elf64_Shdr));
        const Elf64_Shdr& names = sections[header.e_shstrndx];
        for (const auto& section : sections) {
            if (names.sh_offset + section.sh_name + 6 > file.size()) continue;
            if (std::strcmp(reinterpret_cast<const char*>(file.data() + names.sh_offset + section.sh_name), ".text") != 0)
                continue;
            if (section.sh_offset + section.sh_size > file.size()) continue;
            const auto begin = file.begin() + static_cast<std::ptrdiff_t>(section.sh_offset);
            code.insert(code.end(), begin, begin + static_cast<std::ptrdiff_t>(section.sh_size));
        }
        if (code.size() >= corpusSize) break;
    }
    code.resize(std::min(code.size(), corpusSize));
    return code;
}

Bytes repeatedBytes(const Bytes& period) { return repeatedTo(period, corpusSize); }

// Worst cases: inputs at which many offsets start an attempt that only fails at the end of the
// file, so the scan grows with the square of the input.
// Every 0xFF offset is a run of LZO literals and matches, and of NRV2B/NRV2D literals.
Bytes onesCorpus() { return Bytes(corpusSize, 0xFF); }
Bytes storedChainCorpus() { return repeatedBytes(storedChainPeriod()); }
Bytes dclLiteralChainCorpus() { return repeatedBytes(dclBinaryLiteralChainPeriod()); }

// ---- the adversarial corpus: patterns that make a scan walk far from many offsets ----------

// A run of every byte value, 32 KiB each, in an order that spreads the values over every prefix.
Bytes byteRunsCorpus() {
    Bytes bytes;
    for (unsigned i = 0; i < 256; ++i) bytes.insert(bytes.end(), corpusSize / 256, static_cast<std::uint8_t>(i * 167));
    return bytes;
}

// 64 KiB segments, each a random pattern repeated, of period 2 to 16 in turn.
Bytes periodicCorpus() {
    std::mt19937 generator(7);
    Bytes bytes;
    for (unsigned segment = 0; bytes.size() < corpusSize; ++segment) {
        Bytes period(2 + segment % 15);
        for (auto& byte : period) byte = static_cast<std::uint8_t>(generator());
        for (std::size_t i = 0; i < (64u << 10); ++i) bytes.push_back(period[i % period.size()]);
    }
    bytes.resize(corpusSize);
    return bytes;
}

// The chains of chain_patterns.h.
Bytes emptyFixedChainCorpus() { return repeatedBytes(fixedChainPeriod(false)); }
Bytes literalFixedChainCorpus() { return repeatedBytes(fixedChainPeriod(true)); }
Bytes tinyStoredChainCorpus() { return repeatedBytes(tinyStoredChainPeriod()); }
Bytes emptyDynamicChainCorpus() { return repeatedBytes(dynamicChainPeriod(false)); }
Bytes literalDynamicChainCorpus() { return repeatedBytes(dynamicChainPeriod(true)); }
Bytes dclAsciiLiteralChainCorpus() { return repeatedBytes(dclChainPeriod(1, false)); }
Bytes dclAsciiMatchChainCorpus() { return repeatedBytes(dclChainPeriod(1, true)); }
Bytes dclBinaryMatchChainCorpus() { return repeatedBytes(dclChainPeriod(0, true)); }
Bytes lzoLiteralRunChainCorpus() { return repeatedBytes(lzoLiteralRunChainPeriod()); }
Bytes nrv2LiteralChainCorpus() { return repeatedBytes(nrv2LiteralChainPeriod()); }

// Whole x86-64 ELF files, headers and data included, in name order.
// Whole ELF files of the folders, in name order within each, taken from the folders in turn.
Bytes wholeElfFiles(std::initializer_list<const char*> folders) {
    std::vector<std::vector<fs::path>> files;
    for (const char* folder : folders) {
        std::vector<fs::path>& paths = files.emplace_back();
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error))
            if (entry.is_regular_file(error)) paths.push_back(entry.path());
        std::sort(paths.begin(), paths.end());
    }
    Bytes bytes;
    for (std::size_t index = 0; bytes.size() < corpusSize; ++index) {
        bool any = false;
        for (const auto& paths : files) {
            if (index >= paths.size() || bytes.size() >= corpusSize) continue;
            any = true;
            std::ifstream in(paths[index], std::ios::binary);
            const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (file.size() < SELFMAG || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0) continue;
            bytes.insert(bytes.end(), file.begin(), file.end());
        }
        if (!any) break;
    }
    bytes.resize(std::min(bytes.size(), corpusSize));
    return bytes;
}

Bytes wholeExecutablesCorpus() { return wholeElfFiles({"/usr/bin"}); }
// Shared libraries' data and relocation tables, between programs.
Bytes executablesAndLibrariesCorpus() { return wholeElfFiles({"/usr/bin", "/usr/lib/x86_64-linux-gnu"}); }

Bytes backToBackCorpus() { return backToBackStreams().input; }

// Runs of one byte value in pairs of doubling length (32 KiB first), 4 KiB of random bytes
// before each, as in a disk image or erased flash with data between: a walk from an offset of
// one run may go on through the next runs, so each must be read about once, and walks must
// still join after a run longer than their landmarks' reach.
template <std::uint8_t value>
Bytes splitRunsCorpus() {
    std::mt19937 generator(11);
    Bytes bytes;
    for (std::size_t run = 32 << 10; bytes.size() < corpusSize; run *= 2) {
        for (int pair = 0; pair < 2; ++pair) {
            for (int i = 0; i < 4096; ++i) bytes.push_back(static_cast<std::uint8_t>(generator()));
            bytes.insert(bytes.end(), run, value);
        }
    }
    bytes.resize(corpusSize);
    return bytes;
}

void writeIfMissing(const fs::path& path, Bytes (*make)()) {
    if (fs::exists(path)) return;
    const Bytes bytes = make();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

struct Measure {
    double seconds = 0;
    std::uint64_t bytes = 0;  // how much of the file was scanned
    long maxResidentKiB = 0;
    bool finished = false;
};

// Runs korvel over `input` with a wall-clock limit.
Measure runKorvel(const std::string& korvel, const std::vector<std::string>& args, const fs::path& input,
                  std::uint64_t bytes, double limitSeconds) {
    const fs::path work = fs::temp_directory_path() / ("korvel-bench-" + std::to_string(getpid()));
    fs::create_directories(work);
    // Started through peak_memory: a child of this large process would count this process's
    // memory in its own peak.
    const fs::path peakFile = work / "peak";
    std::vector<std::string> argStorage{PEAK_MEMORY_BINARY, peakFile.string(), korvel};
    argStorage.insert(argStorage.end(), args.begin(), args.end());
    argStorage.push_back(input.string());
    std::vector<char*> argv;
    for (auto& arg : argStorage) argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, work.c_str());
    pid_t pid = 0;
    const auto start = Clock::now();
    // A process group of its own, so that a run over the limit is killed with korvel in it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    if (posix_spawn(&pid, argStorage[0].c_str(), &actions, &attributes, argv.data(), environ) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    Measure measure;
    measure.bytes = bytes;
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) break;
        if (std::chrono::duration<double>(Clock::now() - start).count() > limitSeconds) {
            kill(-pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            fs::remove_all(work);
            return measure;
        }
        usleep(2000);
    }
    measure.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::ifstream(peakFile) >> measure.maxResidentKiB;
    measure.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    fs::remove_all(work);
    return measure;
}

// Tries the whole file, then ever shorter prefixes until one run ends within the limit.
Measure measureKorvel(const std::string& korvel, const std::vector<std::string>& args, const fs::path& file,
                      double limitSeconds, std::vector<std::uint64_t> prefixes = {}) {
    const std::uint64_t size = fs::file_size(file);
    if (prefixes.empty())
        prefixes = {size, std::uint64_t{1} << 20, std::uint64_t{256} << 10, std::uint64_t{64} << 10,
                    std::uint64_t{16} << 10};
    for (std::uint64_t prefix : prefixes) {
        if (prefix > size) continue;
        fs::path input = file;
        if (prefix < size) {
            input = fs::temp_directory_path() / ("korvel-bench-prefix-" + std::to_string(getpid()));
            fs::copy_file(file, input, fs::copy_options::overwrite_existing);
            fs::resize_file(input, prefix);
        }
        Measure measure = runKorvel(korvel, args, fs::absolute(input), prefix, limitSeconds);
        // A prefix's run is short and moves with the machine's noise: the fastest of three.
        for (int again = 0; again < 2 && prefix < size && measure.finished && measure.seconds < 1; ++again) {
            const Measure rerun = runKorvel(korvel, args, fs::absolute(input), prefix, limitSeconds);
            if (rerun.finished && rerun.seconds < measure.seconds) measure = rerun;
        }
        if (prefix < size) fs::remove(input);
        if (measure.finished) return measure;
    }
    return {};
}

// One run per format of the table, by its switch, then every format together.
std::vector<std::pair<std::string, std::vector<std::string>>> formatRuns() {
    std::vector<std::pair<std::string, std::vector<std::string>>> runs;
    for (const FormatDescriptor& format : formatTable()) {
        const std::string option = std::string("-") + format.switchName;
        runs.push_back({option, {option}});
    }
    runs.push_back({"all", {}});
    return runs;
}

// zlib's raw inflate tried at every offset into one reused buffer of the default 256 MiB.
Measure measureZlibPerOffset(const fs::path& file, double limitSeconds) {
    std::ifstream in(file, std::ios::binary);
    const Bytes input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes output(std::size_t{256} << 20);
    z_stream stream{};
    inflateInit2(&stream, -15);
    Measure measure;
    std::uint64_t streamEnds = 0;
    const auto start = Clock::now();
    std::size_t offset = 0;
    for (; offset < input.size(); ++offset) {
        inflateReset2(&stream, -15);
        stream.next_in = const_cast<Bytef*>(input.data() + offset);
        stream.avail_in = static_cast<uInt>(input.size() - offset);
        stream.next_out = output.data();
        stream.avail_out = static_cast<uInt>(output.size());
        streamEnds += inflate(&stream, Z_FINISH) == Z_STREAM_END;
        if ((offset & 0xFFF) == 0 && std::chrono::duration<double>(Clock::now() - start).count() > limitSeconds) break;
    }
    measure.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    measure.bytes = offset;
    measure.finished = true;
    inflateEnd(&stream);
    std::fprintf(stderr, "  zlib per offset on %s: %llu stream ends\n", file.filename().c_str(),
                 static_cast<unsigned long long>(streamEnds));
    return measure;
}

// The library decoders called plainly at every offset, as a scan without our own pre-checks
// would, into one reused buffer of the default 256 MiB. Stops at the limit and reports the
// offsets it reached.
template <typename Decode>
Measure measureLibraryPerOffset(const fs::path& file, double limitSeconds, Decode decode) {
    std::ifstream in(file, std::ios::binary);
    Bytes input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t size = input.size();
    input.push_back(0);  // the UCL decoders may read one byte past their source
    Bytes output((std::size_t{256} << 20) + 1);
    Measure measure;
    const auto start = Clock::now();
    std::size_t offset = 0;
    for (; offset < size; ++offset) {
        decode(input.data() + offset, size - offset, output.data(), std::size_t{256} << 20);
        if ((offset & 0xFF) == 0 && std::chrono::duration<double>(Clock::now() - start).count() > limitSeconds) break;
    }
    measure.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    measure.bytes = offset;
    measure.finished = true;
    return measure;
}

double megabytesPerSecond(const Measure& measure) {
    return measure.seconds > 0 ? static_cast<double>(measure.bytes) / 1e6 / measure.seconds : 0;
}

std::string describe(const Measure& measure, std::uint64_t fileSize, const Measure& yardstick) {
    if (!measure.finished) return "over the limit";
    char prefix[32] = "";
    if (measure.bytes < fileSize) std::snprintf(prefix, sizeof prefix, " [first %llu KiB]",
                                                static_cast<unsigned long long>(measure.bytes >> 10));
    char text[128];
    std::snprintf(text, sizeof text, "%.2f MB/s (%.2fx)%s", megabytesPerSecond(measure),
                  megabytesPerSecond(measure) / megabytesPerSecond(yardstick), prefix);
    return text;
}

// Each format on each adversarial file, at 1 MiB and at 8 MiB, against zlib tried at every
// offset of random bytes: a linear scan keeps its 1 MiB rate at 8 MiB. The machine's speed
// moves from minute to minute, so the yardstick is measured again for every row, the faster of
// two runs just before it.
int adversarialTable(const std::string& korvel, const fs::path& corpus, double limitSeconds,
                     const std::map<std::string, Bytes (*)()>& makers) {
    writeIfMissing(corpus / "random.bin", randomCorpus);
    const auto measureYardstick = [&] {
        const Measure first = measureZlibPerOffset(corpus / "random.bin", limitSeconds);
        const Measure second = measureZlibPerOffset(corpus / "random.bin", limitSeconds);
        return megabytesPerSecond(first) >= megabytesPerSecond(second) ? first : second;
    };
    const auto runs = formatRuns();
    std::printf("One thread, -skip-1, limit %.0f s per run. Each cell: MB/s on 1 MiB (ratio to zlib per offset on "
                "random.bin, measured just before the row), then on 8 MiB, then the 8 MiB rate over the 1 MiB "
                "rate.\n\n| file | zlib per offset |",
                limitSeconds);
    for (const auto& run : runs) std::printf(" %s |", run.first.c_str());
    std::printf("\n|---|---|");
    for (std::size_t i = 0; i < runs.size(); ++i) std::printf("---|");
    std::printf("\n");
    for (const auto& [name, make] : makers) {
        if (name.rfind("adv-", 0) != 0) continue;
        const fs::path file = corpus / name;
        writeIfMissing(file, make);
        const std::uint64_t size = fs::file_size(file);
        const Measure yardstick = measureYardstick();
        std::printf("| %s | %.2f MB/s |", name.c_str(), megabytesPerSecond(yardstick));
        for (const auto& run : runs) {
            std::vector<std::string> args = run.second;
            args.insert(args.end(), {"--jobs=1", "-skip-1"});
            const Measure small = measureKorvel(korvel, args, file, limitSeconds, {1u << 20});
            const Measure whole = small.finished ? measureKorvel(korvel, args, file, limitSeconds) : Measure{};
            std::string cell = small.finished ? describe(small, 1u << 20, yardstick) : "over the limit at 1 MiB";
            if (small.finished) {
                cell += "; " + describe(whole, size, yardstick);
                char linearity[32];
                if (whole.finished && whole.bytes == size) {
                    std::snprintf(linearity, sizeof linearity, "; %.2f", megabytesPerSecond(whole) / megabytesPerSecond(small));
                    cell += linearity;
                }
            }
            std::printf(" %s |", cell.c_str());
            std::fflush(stdout);
        }
        std::printf("\n");
        std::fflush(stdout);  // before the next row's yardstick reports on stderr
    }
    return 0;
}

// What judging costs: every format on one thread, --list against --list --real and --real
// saving, the fastest of three alternating runs each; and a plain run against --real on the
// back-to-back streams, where a plain run writes every family's noise.
int triageTable(const std::string& korvel, const fs::path& corpus, double limitSeconds,
                const std::map<std::string, Bytes (*)()>& makers) {
    const auto fastest = [&](const std::vector<std::vector<std::string>>& runs, const fs::path& file) {
        std::vector<Measure> best(runs.size());
        for (int round = 0; round < 3; ++round) {
            for (std::size_t i = 0; i < runs.size(); ++i) {
                const Measure measure = measureKorvel(korvel, runs[i], file, limitSeconds, {fs::file_size(file)});
                if (measure.finished && (!best[i].finished || measure.seconds < best[i].seconds)) best[i] = measure;
            }
        }
        return best;
    };
    const auto cell = [](const Measure& measure, const Measure& base) {
        char text[96];
        if (!measure.finished) return std::string("over the limit");
        std::snprintf(text, sizeof text, "%.2f s (%.2fx), %.0f MiB", measure.seconds, measure.seconds / base.seconds,
                      static_cast<double>(measure.maxResidentKiB) / 1024);
        return std::string(text);
    };
    std::printf("Every format, --jobs=1, the fastest of three alternating runs; (x) = time over the first column's, "
                "then peak RSS.\n\n| file | --list | --list --real | --real, saving |\n|---|---|---|---|\n");
    for (const char* name : {"random.bin", "text.bin", "x86-64.bin", "zeros.bin", "adv-whole-executables.bin"}) {
        const fs::path file = corpus / name;
        writeIfMissing(file, makers.at(name));
        const auto best = fastest({{"--jobs=1", "--list"}, {"--jobs=1", "--list", "--real"}, {"--jobs=1", "--real"}}, file);
        std::printf("| %s | %s | %s | %s |\n", name, cell(best[0], best[0]).c_str(), cell(best[1], best[0]).c_str(),
                    cell(best[2], best[0]).c_str());
        std::fflush(stdout);
    }
    // The plain run writes some 10 GB: once is enough.
    const fs::path file = corpus / "back-to-back.bin";
    writeIfMissing(file, backToBackCorpus);
    const Measure plain = measureKorvel(korvel, {"--jobs=1", "-mem2"}, file, limitSeconds * 10, {fs::file_size(file)});
    const auto best = fastest({{"--jobs=1", "-mem2", "--real"}, {"--jobs=1", "-mem2", "--list"}}, file);
    std::printf("\n| 2 MiB of streams back to back, -mem2, --jobs=1 | plain run, saving | --real, saving | --list |\n"
                "|---|---|---|---|\n| back-to-back.bin | %s | %s | %s |\n",
                cell(plain, plain).c_str(), cell(best[0], plain).c_str(), cell(best[1], plain).c_str());
    return 0;
}

// The map of a 1 GiB sparse file: zeros but for a gzip member of 64 KiB of text at five places.
// The map must cost a small part of the scan, stay small, and show every member's stream as real.
int mapTable(const std::string& korvel, const fs::path& corpus, double limitSeconds) {
    const fs::path file = fs::absolute(corpus / "sparse-1g.bin");
    const std::vector<std::uint64_t> places{1ull << 20, 200ull << 20, 513ull << 20, 777ull << 20, 1000ull << 20};
    if (!fs::exists(file)) {
        const Bytes text = textCorpus();
        std::ofstream out(file, std::ios::binary);
        for (std::size_t i = 0; i < places.size(); ++i) {
            const Bytes plain(text.begin() + static_cast<std::ptrdiff_t>(i << 16),
                              text.begin() + static_cast<std::ptrdiff_t>((i + 1) << 16));
            Bytes member{0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
            const Bytes packed = deflateRaw(plain);
            member.insert(member.end(), packed.begin(), packed.end());
            const auto crc = static_cast<std::uint32_t>(crc32(0, plain.data(), static_cast<uInt>(plain.size())));
            const auto size = static_cast<std::uint32_t>(plain.size());
            for (const std::uint32_t word : {crc, size})
                for (int shift = 0; shift < 32; shift += 8) member.push_back(static_cast<std::uint8_t>(word >> shift));
            out.seekp(static_cast<std::streamoff>(places[i]));  // the holes read as zeros
            out.write(reinterpret_cast<const char*>(member.data()), static_cast<std::streamsize>(member.size()));
        }
        out.close();
        fs::resize_file(file, std::uint64_t{1} << 30);
    }
    const fs::path svg = fs::absolute(corpus / "sparse-1g-map.svg");
    const std::string mapOption = "--map=" + svg.string();
    std::printf("| run, every format, --jobs=2 | time | peak RSS | map | real streams shown |\n|---|---|---|---|---|\n");
    double plainSeconds = 0;
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--jobs=2", "--list"}, {"--jobs=2", "--list", mapOption}, {"--jobs=2", "--list", "--real", mapOption}}) {
        fs::remove(svg);
        const Measure measure = runKorvel(korvel, args, file, fs::file_size(file), limitSeconds);
        std::string command;
        for (const auto& arg : args) command += (command.empty() ? "" : " ") + (arg == mapOption ? "--map" : arg);
        if (!measure.finished) {
            std::printf("| %s | over the limit | | | |\n", command.c_str());
            continue;
        }
        if (plainSeconds == 0) plainSeconds = measure.seconds;
        std::string shown = "-";
        char mapCell[64] = "-";
        if (fs::exists(svg)) {
            std::ifstream in(svg);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            int real = 0;
            for (const std::uint64_t place : places) {
                char title[64];
                std::snprintf(title, sizeof title, "Deflate at 0x%08llX", static_cast<unsigned long long>(place + 10));
                // "..., <size> bytes, real; <evidence>"
                const auto at = text.find(title);
                const auto verdict = at == std::string::npos ? at : text.find(" bytes, ", at);
                real += verdict != std::string::npos && text.compare(verdict + 8, 4, "real") == 0;
            }
            shown = std::to_string(real) + " of " + std::to_string(places.size());
            std::snprintf(mapCell, sizeof mapCell, "%.0f KiB", static_cast<double>(text.size()) / 1024);
        }
        std::printf("| %s | %.1f s (%.3fx) | %.0f MiB | %s | %s |\n", command.c_str(), measure.seconds,
                    measure.seconds / plainSeconds, static_cast<double>(measure.maxResidentKiB) / 1024, mapCell,
                    shown.c_str());
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: korvel_bench <korvel binary> <corpus folder> [seconds per run] [files...]\n");
        return 2;
    }
    const std::string korvel = fs::absolute(argv[1]).string();
    const fs::path corpus = argv[2];
    const double limitSeconds = argc > 3 ? std::atof(argv[3]) : 30.0;
    fs::create_directories(corpus);
    const std::map<std::string, Bytes (*)()> makers{{"random.bin", randomCorpus},
                                                     {"zeros.bin", [] { return Bytes(corpusSize); }},
                                                     {"text.bin", textCorpus},
                                                     {"x86-64.bin", machineCodeCorpus},
                                                     {"worst-ones.bin", onesCorpus},
                                                     {"worst-stored-chain.bin", storedChainCorpus},
                                                     {"worst-dcl-literals.bin", dclLiteralChainCorpus},
                                                     {"adv-byte-runs.bin", byteRunsCorpus},
                                                     {"adv-periodic.bin", periodicCorpus},
                                                     {"adv-deflate-empty-fixed-chain.bin", emptyFixedChainCorpus},
                                                     {"adv-deflate-literal-fixed-chain.bin", literalFixedChainCorpus},
                                                     {"adv-deflate-stored-chain.bin", storedChainCorpus},
                                                     {"adv-deflate-tiny-stored-chain.bin", tinyStoredChainCorpus},
                                                     {"adv-deflate-empty-dynamic-chain.bin", emptyDynamicChainCorpus},
                                                     {"adv-deflate-literal-dynamic-chain.bin", literalDynamicChainCorpus},
                                                     {"adv-dcl-binary-literals.bin", dclLiteralChainCorpus},
                                                     {"adv-dcl-ascii-literals.bin", dclAsciiLiteralChainCorpus},
                                                     {"adv-dcl-ascii-matches.bin", dclAsciiMatchChainCorpus},
                                                     {"adv-dcl-binary-matches.bin", dclBinaryMatchChainCorpus},
                                                     {"adv-lzo-literal-runs.bin", lzoLiteralRunChainCorpus},
                                                     {"adv-nrv2-literals.bin", nrv2LiteralChainCorpus},
                                                     {"adv-split-zero-runs.bin", splitRunsCorpus<0x00>},
                                                     {"adv-split-ones-runs.bin", splitRunsCorpus<0xFF>},
                                                     {"adv-whole-executables.bin", wholeExecutablesCorpus},
                                                     {"adv-executables-and-libraries.bin", executablesAndLibrariesCorpus}};
    if (argc > 4 && std::string(argv[4]) == "adversarial") return adversarialTable(korvel, corpus, limitSeconds, makers);
    if (argc > 4 && std::string(argv[4]) == "triage") return triageTable(korvel, corpus, limitSeconds, makers);
    if (argc > 4 && std::string(argv[4]) == "map") return mapTable(korvel, corpus, limitSeconds);
    std::vector<std::string> files;
    for (int i = 4; i < argc; ++i) files.push_back(argv[i]);
    if (files.empty()) files = {"random.bin", "text.bin", "x86-64.bin", "zeros.bin"};
    for (const auto& name : files) {
        const auto maker = makers.find(name);
        if (maker != makers.end()) writeIfMissing(corpus / name, maker->second);
    }

    // One thread each; the last column is every format on two threads.
    const auto runs = formatRuns();
    const std::vector<std::string> twoJobs{"--jobs=2", "-skip-1"};

    std::printf("Throughput with -skip-1 (nothing saved), limit %.0f s per run; (x) = ratio to zlib's raw inflate "
                "tried at every offset, measured in this run.\n\n",
                limitSeconds);
    std::printf("| file | zlib per offset |");
    for (const auto& run : runs) std::printf(" %s |", run.first.c_str());
    std::printf(" all, --jobs=2 (of --jobs=1; 4 KiB: time of --jobs=1) | peak RSS, all | LZO library per offset | NRV2B library per offset | NRV2D library per offset |\n|---|---|");
    for (std::size_t i = 0; i < runs.size(); ++i) std::printf("---|");
    std::printf("---|---|---|---|---|\n");
    for (const auto& name : files) {
        const fs::path file = corpus / name;
        const std::uint64_t size = fs::file_size(file);
        const Measure yardstick = measureZlibPerOffset(file, limitSeconds);
        std::printf("| %s | %.2f MB/s%s |", name.c_str(), megabytesPerSecond(yardstick),
                    yardstick.bytes < size ? " [prefix]" : "");
        std::fflush(stdout);
        long residentKiB = 0;
        Measure oneJob;
        for (const auto& run : runs) {
            std::vector<std::string> args = run.second;
            args.push_back("--jobs=1");
            args.push_back("-skip-1");
            const Measure measure = measureKorvel(korvel, args, file, limitSeconds);
            std::string cell = describe(measure, size, yardstick);
            // Linear scans keep their speed as the file grows: the whole file against its first MiB.
            if (measure.finished && measure.bytes == size && size > (1u << 20)) {
                const Measure head = measureKorvel(korvel, args, file, limitSeconds, {1u << 20});
                char linearity[32];
                std::snprintf(linearity, sizeof linearity, ", %.2f of 1 MiB",
                              megabytesPerSecond(measure) / megabytesPerSecond(head));
                if (head.finished) cell += linearity;
            }
            std::printf(" %s |", cell.c_str());
            std::fflush(stdout);
            residentKiB = measure.maxResidentKiB;
            oneJob = measure;
        }
        // One and two threads alternately, best of three each: the machine's noise moves single
        // runs more than the ratio itself.
        const std::vector<std::string> oneJobAll{"--jobs=1", "-skip-1"};
        Measure one = oneJob, two = measureKorvel(korvel, twoJobs, file, limitSeconds);
        for (int round = 0; round < 2 && one.finished && two.finished && one.bytes == two.bytes; ++round) {
            const auto best = [](Measure& kept, const Measure& next) {
                if (next.finished && next.bytes == kept.bytes && next.seconds < kept.seconds) kept = next;
            };
            best(one, measureKorvel(korvel, oneJobAll, file, limitSeconds, {one.bytes}));
            best(two, measureKorvel(korvel, twoJobs, file, limitSeconds, {two.bytes}));
        }
        std::string cell = describe(two, size, yardstick);
        if (two.finished && one.finished && two.bytes == one.bytes) {
            // A 4 KiB input is one chunk: the best of many runs shows what starting threads costs.
            const auto bestOf = [&](const std::vector<std::string>& args) {
                double best = 1e9;
                for (int i = 0; i < 30; ++i)
                    best = std::min(best, measureKorvel(korvel, args, file, limitSeconds, {4096}).seconds);
                return best;
            };
            char ratios[96];
            std::snprintf(ratios, sizeof ratios, ", %.2fx of --jobs=1; 4 KiB: %.2f", one.seconds / two.seconds,
                          bestOf(twoJobs) / bestOf(oneJobAll));
            cell += ratios;
        }
        std::printf(" %s |", cell.c_str());
        std::fflush(stdout);
        std::printf(" %.1f MiB |", static_cast<double>(residentKiB) / 1024);
        const auto lzo = [](const std::uint8_t* source, std::size_t length, std::uint8_t* dest, std::size_t capacity) {
            lzo_uint produced = capacity;
            return lzo1x_decompress_safe(source, length, dest, &produced, nullptr);
        };
        const auto uclWith = [](auto decoder) {
            return [decoder](const std::uint8_t* source, std::size_t length, std::uint8_t* dest, std::size_t capacity) {
                ucl_uint produced = static_cast<ucl_uint>(capacity);
                return decoder(source, static_cast<ucl_uint>(std::min<std::size_t>(length, 0xFFFFFFFF)), dest, &produced,
                               nullptr);
            };
        };
        std::printf(" %s |", describe(measureLibraryPerOffset(file, limitSeconds, lzo), size, yardstick).c_str());
        std::fflush(stdout);
        std::printf(" %s |", describe(measureLibraryPerOffset(file, limitSeconds, uclWith(ucl_nrv2b_decompress_safe_8)),
                                      size, yardstick).c_str());
        std::fflush(stdout);
        std::printf(" %s |\n", describe(measureLibraryPerOffset(file, limitSeconds, uclWith(ucl_nrv2d_decompress_safe_8)),
                                        size, yardstick).c_str());
        std::fflush(stdout);
    }
    return 0;
}
