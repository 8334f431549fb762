#include "test_support.h"

#include <fcntl.h>
#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

extern char** environ;

namespace korvel {

ScopedScanInput::ScopedScanInput(const Bytes& input, std::uint32_t capacity)
    : inputStorage_(input), outputStorage_(std::size_t{capacity} + 1, 0) {
    inputStorage_.push_back(0);  // the spare byte after the input
    state.inputView = inputStorage_.data();
    state.inputSize = input.size();
    state.outputBuffer = outputStorage_.data();
    state.sizes.bufferCapacity = capacity;
}

Bytes ScopedScanInput::output() const {
    const std::size_t size = state.outputSize;
    if (size > outputStorage_.size()) throw std::logic_error("outputSize beyond the buffer");
    return Bytes(outputStorage_.begin(), outputStorage_.begin() + static_cast<std::ptrdiff_t>(size));
}

std::uint8_t ScopedScanInput::spareOutputByte() const { return outputStorage_.back(); }

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Read-only folders made by a test must not stop the clean-up.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored)) {
        if (entry.is_directory(ignored) && !entry.is_symlink(ignored))
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(path_, ignored);
}

namespace {

std::string readAll(int fd) {
    std::string text;
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(got));
    return text;
}

}  // namespace

KorvelProcess::KorvelProcess(const std::vector<std::string>& args, const std::string& workDir, bool measureMemory,
                             const std::string& wrapper)
    : measureMemory_(measureMemory) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, capture_.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, capture_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());

    std::vector<std::string> copies;
    if (measureMemory) copies = {PEAK_MEMORY_BINARY, capture_.file("peak")};
    if (!wrapper.empty()) copies.insert(copies.end(), {"/bin/sh", "-c", wrapper});
    copies.push_back(KORVEL_BINARY);
    copies.insert(copies.end(), args.begin(), args.end());
    const std::string program = copies.front();
    std::vector<char*> argv;
    for (auto& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawnError = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawnError));
    pid_ = pid;
}

KorvelProcess::~KorvelProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

RunResult KorvelProcess::wait() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    pid_ = -1;
    RunResult result;
    if (measureMemory_) {
        const Bytes peak = readFile(capture_.file("peak"));
        result.maxResidentKiB = std::stol(std::string(peak.begin(), peak.end()));
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const int outFd = open(capture_.file("stdout").c_str(), O_RDONLY);
    const int errFd = open(capture_.file("stderr").c_str(), O_RDONLY);
    result.standardOutput = readAll(outFd);
    result.standardError = readAll(errFd);
    close(outFd);
    close(errFd);
    return result;
}

RunResult runKorvel(const std::vector<std::string>& args, const std::string& workDir, const std::string& wrapper) {
    return KorvelProcess(args, workDir, false, wrapper).wait();
}

RunResult runKorvelMeasuringMemory(const std::vector<std::string>& args, const std::string& workDir) {
    return KorvelProcess(args, workDir, true).wait();
}

void writeFile(const std::string& path, const Bytes& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

Bytes randomBytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
    return bytes;
}

Bytes textBytes(std::size_t count, std::uint32_t seed) {
    static const char* const words[] = {
        "the",    "offset", "stream", "buffer", "window", "scan",  "found", "byte",   "match",
        "length", "header", "table",  "input",  "output", "code",  "block", "decode", "literal",
        "of",     "and",    "a",      "to",     "in",     "is",    "with",  "for",    "data"};
    std::mt19937 generator(seed);
    Bytes bytes;
    bytes.reserve(count + 16);
    while (bytes.size() < count) {
        const char* word = words[generator() % std::size(words)];
        bytes.insert(bytes.end(), word, word + std::strlen(word));
        const auto punctuation = generator() % 16;
        bytes.push_back(punctuation == 0 ? '.' : punctuation == 1 ? '\n' : ' ');
    }
    bytes.resize(count);
    return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes joined;
    for (const auto& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

Bytes runsOfEveryByte(std::size_t length) {
    Bytes runs;
    for (unsigned value = 0; value < 256; ++value)
        runs.insert(runs.end(), length - 90 + value % 7 * 30, static_cast<std::uint8_t>(value));
    return runs;
}

Bytes periodicPatterns(std::size_t length, std::uint32_t seed) {
    Bytes periods;
    std::mt19937 random(seed);
    for (unsigned period = 2; period <= 16; ++period) {
        Bytes pattern(period);
        for (auto& byte : pattern) byte = static_cast<std::uint8_t>(random());
        for (std::size_t i = 0; i < length; ++i) periods.push_back(pattern[i % period]);
    }
    return periods;
}

Bytes wholeExecutable(std::size_t count) {
    std::ifstream file("/proc/self/exe", std::ios::binary);
    Bytes bytes(count);
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(file.gcount()));
    return bytes;
}

}  // namespace korvel
