// The size rules, file naming, messages and write failures of saving a decoded stream, and
// opening the input.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>

#include "engine/mapped_input.h"
#include "formats/format_table.h"
#include "recording_sink.h"
#include "test_support.h"
#include "output/outer_filter.h"
#include "output/saving.h"

using namespace korvel;

namespace {

const FormatDescriptor& lzo = *findFormat("lzo");

class SavingTest : public testing::Test {
protected:
    SavingTest() : prefix_(dir_.path() + "/"), buffer_(1 << 20) {
        for (std::size_t i = 0; i < buffer_.size(); ++i) buffer_[i] = static_cast<std::uint8_t>('a' + i % 26);
    }

    // Saves `size` bytes found at `offset` through a sink with the fixture's prefix; returns its
    // answer and what it printed.
    bool save(std::uint32_t size, std::uint64_t offset, std::string* printed = nullptr) {
        CollectedLines lines;
        FileSink sink(prefix_, 64, false, lines);
        const bool saved = sink.save({&lzo, offset, size, 0, {buffer_.data(), size}});
        if (printed) *printed = lines.text;
        writeFailed_ = sink.writeFailed();
        return saved;
    }
    std::string savedPath(const std::string& name) const { return dir_.file("LZO/" + name); }

    TempDir dir_;
    std::string prefix_;
    Bytes buffer_;
    bool writeFailed_ = false;
};

TEST_F(SavingTest, SizeRulesDecideWhatIsSavedOrReported) {
    using Verdict = SizeRules::Verdict;
    const struct {
        std::uint32_t size, skip;
        Verdict verdict;
        const char* message;
    } cases[] = {
        {0, 0, Verdict::Dropped, ""},  // an empty stream is never saved
        {5, 5, Verdict::Dropped, ""},  // equal to skipSize: too small
        {6, 5, Verdict::Kept, "LZO: Succeeded uncompressing 6 bytes at: 6699 (0x1a2b)\n"},
        {63, 0, Verdict::Kept, "LZO: Succeeded uncompressing 63 bytes at: 6699 (0x1a2b)\n"},
        {64, 0, Verdict::Exhausted, "LZO: Failed! Output buffer 0 Mb exhausted at: 6699 (0x1a2b)\n"},
        {65, 0, Verdict::Exhausted, "LZO: Failed! Output buffer 0 Mb exhausted at: 6699 (0x1a2b)\n"},
        {7, 0xFFFFFFFF, Verdict::Dropped, ""},
        {64, 64, Verdict::Dropped, ""},  // skip comes before the exhausted buffer
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << " skip " << c.skip);
        std::remove(savedPath("00001A2B").c_str());
        const Verdict verdict = SizeRules{c.skip, 64}.classify(c.size);
        EXPECT_EQ(verdict, c.verdict);
        std::string printed;
        if (verdict == Verdict::Kept) {
            EXPECT_TRUE(save(c.size, 0x1A2B, &printed));
        } else if (verdict == Verdict::Exhausted) {
            CollectedLines lines;
            FileSink sink(prefix_, 64, false, lines);
            sink.exhausted({&lzo, 0x1A2B, c.size, 0, {}});
            printed = lines.text;
        }
        EXPECT_EQ(printed, c.message);
        ASSERT_EQ(fileExists(savedPath("00001A2B")), verdict == Verdict::Kept);
        if (verdict == Verdict::Kept) {
            EXPECT_EQ(readFile(savedPath("00001A2B")), Bytes(buffer_.begin(), buffer_.begin() + c.size));
        }
    }
    EXPECT_FALSE(writeFailed_);
}

TEST_F(SavingTest, EmptyPrefixIsTheDefault) {
    const std::string previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    FileSink sink("", 64);
    EXPECT_EQ(sink.outPrefix(), "!Out");
    EXPECT_TRUE(sink.save({&lzo, 16, 3, 0, {buffer_.data(), 3}}));
    std::filesystem::current_path(previous);
    EXPECT_EQ(readFile(dir_.file("!OutLZO/00000010")), (Bytes{'a', 'b', 'c'}));
}

TEST_F(SavingTest, OffsetsPast4GiBGetLongerNamesAndFullMessages) {
    std::string printed;
    EXPECT_TRUE(save(2, 0x123456789, &printed));
    EXPECT_EQ(printed, "LZO: Succeeded uncompressing 2 bytes at: 4886718345 (0x123456789)\n");
    EXPECT_TRUE(fileExists(savedPath("123456789")));
}

TEST_F(SavingTest, ExistingFileIsOverwritten) {
    EXPECT_TRUE(save(10, 1));
    EXPECT_TRUE(save(2, 1));
    EXPECT_EQ(readFile(savedPath("00000001")), (Bytes{'a', 'b'}));
}

// A failed write prints the failure line instead of success, leaves no file, and marks the run
// to end with status 1. (That it does not count toward -stop is the engine's, tested there.)
void expectWriteFailure(bool saved, bool writeFailed, const std::string& printed, const std::string& path) {
    EXPECT_FALSE(saved);
    EXPECT_EQ(printed, "LZO: Failed! Cannot write " + path + "\n");
    EXPECT_TRUE(writeFailed);
}

TEST_F(SavingTest, PrefixInAMissingFolderIsAWriteFailure) {
    prefix_ = dir_.file("missing/x");
    std::string printed;
    const bool saved = save(5, 0x20, &printed);
    expectWriteFailure(saved, writeFailed_, printed, dir_.file("missing/xLZO/00000020"));
}

TEST_F(SavingTest, OverlongPathIsAWriteFailure) {
    prefix_ = dir_.path() + "/" + std::string(5000, 'p');
    std::string printed;
    const bool saved = save(5, 0x20, &printed);
    expectWriteFailure(saved, writeFailed_, printed, prefix_ + "LZO/00000020");
}

TEST_F(SavingTest, PlantedLinkIsNotFollowed) {
    std::filesystem::create_directory(dir_.file("LZO"));
    const std::string target = dir_.file("outside");
    writeFile(target, {'k', 'e', 'e', 'p'});
    std::filesystem::create_symlink(target, savedPath("00000020"));
    std::string printed;
    const bool saved = save(5, 0x20, &printed);
    expectWriteFailure(saved, writeFailed_, printed, savedPath("00000020"));
    EXPECT_EQ(readFile(target), (Bytes{'k', 'e', 'e', 'p'}));
}

// Makes a folder unwritable for the life of the object: by its mode for an ordinary user, by
// the immutable attribute for root, whom modes do not stop.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const std::string& path) : path_(path) {
        if (geteuid() != 0) {
            active_ = chmod(path.c_str(), 0555) == 0;
            return;
        }
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        active_ = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                  (flags |= FS_IMMUTABLE_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
        if (fd >= 0) close(fd);
    }
    ~ReadOnlyFolder() {
        if (!active_) return;
        if (geteuid() != 0) {
            chmod(path_.c_str(), 0755);
            return;
        }
        const int fd = open(path_.c_str(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        if (fd >= 0) close(fd);
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;
    bool active() const { return active_; }

private:
    std::string path_;
    bool active_ = false;
};

TEST_F(SavingTest, ReadOnlyFolderIsAWriteFailure) {
    std::filesystem::create_directory(dir_.file("LZO"));
    const ReadOnlyFolder readOnly(dir_.file("LZO"));
    if (!readOnly.active()) GTEST_SKIP() << "this file system cannot make a folder read-only for this user";
    std::string printed;
    const bool saved = save(5, 0x20, &printed);
    expectWriteFailure(saved, writeFailed_, printed, savedPath("00000020"));
    EXPECT_FALSE(fileExists(savedPath("00000020")));
}

// A write cut short (as on a full disk) removes the partial file. The file size limit makes
// the write fail the same way without needing a full file system.
TEST_F(SavingTest, ShortWriteRemovesThePartialFile) {
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = previous;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string printed;
    const bool saved = save(100000, 0x20, &printed);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    expectWriteFailure(saved, writeFailed_, printed, savedPath("00000020"));
    EXPECT_FALSE(fileExists(savedPath("00000020")));
}

// A real full disk: a tiny tmpfs, where the system lets this user mount one.
TEST_F(SavingTest, FullDiskRemovesThePartialFile) {
    const std::string mountPoint = dir_.file("tiny");
    std::filesystem::create_directory(mountPoint);
    if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=8k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    prefix_ = mountPoint + "/";
    std::string printed;
    const bool saved = save(100000, 0x20, &printed);
    const bool partialLeft = fileExists(mountPoint + "/LZO/00000020");
    umount(mountPoint.c_str());
    expectWriteFailure(saved, writeFailed_, printed, mountPoint + "/LZO/00000020");
    EXPECT_FALSE(partialLeft);
}

// The sink's own rules, with its lines and files kept in memory: what it writes where, what a
// refused write or a lost line does, and that listing touches no file.
TEST(FileSinkTest, WritesThroughTheLinesAndFilesItIsGiven) {
    const Bytes bytes = {'x', 'y', 'z'};
    const std::string longPrefix = std::string(600, 'p') + "/";  // a line longer than the usual buffer
    const struct {
        const char* name;
        bool listOnly, refuse;
        int lineError;
        std::string lines;
        std::size_t files;
        std::string prefix = "out/";
    } cases[] = {
        {"saved", false, false, 0, "LZO: Succeeded uncompressing 3 bytes at: 16 (0x10)\n", 1},
        {"listed", true, false, 0, "LZO: Succeeded uncompressing 3 bytes at: 16 (0x10)\n", 0},
        {"refused", false, true, 0, "LZO: Failed! Cannot write out/LZO/00000010\n", 0},
        {"refused, long path", false, true, 0, "LZO: Failed! Cannot write " + longPrefix + "LZO/00000010\n", 0, longPrefix},
        {"lines lost", false, false, ENOSPC, "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CollectedLines lines;
        lines.failWith = c.lineError;
        MemoryFiles files;
        files.refuse = c.refuse;
        FileSink sink(c.prefix, 64, c.listOnly, lines, files);
        EXPECT_EQ(sink.save({&lzo, 16, 3, 0, bytes}), !c.refuse);
        EXPECT_EQ(lines.text, c.lines);
        EXPECT_EQ(sink.writeFailed(), c.refuse);
        EXPECT_EQ(sink.failed(), c.lineError != 0);
        EXPECT_EQ(sink.outputError(), c.lineError);
        EXPECT_EQ(sink.keptCount(), c.refuse ? 0u : 1u);
        ASSERT_EQ(files.files.size(), c.files);
        if (c.files != 0) {
            EXPECT_EQ(files.files.begin()->first, "out/LZO/00000010");
            EXPECT_EQ(files.files.begin()->second, bytes);
        }
        EXPECT_EQ(files.folders.empty(), c.listOnly);
    }
}

TEST(NestingRuleTest, HidesWhatLiesInsideAnEarlierStreamOfItsFormat) {
    const FormatDescriptor& deflate = *findFormat("deflate");
    const struct {
        std::uint64_t offset, end;
        std::uint32_t size;
        bool hidden;
    } cases[] = {
        {100, 200, 500, false},
        {120, 200, 600, true},    // ends within: hidden, larger or not
        {150, 230, 100, true},    // reads past the end, but no larger
        {190, 400, 900, false},   // reads past the end and is larger: a stream of its own
        {195, 199, 5, true},      // inside both
        {210, 230, 2, true},      // inside the second only
        {400, 410, 9, false},     // where the second ended: outside
        {405, 0, 70000, false},   // a filled buffer: where it ends is not known
    };
    NestingRule rule;
    for (const auto& c : cases) {
        const FoundStream stream{&deflate, c.offset, c.size, c.end, {}};
        EXPECT_EQ(rule.hides(stream), c.hidden) << c.offset;
        if (!c.hidden) rule.add(stream);
    }
}

TEST(MappedInputTest, RefusesWhatIsNotANonEmptyRegularFile) {
    TempDir dir;
    writeFile(dir.file("empty"), {});
    writeFile(dir.file("data"), {1, 2, 3});
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    using Result = MappedInput::OpenResult;
    const std::pair<const char*, Result> cases[] = {
        {"empty", Result::Empty}, {"missing", Result::NotReadable}, {"fifo", Result::NotReadable},
        {"", Result::NotReadable},  // the folder
    };
    for (const auto& [name, expected] : cases) {
        MappedInput input;
        EXPECT_EQ(input.open(dir.file(name).c_str()), expected) << name;
        EXPECT_EQ(input.data(), nullptr) << name;
        EXPECT_EQ(input.size(), 0u) << name;
    }
    MappedInput input;
    ASSERT_EQ(input.open(dir.file("data").c_str()), Result::Opened);
    EXPECT_EQ(input.open("another name is ignored"), Result::Opened);
    EXPECT_EQ(input.size(), 3u);
    EXPECT_EQ(input.data()[2], 3);
    EXPECT_EQ(input.data()[3], 0);  // the spare byte is readable
}

TEST(MappedInputTest, SpareByteFollowsAWholeNumberOfPages) {
    TempDir dir;
    const Bytes page(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), 0xAB);
    writeFile(dir.file("page"), page);
    MappedInput input;
    ASSERT_EQ(input.open(dir.file("page").c_str()), MappedInput::OpenResult::Opened);
    EXPECT_EQ(input.data()[page.size() - 1], 0xAB);
    EXPECT_EQ(input.data()[page.size()], 0);
}

}  // namespace
