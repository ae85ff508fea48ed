// Helpers over the learned-state records. Interpreter-free.
#include "engine/encoding_info.h"

#include <utility>

namespace vexilo {

std::optional<std::size_t> positional_code_count(const ForwardMap& forward) {
    std::size_t coded = 0;
    for (const auto& entry : forward) coded += entry.second.has_value();
    std::vector<bool> seen(coded);
    for (const auto& [text, code] : forward) {
        if (!code) continue;
        // coded distinct codes below coded: each of 0 .. coded-1 exactly once.
        if (*code >= coded || seen[static_cast<std::size_t>(*code)]) return std::nullopt;
        seen[static_cast<std::size_t>(*code)] = true;
    }
    return coded;
}

InverseMap invert_forward_map(const ForwardMap& forward) {
    InverseMap inverse;
    if (const std::optional<std::size_t> coded = positional_code_count(forward)) {
        std::vector<InverseMap::value_type> entries(*coded);
        for (const auto& [text, code] : forward) {
            if (code) entries[static_cast<std::size_t>(*code)] = {*code, text};
        }
        inverse.assign_distinct(std::move(entries), forward.texts());
        return inverse;
    }
    // Codes out of position, or shared: the first text of each code, in the forward map's order.
    HashMap<std::uint64_t, std::size_t> first_of;
    std::vector<InverseMap::value_type> entries;
    for (const auto& [text, code] : forward) {
        if (code && first_of.try_emplace(*code, entries.size()).second) {
            entries.emplace_back(*code, text);
        }
    }
    inverse.assign_distinct(std::move(entries), forward.texts());
    return inverse;
}

bool same_content(const EncodingInfo& a, const EncodingInfo& b) {
    return a.categorical_columns == b.categorical_columns && a.forward_maps == b.forward_maps &&
           a.inverse_maps == b.inverse_maps;
}

bool same_state(const EncoderState& a, const EncoderState& b) {
    if (a.string_encoding != b.string_encoding ||
        a.encoding_info.has_value() != b.encoding_info.has_value()) {
        return false;
    }
    return !a.encoding_info || same_content(*a.encoding_info, *b.encoding_info);
}

}  // namespace vexilo
