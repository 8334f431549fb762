#include "format_samples.h"

#include <string_view>

#include "compressors.h"
#include "dcl_writer.h"

namespace korvel {

std::vector<Bytes> sampleStreams(const FormatDescriptor& format, const Bytes& plain) {
    const std::string_view name = format.switchName;
    if (name == "deflate")
        return {deflateRaw(plain), deflateRaw(plain, 0), deflateRaw(plain, 1), deflateRaw(plain, 9),
                deflateRaw(plain, 6, 4 /* Z_FIXED */)};
    if (name == "pkware") return {dclCompress(plain, 1, 6), dclCompress(plain, 0, 4)};
    if (name == "lzo") return {lzoCompress(plain)};
    if (name == "ucl2b") return {ucl2bCompress(plain)};
    if (name == "ucl2d") return {ucl2dCompress(plain)};
    return {};
}

}  // namespace korvel
