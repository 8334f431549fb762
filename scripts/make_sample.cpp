// Writes the bundled demo sample: one stream of every format between filler bytes, made by
// the real compressors (zlib, LZO, UCL) and the test-side DCL writer, plus a list of what is
// where. With --zip, writes the demo's zip archive instead: a few deflated text members; with
// --nested, that archive LZO-compressed, between plain bytes, the whole a raw deflate stream
// between plain bytes: three levels of streams inside streams.
//
// usage: make_sample <sample.bin> <expected.txt>
//        make_sample --zip <archive.zip>
//        make_sample --nested <nested.bin>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "compressors.h"
#include "dcl_writer.h"
#include "zip_writer.h"

using namespace korvel;

namespace {

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes concatBytes(std::initializer_list<Bytes> parts) {
    Bytes joined;
    for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

}  // namespace

const std::string poem =
    "Every offset is a door. Behind most of them is nothing at all, a few bytes of noise that\n"
    "no decoder accepts; behind a few is a stream that someone packed long ago and forgot.\n";

Bytes demoZip() {
    std::vector<ZipMember> members;
    for (const char* name : {"doors.txt", "noise.txt", "streams.txt", "forgotten.txt"}) {
        std::string content;
        for (int i = 0; i < 4; ++i) content += std::string(name) + " " + std::to_string(i) + ": " + poem;
        members.push_back({name, text(content)});
    }
    return writeZip(members);
}

int writeFile(const char* path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return out ? 0 : 1;
}

Bytes nestedSample() {
    const Bytes before = text("KORVEL nested sample: a zip, LZO-compressed, in a raw deflate stream.\n");
    const Bytes inside = text("\n-- plain bytes around the LZO stream --\n");
    const Bytes lzoLevel = concatBytes({inside, lzoCompress(demoZip()), inside});
    return concatBytes({before, deflateRaw(lzoLevel, 9), text("\n-- the end --\n")});
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--zip") return writeFile(argv[2], demoZip());
    if (argc == 3 && std::string(argv[1]) == "--nested") return writeFile(argv[2], nestedSample());
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: make_sample <sample.bin> <expected.txt>\n       make_sample --zip <archive.zip>\n"
                     "       make_sample --nested <nested.bin>\n");
        return 2;
    }
    struct Stream {
        const char* format;
        Bytes plain;
        Bytes packed;
    };
    std::vector<Stream> streams;
    const auto add = [&streams](const char* format, const std::string& content, Bytes (*pack)(const Bytes&)) {
        const Bytes plain = text(content);
        streams.push_back({format, plain, pack(plain)});
    };
    add("Deflate", "Deflate: " + poem + poem, [](const Bytes& b) { return deflateRaw(b, 9); });
    add("PKWare", "PKWare: " + poem + poem, [](const Bytes& b) { return dclCompress(b, 1, 6); });
    add("LZO", "LZO: " + poem + poem, lzoCompress);
    add("UCL2B", "UCL2B: " + poem + poem, ucl2bCompress);
    add("UCL2D", "UCL2D: " + poem + poem, ucl2dCompress);

    const Bytes filler = text("\n-- KORVEL SAMPLE: filler between streams --\n");
    Bytes sample = text("KORVEL demo sample: five compressed streams hidden among plain bytes.\n");
    std::ofstream expected(argv[2]);
    for (const auto& stream : streams) {
        char line[128];
        std::snprintf(line, sizeof line, "%s: Succeeded uncompressing %zu bytes at: %zu (0x%zx)\n", stream.format,
                      stream.plain.size(), sample.size(), sample.size());
        expected << line;
        sample.insert(sample.end(), stream.packed.begin(), stream.packed.end());
        sample.insert(sample.end(), filler.begin(), filler.end());
    }
    std::ofstream(argv[1], std::ios::binary)
        .write(reinterpret_cast<const char*>(sample.data()), static_cast<std::streamsize>(sample.size()));
    return expected ? 0 : 1;
}
