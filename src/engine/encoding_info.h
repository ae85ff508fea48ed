// The learned state of one encoder: which columns were categorical and, per column, the maps from
// text to code and back. Plain records with no interpreter objects. Interpreter-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/hash_map.h"

namespace vexilo {

// A column's position in its table. The platform's size type in memory; 64-bit when serialised.
using ColumnIndex = std::size_t;

// Text to code. Missing-value markers map to no code. The texts are views into the map's
// TextStore, which a column's inverse map shares: each learned text is kept once.
using ForwardMap = HashMap<std::string_view, std::optional<std::uint64_t>>;
// Code to text; one entry for every forward entry that has a code.
using InverseMap = HashMap<std::uint64_t, std::string_view>;

// How string columns are encoded (the string encoding: the `encoding` argument of Encoder). "label"
// is the only one; stored as its index, 0.
enum class StringEncoding : std::uint32_t { Label = 0 };

struct EncodingInfo {
    // Ascending indices of the categorical columns, without repeats when produced by encoding.
    std::vector<ColumnIndex> categorical_columns;
    HashMap<ColumnIndex, ForwardMap> forward_maps;
    HashMap<ColumnIndex, InverseMap> inverse_maps;
};

// The value held by every Python Encoder object. Field order is the serialised order.
struct EncoderState {
    std::optional<EncodingInfo> encoding_info;
    StringEncoding string_encoding = StringEncoding::Label;
};

// Builds the inverse of a forward map: one (code, text) entry per text that has a code, viewing
// the forward map's texts (the first text of a code that several share). Returns a new map; never
// fails except by std::bad_alloc.
InverseMap invert_forward_map(const ForwardMap& forward);

// k when the present codes of forward are exactly 0 .. k-1, each once, as in every map that
// encoding builds; otherwise nothing. The inverse of such a map needs no index: code is position.
// Never fails except by std::bad_alloc.
std::optional<std::size_t> positional_code_count(const ForwardMap& forward);

// True when both states hold the same entries (map iteration order is ignored).
bool same_content(const EncodingInfo& a, const EncodingInfo& b);

// True when both records have the same string encoding and the same learned state, if any.
bool same_state(const EncoderState& a, const EncoderState& b);

}  // namespace vexilo
