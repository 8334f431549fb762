// Unpacker for PKWare Data Compression Library streams.
#pragma once

#include <cstdint>

#include "unpack/unpacker.h"

class PkwareUnpacker final : public Unpacker {
public:
    using Unpacker::Unpacker;

    // Found for a complete stream and for one that filled the output buffer (nonzero capacity).
    bool tryUnpack() override;

    // Decoder callbacks for the attempt in progress; both ignore their context and work on
    // scanState. readInput hands the rest of the input over in blocks of at most 0xFFFFFFFF
    // bytes, then reports the end; writeOutput stops at bufferCapacity and then asks to stop.
    static std::uint32_t readInput(void* context, const std::uint8_t** next);
    static int writeOutput(void* context, const std::uint8_t* bytes, std::uint32_t count);

    // Decoded bytes copied into the output buffer in this attempt.
    static std::uint32_t written;

private:
    // Input bytes from currentOffset already handed to the decoder in this attempt.
    static std::uint64_t handedOver;
};
