// Finds raw deflate streams.
#pragma once

#include "unpack/unpacker.h"

class DeflateUnpacker final : public Unpacker {
public:
    using Unpacker::Unpacker;
    bool tryUnpack() override;
};
