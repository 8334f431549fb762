// LZO1X streams, decoded by the LZO 2 library.
#pragma once

#include "unpack/unpacker.h"

class LzoUnpacker final : public Unpacker {
public:
    using Unpacker::Unpacker;
    bool tryUnpack() override;
};
