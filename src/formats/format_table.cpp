#include "formats/format_table.h"

#include <strings.h>

#include "formats/deflate/deflate_unpacker.h"
#include "formats/lzo/lzo_unpacker.h"
#include "formats/pkware/pkware_unpacker.h"
#include "formats/ucl/ucl_unpacker.h"

namespace {

template <typename UnpackerType>
std::unique_ptr<Unpacker> make(ScanState& scan) {
    return std::make_unique<UnpackerType>(scan);
}

constexpr FormatDescriptor formats[] = {
    {"Deflate", "deflate", make<DeflateUnpacker>, false, 0},
    {"PKWare", "pkware", make<PkwareUnpacker>, false, 1},
    {"LZO", "lzo", make<LzoUnpacker>, false, 2},
    {"UCL2B", "ucl2b", make<Ucl2bUnpacker>, true, 3},
    {"UCL2D", "ucl2d", make<Ucl2dUnpacker>, true, 4},
};

}  // namespace

std::span<const FormatDescriptor> formatTable() { return formats; }

const FormatDescriptor* findFormat(const char* switchName) {
    for (const auto& format : formats)
        if (strcasecmp(format.switchName, switchName) == 0) return &format;
    return nullptr;
}
