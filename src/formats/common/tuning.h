// Tuning that several formats share, each value typed in its unit and given its reason. A dry
// run's own tuning stands in one block at the top of its file. How the values came to be, with
// what they were measured against, is in bench/README.md ("Tuning constants").
// Thread safety: constants.
#pragma once

#include <cstdint>

namespace korvel {

// An extent of the input in bytes; bits() for the dry runs whose positions count bits.
struct InputExtent {
    std::uint64_t bytes;
    constexpr std::uint64_t bits() const { return bytes * 8; }
};

// Nearly every attempt ends within its first 64 bytes, and a quick reading of only that much
// answers those fastest (deflate's first few blocks, the NRV2 walk without joins). An attempt
// that reads past them, or joins another's path, has walked far: the next attempt likely does
// too, and goes to the dry run at once.
inline constexpr InputExtent shortAttempt{64};

// Most walks end within a few steps: looking landmarks up costs more than it saves before the
// eighth. (The deflate dry run, which gets only the attempts that outgrew a short one, looks
// from the first.)
inline constexpr unsigned firstJoiningStep = 8;

}  // namespace korvel
