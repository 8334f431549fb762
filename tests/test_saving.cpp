// The size rules, file naming, messages and write failures of saving a decoded stream.
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
#include <string>

#include "formats/lzo_unpacker.h"
#include "test_support.h"

namespace {

class SavingTest : public testing::Test {
protected:
    SavingTest() : scope_(Bytes(16), 64) {
        Unpacker::runOptions.outPrefix = dir_.path() + "/";
        Unpacker::writeFailed = false;
        for (std::uint32_t i = 0; i <= 64; ++i) Unpacker::scanState.outputBuffer[i] = static_cast<std::uint8_t>('a' + i % 26);
    }
    ~SavingTest() override { Unpacker::writeFailed = false; }

    // Saves `size` bytes found at `offset`; returns saveResult's answer and what it printed.
    bool save(std::uint32_t size, std::uint64_t offset, std::string* printed = nullptr) {
        Unpacker::scanState.outputSize = size;
        Unpacker::scanState.currentOffset = offset;
        testing::internal::CaptureStdout();
        const bool saved = unpacker_.saveResult();
        std::fflush(stdout);
        const std::string text = testing::internal::GetCapturedStdout();
        if (printed) *printed = text;
        return saved;
    }
    std::string savedPath(const std::string& name) const { return dir_.file("LZO/" + name); }

    TempDir dir_;
    ScopedScanInput scope_;
    LzoUnpacker unpacker_{"LZO"};
};

TEST_F(SavingTest, SizeRulesAndStopCounting) {
    const struct {
        std::uint32_t size, skip;
        std::int32_t stopCount, stopCountAfter;
        bool saved;
        const char* message;
    } cases[] = {
        {0, 0, 0, 0, false, ""},  // an empty stream is never saved
        {5, 5, 1, 1, false, ""},  // equal to skipSize: too small
        {6, 5, 1, 0, true, "LZO: Succeeded uncompressing 6 bytes at: 6699 (0x1a2b)\n"},
        {63, 0, -1, -2, true, "LZO: Succeeded uncompressing 63 bytes at: 6699 (0x1a2b)\n"},
        {64, 0, 1, 1, false, "LZO: Failed! Output buffer 0 Mb exhausted at: 6699 (0x1a2b)\n"},
        {65, 0, 1, 1, false, "LZO: Failed! Output buffer 0 Mb exhausted at: 6699 (0x1a2b)\n"},
        {7, 0xFFFFFFFF, 1, 1, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << " skip " << c.skip);
        std::remove(savedPath("00001A2B").c_str());
        auto& options = Unpacker::runOptions;
        options.skipSize = c.skip;
        options.stopCount = c.stopCount;
        options.stopEnabled = c.stopCount != 0;
        std::string printed;
        EXPECT_EQ(save(c.size, 0x1A2B, &printed), c.saved);
        EXPECT_EQ(printed, c.message);
        EXPECT_EQ(options.stopCount, c.stopCountAfter);
        ASSERT_EQ(fileExists(savedPath("00001A2B")), c.saved);
        if (c.saved) {
            const Bytes content = readFile(savedPath("00001A2B"));
            EXPECT_EQ(content, Bytes(Unpacker::scanState.outputBuffer, Unpacker::scanState.outputBuffer + c.size));
        }
    }
    EXPECT_FALSE(Unpacker::writeFailed);
}

TEST_F(SavingTest, DefaultPrefixIsPutInAtTheFirstSave) {
    const std::string previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    Unpacker::runOptions.outPrefix.clear();
    EXPECT_TRUE(save(3, 16));
    std::filesystem::current_path(previous);
    EXPECT_EQ(Unpacker::runOptions.outPrefix, "!Out");
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

// A failed write prints the failure line instead of success, leaves no file, is not counted
// and makes the run end with status 1.
void expectWriteFailure(bool saved, const std::string& printed, const std::string& path) {
    EXPECT_FALSE(saved);
    EXPECT_EQ(printed, "LZO: Failed! Cannot write " + path + "\n");
    EXPECT_TRUE(Unpacker::writeFailed);
    EXPECT_EQ(Unpacker::runOptions.stopCount, 1);
}

TEST_F(SavingTest, PrefixInAMissingFolderIsAWriteFailure) {
    Unpacker::runOptions.outPrefix = dir_.file("missing/x");
    Unpacker::runOptions.stopCount = 1;
    Unpacker::runOptions.stopEnabled = true;
    std::string printed;
    const bool saved = save(5, 0x20, &printed);
    expectWriteFailure(saved, printed, dir_.file("missing/xLZO/00000020"));
}

TEST_F(SavingTest, OverlongPathIsAWriteFailure) {
    Unpacker::runOptions.outPrefix = dir_.path() + "/" + std::string(5000, 'p');
    Unpacker::runOptions.stopCount = 1;
    Unpacker::runOptions.stopEnabled = true;
    std::string printed;
    const bool saved = save(5, 0x20, &printed);
    expectWriteFailure(saved, printed, Unpacker::runOptions.outPrefix + "LZO/00000020");
}

TEST_F(SavingTest, PlantedLinkIsNotFollowed) {
    std::filesystem::create_directory(dir_.file("LZO"));
    const std::string target = dir_.file("outside");
    writeFile(target, {'k', 'e', 'e', 'p'});
    std::filesystem::create_symlink(target, savedPath("00000020"));
    Unpacker::runOptions.stopCount = 1;
    Unpacker::runOptions.stopEnabled = true;
    std::string printed;
    const bool saved = save(5, 0x20, &printed);
    expectWriteFailure(saved, printed, savedPath("00000020"));
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
    Unpacker::runOptions.stopCount = 1;
    Unpacker::runOptions.stopEnabled = true;
    std::string printed;
    const bool saved = save(5, 0x20, &printed);
    expectWriteFailure(saved, printed, savedPath("00000020"));
    EXPECT_FALSE(fileExists(savedPath("00000020")));
}

// A write cut short (as on a full disk) removes the partial file. The file size limit makes
// the write fail the same way without needing a full file system.
TEST_F(SavingTest, ShortWriteRemovesThePartialFile) {
    ScopedScanInput big(Bytes(16), 1 << 20);
    Unpacker::runOptions.outPrefix = dir_.path() + "/";
    Unpacker::runOptions.stopCount = 1;
    Unpacker::runOptions.stopEnabled = true;
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
    expectWriteFailure(saved, printed, savedPath("00000020"));
    EXPECT_FALSE(fileExists(savedPath("00000020")));
}

// A real full disk: a tiny tmpfs, where the system lets this user mount one.
TEST_F(SavingTest, FullDiskRemovesThePartialFile) {
    const std::string mountPoint = dir_.file("tiny");
    std::filesystem::create_directory(mountPoint);
    if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=8k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    ScopedScanInput big(Bytes(16), 1 << 20);
    Unpacker::runOptions.outPrefix = mountPoint + "/";
    Unpacker::runOptions.stopCount = 1;
    Unpacker::runOptions.stopEnabled = true;
    std::string printed;
    const bool saved = save(100000, 0x20, &printed);
    const bool partialLeft = fileExists(mountPoint + "/LZO/00000020");
    umount(mountPoint.c_str());
    expectWriteFailure(saved, printed, mountPoint + "/LZO/00000020");
    EXPECT_FALSE(partialLeft);
}

TEST(OpenInputTest, RefusesWhatIsNotANonEmptyRegularFile) {
    TempDir dir;
    writeFile(dir.file("empty"), {});
    writeFile(dir.file("data"), {1, 2, 3});
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    LzoUnpacker unpacker("LZO");
    for (const char* name : {"empty", "missing", "fifo", ""}) {
        EXPECT_FALSE(unpacker.openInput(dir.file(name).c_str())) << name;  // "" is the folder
        EXPECT_EQ(Unpacker::scanState.fileHandle, -1);
        EXPECT_EQ(Unpacker::scanState.inputSize, 0u);
    }
    Unpacker::runOptions.bufferCapacity = 0;  // a zero-size buffer is valid
    ASSERT_TRUE(unpacker.openInput(dir.file("data").c_str()));
    EXPECT_TRUE(unpacker.openInput("another name is ignored"));
    EXPECT_EQ(Unpacker::scanState.inputSize, 3u);
    EXPECT_EQ(Unpacker::scanState.inputView[2], 3);
    EXPECT_EQ(Unpacker::scanState.inputView[3], 0);  // the spare byte is readable
    EXPECT_TRUE(unpacker.closeInput());
    EXPECT_TRUE(unpacker.closeInput());
    EXPECT_EQ(Unpacker::scanState.fileHandle, -1);
    Unpacker::runOptions = RunOptions{};
    Unpacker::scanState = ScanState{};
}

TEST(OpenInputTest, SpareByteFollowsAWholeNumberOfPages) {
    TempDir dir;
    const Bytes page(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), 0xAB);
    writeFile(dir.file("page"), page);
    LzoUnpacker unpacker("LZO");
    Unpacker::runOptions.bufferCapacity = 1;
    ASSERT_TRUE(unpacker.openInput(dir.file("page").c_str()));
    EXPECT_EQ(Unpacker::scanState.inputView[page.size() - 1], 0xAB);
    EXPECT_EQ(Unpacker::scanState.inputView[page.size()], 0);
    Unpacker::scanState.outputBuffer[1] = 1;  // capacity + 1 is writable
    unpacker.closeInput();
    Unpacker::runOptions = RunOptions{};
    Unpacker::scanState = ScanState{};
}

}  // namespace
