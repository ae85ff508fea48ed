// State byte format. Interpreter-free.
// PLACEHOLDER: replaced by the writer and reader of the format.
#include "state_codec.h"

namespace vexilo {

std::vector<std::uint8_t> write_state(const Encoder&) { return {}; }

std::variant<Encoder, StateError> read_state(std::span<const std::uint8_t>) {
    return StateError{"state reading is not implemented yet"};
}

}  // namespace vexilo
