// A stream the scan found, as the engine hands it to the sinks.
// Thread safety: plain values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/format_descriptor.h"

namespace korvel {

// The input bytes just before a stream's start and just after its end, copied by the worker
// that found it when the scan keeps them: a sink that weighs evidence reads them here, never in
// the mapping, which may shrink under the scan.
struct StreamSurroundings {
    static constexpr std::size_t beforeCapacity = 128;
    static constexpr std::size_t afterCapacity = 64;
    std::array<std::uint8_t, beforeCapacity> before{};  // before[0, beforeCount): the bytes up to the start
    std::array<std::uint8_t, afterCapacity> after{};    // after[0, afterCount): the bytes from the end on
    std::uint8_t beforeCount = 0;  // fewer than the capacity near the input's first byte
    std::uint8_t afterCount = 0;   // fewer near its last; 0 when the end is not known

    std::span<const std::uint8_t> bytesBefore() const { return {before.data(), beforeCount}; }
    std::span<const std::uint8_t> bytesAfter() const { return {after.data(), afterCount}; }
};

struct Judgement;  // what a sink that judges streams concluded, for the sinks after it

struct FoundStream {
    const FormatDescriptor* format;
    std::uint64_t offset;
    std::uint32_t size;                   // decoded bytes
    std::uint64_t end;                    // one past its last input byte; 0 when not known
    std::span<const std::uint8_t> bytes;  // for save(): the decoded bytes, unless the run keeps none
    StreamSurroundings surroundings = {};  // filled only when the scan keeps them
    const Judgement* judgement = nullptr;  // set by a judging sink for the sinks after it
};

}  // namespace korvel
