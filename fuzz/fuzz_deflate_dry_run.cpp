// The deflate dry run at every offset of an input, taken in order as the scan takes them so
// that walks join at landmarks and land from the places earlier walks noted, against
// rawInflate: the same result, the same length written back for the results that write it, and
// for a complete stream the same count of bytes taken. The short attempt of a few blocks too. The
// data is repeated a few times, so that walks from many offsets go far and meet.
// Input: capacity (2 bytes) and repeat count (1 byte), then the data.
#include <vector>

#include "formats/deflate/deflate_decoder.h"
#include "formats/deflate/deflate_dry_run.h"
#include "fuzz_support.h"

using namespace korvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::uint32_t capacity = (data[0] | data[1] << 8) & 0x3FFF;
    const std::size_t repeats = 1 + data[2] % 8;
    data += 3;
    size -= 3;
    std::vector<std::uint8_t> joined;
    for (std::size_t i = 0; i < repeats; ++i) joined.insert(joined.end(), data, data + size);
    const auto input = exactCopy(joined.data(), joined.size());
    const auto output = exactCopy(nullptr, 0, capacity);

    DeflateDryRun dryRun;
    for (std::size_t offset = 0; offset < joined.size(); ++offset) {
        std::uint32_t produced = capacity;
        std::uint64_t taken = joined.size() - offset;
        const InflateResult result = rawInflate(output.get(), &produced, input.get() + offset, &taken);
        // The scan's short attempt: the same answer, or none yet.
        std::uint32_t fewProduced = capacity;
        std::uint64_t fewTaken = joined.size() - offset;
        const InflateResult few = rawInflateFewBlocks(output.get(), &fewProduced, input.get() + offset, &fewTaken);
        if (few == inflateInputEnded) {
            FUZZ_CHECK(fewProduced == capacity && fewTaken == joined.size() - offset);
        } else {
            FUZZ_CHECK(few == result && fewProduced == produced && fewTaken == taken);
        }
        const InflateOutcome walked = dryRun.run(input.get(), joined.size(), offset, capacity);
        FUZZ_CHECK(walked.result == result);
        if (result <= 0) FUZZ_CHECK(walked.produced == produced);
        if (result == inflateComplete) FUZZ_CHECK(walked.taken == taken);
    }
    return 0;
}
