// Writes seed inputs for the fuzz targets: real streams of every format, made by the same
// compressors and writer the tests use, and the adversarial patterns that make walks from many
// offsets go far (runs, short periods, chains of tiny blocks and items), behind a few parameter
// bytes (the targets read their capacity and options from the first three or four bytes, so
// both are written).
//
// usage: make_fuzz_seeds <folder>
#include <cstdio>
#include <fstream>
#include <string>

#include "chain_patterns.h"
#include "format_samples.h"
#include "formats/format_table.h"
#include "test_support.h"

using namespace korvel;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_seeds <folder>\n");
        return 2;
    }
    const std::string folder = argv[1];
    int count = 0;
    const auto write = [&](const Bytes& stream) {
        for (const Bytes& parameters :
             {Bytes{0xFF, 0x0F, 0x00}, Bytes{0x40, 0x00, 0x03}, Bytes{0x8F, 0xFF, 0x00, 0x00}, Bytes{0x41, 0x00, 0x10, 0x03}}) {
            const Bytes seed = concat({parameters, stream});
            std::ofstream(folder + "/seed-" + std::to_string(count++), std::ios::binary)
                .write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
        }
    };
    for (std::size_t size : {0u, 1u, 40u, 700u, 3000u}) {
        const Bytes text = textBytes(size, static_cast<std::uint32_t>(size));
        const Bytes noise = randomBytes(size / 4, static_cast<std::uint32_t>(size) + 1);
        for (const Bytes& plain : {text, concat({text, noise})}) {
            for (const FormatDescriptor& format : formatTable())
                for (const Bytes& stream : sampleStreams(format, plain)) write(stream);
        }
    }
    for (const Bytes& period :
         {storedChainPeriod(), tinyStoredChainPeriod(), fixedChainPeriod(false), fixedChainPeriod(true),
          dynamicChainPeriod(false), dynamicChainPeriod(true), dynamicMixedChainPeriod(), fixedMatchChainPeriod(),
          dclBinaryLiteralChainPeriod(), dclChainPeriod(1, false),
          dclChainPeriod(1, true), dclChainPeriod(0, true), lzoLiteralRunChainPeriod(), nrv2LiteralChainPeriod(),
          Bytes{0xFF}, Bytes{0xE5}, Bytes{0x0A}, Bytes{0x00}})
        write(repeatedTo(period, 1500));
    write(runsOfEveryByte(90));
    // Runs whose fixed blocks repeat, which walks leap along, entered from each other and from noise.
    write(concat({Bytes(300, 0xFB), randomBytes(7, 9), Bytes(300, 0x7A), Bytes(300, 0xFA)}));
    write(periodicPatterns(100, 5));
    // Short patterns that NRV2 walks leap along by phase: one with a run of 0xff inside, taken in groups.
    write(concat({randomBytes(40, 10), repeatedTo(concat({Bytes(10, 0xFF), Bytes{0x12, 0x34}}), 800),
                  randomBytes(9, 11), repeatedTo({0xE5, 0x3C, 0xF1}, 800)}));
    return 0;
}
