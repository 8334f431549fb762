// rawInflate held to the bit-at-a-time reference decoder on arbitrary bytes: the same result,
// the same lengths written back or left alone, and the same destination contents, including
// partial output and the bytes neither decoder may touch.
#include "formats/deflate/deflate_decoder.h"
#include "fuzz_support.h"
#include "reference_inflate.h"

using namespace korvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // Mostly small capacities, where output runs out mid-stream.
    const std::uint32_t capacity = (data[0] | data[1] << 8) & 0x3FFF;
    data += 2;
    size -= 2;
    const auto source = exactCopy(data, size);  // ASan sees any read past the end
    constexpr std::size_t guard = 16;
    const auto fastDest = exactCopy(nullptr, 0, capacity + guard);
    const auto referenceDest = exactCopy(nullptr, 0, capacity + guard);
    for (std::size_t i = 0; i < capacity + guard; ++i)
        fastDest[i] = referenceDest[i] = static_cast<std::uint8_t>(i * 151 + 89);

    std::uint32_t fastProduced = capacity;
    std::uint64_t fastTaken = size;
    const int fastResult = rawInflate(fastDest.get(), &fastProduced, source.get(), &fastTaken);
    std::uint32_t referenceProduced = capacity;
    std::uint64_t referenceTaken = size;
    const int referenceResult =
        referenceInflate(referenceDest.get(), &referenceProduced, source.get(), &referenceTaken);

    FUZZ_CHECK(fastResult == referenceResult);
    FUZZ_CHECK(fastProduced == referenceProduced);
    FUZZ_CHECK(fastTaken == referenceTaken);
    FUZZ_CHECK(std::memcmp(fastDest.get(), referenceDest.get(), capacity + guard) == 0);
    return 0;
}
