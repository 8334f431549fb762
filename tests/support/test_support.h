// Helpers shared by the tests: in-memory scan state, temporary folders, running the binary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/unpacker.h"

namespace korvel {

using Bytes = std::vector<std::uint8_t>;

// A scan state over an in-memory input (with one spare byte after it, as the real mapping has)
// and a zero-filled output buffer of `capacity` + 1 bytes, for unpackers made with `state`.
class ScopedScanInput {
public:
    ScopedScanInput(const Bytes& input, std::uint32_t capacity);
    ScopedScanInput(const ScopedScanInput&) = delete;
    ScopedScanInput& operator=(const ScopedScanInput&) = delete;

    // Output produced by the last attempt, as outputSize says.
    Bytes output() const;
    // The spare byte after the capacity: only the UCL decoders may touch it.
    std::uint8_t spareOutputByte() const;

private:
    std::vector<std::uint8_t> inputStorage_;
    std::vector<std::uint8_t> outputStorage_;

public:
    ScanState state;
};

// A fresh empty folder under the system's temporary directory, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct RunResult {
    int exitStatus = -1;
    std::string standardOutput;
    std::string standardError;
    long maxResidentKiB = 0;  // peak resident memory, when measured
};

// The built korvel binary running with `args` in folder `workDir`.
class KorvelProcess {
public:
    // `wrapper`, when given, is a shell script that runs the binary with its arguments as
    // `"$0" "$@"`: to limit its memory or redirect its output.
    KorvelProcess(const std::vector<std::string>& args, const std::string& workDir, bool measureMemory = false,
                  const std::string& wrapper = "");
    ~KorvelProcess();  // kills the process if it was not waited for
    KorvelProcess(const KorvelProcess&) = delete;
    KorvelProcess& operator=(const KorvelProcess&) = delete;
    RunResult wait();

private:
    TempDir capture_;
    int pid_ = -1;
    bool measureMemory_;
};

// Runs the built korvel binary with `args` in folder `workDir` and waits for it.
RunResult runKorvel(const std::vector<std::string>& args, const std::string& workDir, const std::string& wrapper = "");
// The same, with the run's peak resident memory.
RunResult runKorvelMeasuringMemory(const std::vector<std::string>& args, const std::string& workDir);

void writeFile(const std::string& path, const Bytes& content);
Bytes readFile(const std::string& path);
bool fileExists(const std::string& path);
// Deterministic pseudo-random bytes.
Bytes randomBytes(std::size_t count, std::uint32_t seed);
// Deterministic English-like text.
Bytes textBytes(std::size_t count, std::uint32_t seed);
Bytes concat(std::initializer_list<Bytes> parts);
// Inputs that make walks go far from many offsets: a run of every byte value (of `length`
// bytes, give or take 90), and random patterns of each period from 2 to 16, each repeated to
// `length` bytes.
Bytes runsOfEveryByte(std::size_t length);
Bytes periodicPatterns(std::size_t length, std::uint32_t seed);
// The first `count` bytes of this test program's file: headers, code, tables and data.
Bytes wholeExecutable(std::size_t count);

}  // namespace korvel
