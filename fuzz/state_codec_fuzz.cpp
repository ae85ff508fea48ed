// Fuzz target for the state reader: any input must read without a memory error, and a state
// that reads must write and read back to an equal state with a stable size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "engine/state_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    // Both size types: the platform's and the 32-bit one of the smaller targets.
    for (const std::uint64_t size_max : {std::uint64_t{SIZE_MAX}, std::uint64_t{0xFFFFFFFFu}}) {
        const auto first = vexilo::read_state(input, size_max);
        if (!first) continue;
        const vexilo::EncoderState& state = first.value();
        const auto written = vexilo::write_state(state);
        if (written.size() != vexilo::state_size(state) || written.size() > size) std::abort();
        const auto second = vexilo::read_state(written, size_max);
        if (!second || !vexilo::same_state(state, second.value())) std::abort();
        if (vexilo::write_state(second.value()).size() != written.size()) std::abort();
    }
    return 0;
}
