// rawInflate on arbitrary bytes with a small destination, held to zlib's raw inflate: a stream
// that one decoder ends within the capacity, the other ends too, with the same bytes and the
// same count of input bytes taken.
#include <zlib.h>

#include "formats/deflate/deflate_decoder.h"
#include "fuzz_support.h"

using namespace korvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Three parameter bytes, as every target reads them: the capacity, then one unused.
    if (size < 3) return 0;
    const std::uint32_t capacity = (data[0] | data[1] << 8) & 0x3FFF;
    data += 3;
    size -= 3;
    const auto source = exactCopy(data, size);
    const auto dest = exactCopy(nullptr, 0, capacity);
    const auto again = exactCopy(nullptr, 0, capacity);

    std::uint32_t produced = capacity;
    std::uint64_t taken = size;
    const int result = rawInflate(dest.get(), &produced, source.get(), &taken);
    FUZZ_CHECK(result >= -11 && result <= 2);
    if (result == 1 || result == 2) {
        FUZZ_CHECK(produced == capacity && taken == size);  // not written back
    } else {
        FUZZ_CHECK(produced <= capacity && taken <= size);
    }

    std::uint32_t producedAgain = capacity;
    std::uint64_t takenAgain = size;
    FUZZ_CHECK(rawInflate(again.get(), &producedAgain, source.get(), &takenAgain) == result);
    FUZZ_CHECK(producedAgain == produced && takenAgain == taken);
    if (result == 0 || result < 0) FUZZ_CHECK(std::memcmp(dest.get(), again.get(), produced) == 0);

    z_stream stream{};
    FUZZ_CHECK(inflateInit2(&stream, -15) == Z_OK);
    const auto zlibDest = exactCopy(nullptr, 0, capacity + 1);  // zlib wants a non-null buffer
    stream.next_in = source.get();
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = zlibDest.get();
    stream.avail_out = capacity;
    const int zlibResult = inflate(&stream, Z_FINISH);
    const bool zlibEnded = zlibResult == Z_STREAM_END;
    FUZZ_CHECK(zlibEnded == (result == 0));
    if (zlibEnded) {
        FUZZ_CHECK(stream.total_out == produced && stream.total_in == taken);
        FUZZ_CHECK(std::memcmp(zlibDest.get(), dest.get(), produced) == 0);
    }
    inflateEnd(&stream);
    return 0;
}
