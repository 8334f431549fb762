// UCL NRV2B and NRV2D streams, decoded by the UCL library.
#pragma once

#include "unpack/unpacker.h"

class Ucl2bUnpacker final : public Unpacker {
public:
    using Unpacker::Unpacker;
    bool tryUnpack() override;
};

class Ucl2dUnpacker final : public Unpacker {
public:
    using Unpacker::Unpacker;
    bool tryUnpack() override;
};
