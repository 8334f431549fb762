#include "formats/format_table.h"

#include <strings.h>

#include "formats/deflate/deflate_unpacker.h"
#include "formats/lzo/lzo_unpacker.h"
#include "formats/pkware/pkware_unpacker.h"
#include "formats/ucl/ucl_unpacker.h"

namespace korvel {

namespace {

template <typename UnpackerType>
std::unique_ptr<Unpacker> make(ScanState& scan) {
    return std::make_unique<UnpackerType>(scan);
}

constexpr FormatDescriptor formats[] = {
    {"Deflate", "Deflate", "deflate", "Deflate format", make<DeflateUnpacker>, false, 0},
    {"PKWare", "PKWare", "pkware", "PKWare Compression Library format", make<PkwareUnpacker>, false, 1},
    {"LZO", "LZO", "lzo", "LZO compression library format", make<LzoUnpacker>, false, 2},
    {"UCL2B", "UCL2B", "ucl2b", "UCL nrv2b compression library format", make<Ucl2bUnpacker>, true, 3},
    {"UCL2D", "UCL2D", "ucl2d", "UCL nrv2d compression library format", make<Ucl2dUnpacker>, true, 4},
};

}  // namespace

std::span<const FormatDescriptor> formatTable() { return formats; }

const FormatDescriptor* findFormat(const char* switchName, std::span<const FormatDescriptor> formats) {
    for (const auto& format : formats)
        if (strcasecmp(format.switchName, switchName) == 0) return &format;
    return nullptr;
}

}  // namespace korvel
