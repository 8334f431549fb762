// LZO1X streams, decoded by the LZO 2 library.
#pragma once

#include "formats/lzo_precheck.h"
#include "unpack/unpacker.h"

class LzoUnpacker final : public Unpacker {
public:
    using Unpacker::Unpacker;
    bool tryUnpack() override;

    // Whether the library's outcome is first worked out without it (see LzoPrecheck). Off, every
    // offset goes to the library; the answers are the same either way.
    static bool precheckEnabled;

private:
    LzoPrecheck precheck_;
};
