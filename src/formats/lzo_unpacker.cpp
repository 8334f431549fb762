#include "formats/lzo_unpacker.h"

#include <lzo/lzo1x.h>

bool LzoUnpacker::tryUnpack() {
    auto& scan = scanState;
    lzo_uint produced = runOptions.bufferCapacity;
    const int result = lzo1x_decompress_safe(scan.inputView + scan.currentOffset,
                                             static_cast<lzo_uint>(scan.inputSize - scan.currentOffset),
                                             scan.outputBuffer, &produced, nullptr);
    scan.outputSize = static_cast<std::uint32_t>(produced);
    // Not consumed: the end code came before the end of the file, so other data follows the
    // stream; a bare end code there is no stream.
    return result == LZO_E_OK || (result == LZO_E_INPUT_NOT_CONSUMED && produced != 0);
}
