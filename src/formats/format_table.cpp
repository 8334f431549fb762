#include "formats/format_table.h"

#include <strings.h>

#include "formats/deflate_unpacker.h"
#include "formats/lzo_unpacker.h"
#include "formats/pkware_unpacker.h"
#include "formats/ucl_unpacker.h"

namespace {

template <typename UnpackerType>
std::unique_ptr<Unpacker> make(ScanState& scan) {
    return std::make_unique<UnpackerType>(scan);
}

constexpr FormatDescriptor formats[] = {
    {"Deflate", "deflate", make<DeflateUnpacker>, false},
    {"PKWare", "pkware", make<PkwareUnpacker>, false},
    {"LZO", "lzo", make<LzoUnpacker>, false},
    {"UCL2B", "ucl2b", make<Ucl2bUnpacker>, true},
    {"UCL2D", "ucl2d", make<Ucl2dUnpacker>, true},
};

}  // namespace

std::span<const FormatDescriptor> formatTable() { return formats; }

const FormatDescriptor* findFormat(const char* switchName) {
    for (const auto& format : formats)
        if (strcasecmp(format.switchName, switchName) == 0) return &format;
    return nullptr;
}
