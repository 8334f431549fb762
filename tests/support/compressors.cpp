#include "compressors.h"

#include <lzo/lzo1x.h>
#include <ucl/ucl.h>
#include <zlib.h>

#include <stdexcept>

namespace korvel {

namespace {

void initialiseLibraries() {
    static const bool ready = [] {
        if (lzo_init() != LZO_E_OK || ucl_init() != UCL_E_OK) throw std::runtime_error("library init failed");
        return true;
    }();
    (void)ready;
}

using UclCompressor = int (*)(const ucl_bytep, ucl_uint, ucl_bytep, ucl_uintp, ucl_progress_callback_p, int,
                              const struct ucl_compress_config_p, ucl_uintp);

Bytes uclCompress(const Bytes& plain, UclCompressor compress) {
    initialiseLibraries();
    Bytes packed(plain.size() + plain.size() / 8 + 256);
    ucl_uint packedSize = static_cast<ucl_uint>(packed.size());
    if (compress(plain.data(), static_cast<ucl_uint>(plain.size()), packed.data(), &packedSize, nullptr, 10,
                 nullptr, nullptr) != UCL_E_OK)
        throw std::runtime_error("UCL compression failed");
    packed.resize(packedSize);
    return packed;
}

}  // namespace

Bytes lzoCompress(const Bytes& plain) {
    initialiseLibraries();
    Bytes packed(plain.size() + plain.size() / 16 + 64 + 3);
    std::vector<std::uint8_t> work(LZO1X_1_MEM_COMPRESS);
    lzo_uint packedSize = packed.size();
    if (lzo1x_1_compress(plain.data(), plain.size(), packed.data(), &packedSize, work.data()) != LZO_E_OK)
        throw std::runtime_error("LZO compression failed");
    packed.resize(packedSize);
    return packed;
}

Bytes ucl2bCompress(const Bytes& plain) { return uclCompress(plain, ucl_nrv2b_99_compress); }

Bytes ucl2dCompress(const Bytes& plain) { return uclCompress(plain, ucl_nrv2d_99_compress); }

Bytes deflateRaw(const Bytes& plain, int level, int strategy) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, strategy) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    Bytes packed(deflateBound(&stream, plain.size()) + 16);
    stream.next_in = const_cast<Bytef*>(plain.data());
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = packed.data();
    stream.avail_out = static_cast<uInt>(packed.size());
    const int result = deflate(&stream, Z_FINISH);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) throw std::runtime_error("deflate failed");
    packed.resize(stream.total_out);
    return packed;
}

}  // namespace korvel
