// The real containers' stream lists, checked against the libraries: every listed stream must
// decode from exactly its bytes to exactly its size. This proves the structure parsers, so that
// korvel can later be judged against them.
#include <gtest/gtest.h>
#include <lzo/lzo1x.h>
#include <zlib.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "real_containers.h"
#include "test_support.h"

using namespace korvel;

// Beside RealStream, for gtest to find it when a list of streams differs.
namespace korvel {
static void PrintTo(const RealStream& stream, std::ostream* out) {
    *out << stream.format << " at " << stream.offset << ".." << stream.end << " of " << stream.size;
}
}  // namespace korvel

namespace {

testing::AssertionResult decodesExactly(const Bytes& image, const RealStream& stream) {
    if (stream.offset >= stream.end || stream.end > image.size())
        return testing::AssertionFailure() << "outside the container";
    const Bytef* input = image.data() + stream.offset;
    const std::uint64_t length = stream.end - stream.offset;
    if (stream.format == "LZO") {
        Bytes out(stream.size);
        lzo_uint size = out.size();
        // With room for exactly `size` bytes, a longer stream overruns and a shorter one shows.
        const int status = lzo1x_decompress_safe(input, length, out.data(), &size, nullptr);
        if (status != LZO_E_OK) return testing::AssertionFailure() << "LZO status " << status;
        if (size != stream.size) return testing::AssertionFailure() << "decodes to " << size << " bytes";
        return testing::AssertionSuccess();
    }
    if (stream.format != "Deflate") return testing::AssertionFailure() << "unknown format " << stream.format;
    z_stream inflater{};
    if (inflateInit2(&inflater, -15) != Z_OK) return testing::AssertionFailure() << "inflateInit2 failed";
    Bytes out(stream.size + 1);
    inflater.next_in = const_cast<Bytef*>(input);
    inflater.avail_in = static_cast<uInt>(length);
    inflater.next_out = out.data();
    inflater.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&inflater, Z_FINISH);
    const auto consumed = length - inflater.avail_in;
    const auto produced = inflater.total_out;
    inflateEnd(&inflater);
    if (status != Z_STREAM_END) return testing::AssertionFailure() << "inflate status " << status;
    if (consumed != length) return testing::AssertionFailure() << "ends after " << consumed << " bytes";
    if (produced != stream.size) return testing::AssertionFailure() << "decodes to " << produced << " bytes";
    return testing::AssertionSuccess();
}

struct KindExpectation {
    ContainerKind kind;
    std::size_t minimumStreams;
    std::set<std::string> formats;  // exactly the formats its streams use
    // Decoded bytes over all streams, in percent of the tree's non-random bytes: catches blocks
    // or tables the parser missed. Lower where a container leaves files out or stores zeros
    // as holes. For png, which is not made from the tree, in percent of its images' rasters.
    unsigned minimumCoverPercent;
    bool sameBytesEveryBuild = true;
};

std::ostream& operator<<(std::ostream& out, const KindExpectation& expectation) {
    return out << containerName(expectation.kind);
}

class RealContainerTest : public testing::TestWithParam<KindExpectation> {};

TEST_P(RealContainerTest, EveryListedStreamDecodesExactlyAndNoneOverlap) {
    const KindExpectation& expected = GetParam();
    TempDir work;
    const RealContainerBuild build = buildRealContainer(expected.kind, work.path());
    if (!build.container) GTEST_SKIP() << build.missingTool << " is not installed";
    const RealContainer& container = *build.container;
    const Bytes image = readFile(container.path);

    ASSERT_GE(container.streams.size(), expected.minimumStreams);
    std::set<std::string> formats;
    std::uint64_t decoded = 0;
    for (std::size_t i = 0; i < container.streams.size(); ++i) {
        const RealStream& stream = container.streams[i];
        EXPECT_TRUE(decodesExactly(image, stream))
            << stream.format << " stream at " << stream.offset << ".." << stream.end << " of " << stream.size;
        if (i > 0) {
            EXPECT_LE(container.streams[i - 1].end, stream.offset) << "overlap at " << stream.offset;
        }
        formats.insert(stream.format);
        decoded += stream.size;
    }
    EXPECT_EQ(formats, expected.formats);
    const std::uint64_t source = expected.kind == ContainerKind::Png ? pngImageRasterBytes() : contentTreeCompressibleBytes();
    EXPECT_GE(decoded * 100, source * expected.minimumCoverPercent) << decoded << " bytes decoded of " << source;
}

// The corpus feeds a benchmark table: it must not depend on when or where it is built.
TEST_P(RealContainerTest, EveryBuildIsTheSame) {
    TempDir first, second;
    const RealContainerBuild one = buildRealContainer(GetParam().kind, first.path());
    if (!one.container) GTEST_SKIP() << one.missingTool << " is not installed";
    const RealContainerBuild two = buildRealContainer(GetParam().kind, second.path());
    ASSERT_TRUE(two.container);
    EXPECT_EQ(one.container->streams, two.container->streams);
    if (GetParam().sameBytesEveryBuild) {
        EXPECT_TRUE(readFile(one.container->path) == readFile(two.container->path));
    }
}

// Through the binary: --real finds every real stream and little else, --outer every real one.
TEST_P(RealContainerTest, RealReportsEveryRealStreamAndLittleElse) {
    TempDir work;
    const RealContainerBuild build = buildRealContainer(GetParam().kind, work.path());
    if (!build.container) GTEST_SKIP() << build.missingTool << " is not installed";
    const RealContainer& container = *build.container;
    for (const char* mode : {"--real", "--outer"}) {
        SCOPED_TRACE(mode);
        const RunResult run = runKorvel({mode, "--list", "--report=found.jsonl", container.path}, work.path());
        ASSERT_EQ(run.exitStatus, 0) << run.standardOutput;
        const std::vector<ReportedStream> reported = readReport(work.file("found.jsonl"));
        for (const RealStream& real : container.streams) {
            const auto found = std::find_if(reported.begin(), reported.end(), [&](const ReportedStream& r) { return r.stream == real; });
            ASSERT_NE(found, reported.end()) << "missed: " << testing::PrintToString(real);
            EXPECT_TRUE(found->verdict == "real" || found->verdict == "plausible") << found->verdict;
        }
        if (std::string(mode) == "--real") {
            // At most 1.25 streams reported per real one.
            EXPECT_LE(reported.size() * 4, container.streams.size() * 5) << reported.size() << " reported";
        }
    }
}

const KindExpectation expectations[] = {
    {ContainerKind::Lzop9, 3, {"LZO"}, 100},
    {ContainerKind::Lzop1, 3, {"LZO"}, 100},
    // mkfs.ubifs writes no data node for a page of zeros, and a random UUID in the superblock.
    {ContainerKind::UbifsLzo, 100, {"LZO"}, 85, false},
    {ContainerKind::UbifsZlib, 100, {"Deflate"}, 85, false},
    {ContainerKind::Jffs2Zlib, 100, {"Deflate"}, 95},
    // Where an erase block has too little room left for a whole page, LZO fails and zlib,
    // which can compress part of a page, writes the node.
    {ContainerKind::Jffs2Lzo, 100, {"Deflate", "LZO"}, 95},
    // A file of zeros is one sparse block, stored nowhere.
    {ContainerKind::SquashfsGzip, 8, {"Deflate"}, 85},
    {ContainerKind::SquashfsLzo, 8, {"LZO"}, 85},
    {ContainerKind::Zip9, 10, {"Deflate"}, 100},
    {ContainerKind::Gzip, 6, {"Deflate"}, 50},
    {ContainerKind::GitObjects, 12, {"Deflate"}, 100},
    // Most of the rasters' bytes are the sky's, in truecolour; the photo's several IDAT chunks
    // hold no whole stream, and the tiles take 2 bits a pixel in their palette.
    {ContainerKind::Png, 8, {"Deflate"}, 55},
};

INSTANTIATE_TEST_SUITE_P(RealContainers, RealContainerTest, testing::ValuesIn(expectations),
                         [](const testing::TestParamInfo<KindExpectation>& info) {
                             std::string name = containerName(info.param.kind);
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

// Every kind must be listed above, so that a new kind cannot go unchecked.
TEST(RealContainerKinds, AllAreCheckedAndNamedUniquely) {
    std::set<std::string> names, checked;
    for (auto kind : allContainerKinds()) EXPECT_TRUE(names.insert(containerName(kind)).second);
    for (const auto& expectation : expectations) checked.insert(containerName(expectation.kind));
    EXPECT_EQ(checked, names);
}

}  // namespace
