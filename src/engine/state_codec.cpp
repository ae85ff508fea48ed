// Writer and reader of the state byte format. Interpreter-free.
#include "engine/state_codec.h"

#include <algorithm>
#include <cstring>
#include <new>  // std::bad_alloc
#include <optional>
#include <stdexcept>  // std::logic_error
#include <string_view>
#include <utility>

#include "engine/frozen_texts.h"
#include "engine/utf8.h"

namespace vexilo {
namespace {

// Room reserved for a container before its elements arrive, in bytes of in-memory elements: a
// corrupt count cannot make a large allocation before the data runs out.
constexpr std::size_t preallocation_budget = std::size_t{1} << 20;

constexpr std::uint64_t u64_width = 8;
constexpr std::uint64_t u32_width = 4;
constexpr std::uint64_t tag_width = 1;

// ---------------------------------------------------------------------------------------------
// Writing

std::uint64_t encoded_size(const EncodingInfo& info) {
    std::uint64_t total = u64_width + u64_width * info.categorical_columns.size();
    total += u64_width;
    for (const auto& [column, forward] : info.forward_maps) {
        total += 2 * u64_width;
        for (const auto& [text, code] : forward) {
            total += u64_width + text.size() + tag_width + (code ? u64_width : 0);
        }
    }
    total += u64_width;
    for (const auto& [column, inverse] : info.inverse_maps) {
        total += 2 * u64_width;
        for (const auto& [code, text] : inverse) total += 2 * u64_width + text.size();
    }
    return total;
}

// Writes fields at a cursor into a buffer the size pass made exactly large enough. Every write
// is bounds-checked all the same, so a caller's wrong buffer size cannot overrun it.
class Writer {
public:
    explicit Writer(std::span<std::uint8_t> out)
        : out_(out.data()), end_(out.data() + out.size()) {}

    bool at_end() const { return out_ == end_; }

    void u8(std::uint8_t value) {
        room(1);
        *out_++ = value;
    }
    void u32(std::uint32_t value) { little_endian(value, 4); }
    void u64(std::uint64_t value) { little_endian(value, 8); }
    void text(std::string_view value) {
        u64(value.size());
        room(value.size());
        // An empty text may view no memory at all: memcpy wants a valid pointer all the same.
        if (!value.empty()) std::memcpy(out_, value.data(), value.size());
        out_ += value.size();
    }

private:
    void room(std::size_t size) const {
        // A broken size pass; the method frame reports any std::exception as an internal
        // failure, and callers that size their own buffer can catch std::logic_error.
        if (static_cast<std::size_t>(end_ - out_) < size) {
            throw std::logic_error("state buffer is smaller than the state");
        }
    }

    void little_endian(std::uint64_t value, int width) {
        room(static_cast<std::size_t>(width));
        // Byte-wise so the format does not depend on the host's byte order; compilers fold this
        // into one store on little-endian hosts.
        for (int i = 0; i < width; ++i) *out_++ = static_cast<std::uint8_t>(value >> (8 * i));
    }

    std::uint8_t* out_;
    std::uint8_t* end_;
};

// A map of maps: its count, then per column the column and the map's count and entries.
template <class Maps, class WriteEntry>
void write_maps(Writer& out, const Maps& maps, WriteEntry write_entry) {
    out.u64(maps.size());
    for (const auto& [column, map] : maps) {
        out.u64(column);
        out.u64(map.size());
        for (const auto& entry : map) write_entry(entry);
    }
}

void write_info(Writer& out, const EncodingInfo& info) {
    out.u64(info.categorical_columns.size());
    for (const ColumnIndex column : info.categorical_columns) out.u64(column);
    write_maps(out, info.forward_maps, [&](const auto& entry) {
        const auto& [text, code] = entry;
        out.text(text);
        out.u8(code ? 1 : 0);
        if (code) out.u64(*code);
    });
    write_maps(out, info.inverse_maps, [&](const auto& entry) {
        out.u64(entry.first);
        out.text(entry.second);
    });
}

// ---------------------------------------------------------------------------------------------
// Reading

// The text for the first ill-formed sequence of text, or nothing when text is valid UTF-8. A bad
// sequence is reported with the length of the longest prefix of a valid sequence seen before it
// went wrong, or as incomplete when text ends while that prefix is still valid.
std::optional<std::string> utf8_error(const std::uint8_t* text, std::size_t size) {
    const std::optional<Utf8Flaw> flaw =
        first_utf8_flaw(std::string_view(reinterpret_cast<const char*>(text), size));
    if (!flaw) return std::nullopt;
    if (flaw->incomplete) {
        return "string is not valid utf8: incomplete utf-8 byte sequence from index " +
               std::to_string(flaw->index);
    }
    return "string is not valid utf8: invalid utf-8 sequence of " +
           std::to_string(flaw->valid_prefix) + " bytes from index " + std::to_string(flaw->index);
}

template <class Container>
void reserve_bounded(Container& container, std::size_t declared_count) {
    constexpr std::size_t most =
        std::max<std::size_t>(1, preallocation_budget / sizeof(typename Container::value_type));
    container.reserve(std::min(declared_count, most));
}

// Reads fields front to back, never past the end of its bytes. The first failure is kept and
// ends the reading: every later field reads as zero (an empty text, a count of 0), so the loops
// of the readers above it end at once and nothing more is allocated.
class Reader {
public:
    Reader(std::span<const std::uint8_t> bytes, std::uint64_t size_max)
        : next_(bytes.data()), left_(bytes.size()), size_max_(size_max) {}

    // The first reading error, if any.
    const std::optional<std::string>& failure() const noexcept { return failure_; }
    // True until a read failed; loops over a count read earlier stop once it is false.
    bool reading() const noexcept { return !failure_; }

    std::uint8_t u8() {
        if (!need(1)) return 0;
        --left_;
        return *next_++;
    }
    std::uint32_t u32() { return static_cast<std::uint32_t>(little_endian(4)); }
    std::uint64_t u64() { return little_endian(8); }

    // A count or a length.
    std::size_t size() {
        const std::uint64_t value = u64();
        if (value > size_max_) {
            fail("Invalid size " + std::to_string(value) + ": sizes must fit in a usize (0 to " +
                 std::to_string(size_max_) + ")");
            return 0;
        }
        return static_cast<std::size_t>(value);
    }

    ColumnIndex column_index() {
        const std::uint64_t value = u64();
        if (value > size_max_) {
            fail(std::string(frozen_text::integer_value) + std::to_string(value) +
                 std::string(frozen_text::expected_usize));
            return 0;
        }
        return static_cast<ColumnIndex>(value);
    }

    // An optional value's tag: true when the value follows.
    bool present() {
        const std::uint8_t tag = u8();
        if (tag > 1) fail(std::string(frozen_text::invalid_tag) + std::to_string(tag));
        return tag == 1 && !failure_;
    }

    // A view of the text in the input, valid while the input is.
    std::string_view text() {
        const std::size_t length = size();
        if (length > left_) {
            fail(std::string(frozen_text::io_error));
            return {};
        }
        if (auto error = utf8_error(next_, length)) {
            fail(std::move(*error));
            return {};
        }
        const std::string_view value(reinterpret_cast<const char*>(next_), length);
        next_ += length;
        left_ -= length;
        return value;
    }

    StringEncoding string_encoding() {
        const std::uint32_t index = u32();
        if (index != 0) {
            fail(std::string(frozen_text::integer_value) + std::to_string(index) +
                 std::string(frozen_text::expected_variant));
        }
        return StringEncoding::Label;
    }

private:
    // Keeps the first failure and leaves nothing more to read.
    void fail(std::string message) {
        if (!failure_) failure_ = std::move(message);
        left_ = 0;
    }

    bool need(std::size_t count) {
        if (left_ >= count) return true;
        fail(std::string(frozen_text::unexpected_end));
        return false;
    }

    std::uint64_t little_endian(int width) {
        if (!need(static_cast<std::size_t>(width))) return 0;
        std::uint64_t value = 0;
        for (int i = 0; i < width; ++i) value |= std::uint64_t{next_[i]} << (8 * i);
        next_ += width;
        left_ -= static_cast<std::size_t>(width);
        return value;
    }

    const std::uint8_t* next_;
    std::size_t left_;
    std::uint64_t size_max_;
    std::optional<std::string> failure_;
};

// A hash map: its count, then per entry the key and the value. A repeated key replaces the
// value read before it.
template <class Map, class ReadKey, class ReadValue>
Map read_map(Reader& in, ReadKey read_key, ReadValue read_value) {
    const std::size_t count = in.size();
    Map map;
    reserve_bounded(map, count);
    for (std::size_t i = 0; i < count && in.reading(); ++i) {
        typename Map::key_type key = read_key();
        auto value = read_value();
        // What a failed read gave is dropped: the state is thrown away, so nothing may grow.
        if (in.reading()) map.insert_or_assign(std::move(key), std::move(value));
    }
    return map;
}

ForwardMap read_forward_map(Reader& in) {
    return read_map<ForwardMap>(
        in, [&] { return in.text(); },
        [&]() -> std::optional<std::uint64_t> {
            if (!in.present()) return std::nullopt;
            return in.u64();
        });
}

// An inverse map, whose texts view those of forward (the same column's forward map, if any) where
// an entry repeats the text that forward gives its code, as every state written by encoding does:
// each text is then kept once.
InverseMap read_inverse_map(Reader& in, const ForwardMap* forward) {
    const std::size_t count = in.size();
    InverseMap map;
    reserve_bounded(map, count);
    std::vector<std::string_view> by_code;  // forward's text of each code below its size
    if (forward && !forward->empty()) {
        map.share_texts(forward->texts());
        by_code.resize(forward->size());
        for (const auto& [text, code] : *forward) {
            if (code && *code < by_code.size()) by_code[static_cast<std::size_t>(*code)] = text;
        }
    }
    for (std::size_t i = 0; i < count && in.reading(); ++i) {
        const std::uint64_t code = in.u64();
        const std::string_view text = in.text();
        if (!in.reading()) break;
        if (code < by_code.size() && by_code[static_cast<std::size_t>(code)] == text) {
            map.insert_or_assign_stored(code, by_code[static_cast<std::size_t>(code)]);
        } else {
            map.insert_or_assign(code, text);
        }
    }
    return map;
}

EncodingInfo read_info(Reader& in) {
    EncodingInfo info;
    const std::size_t count = in.size();
    reserve_bounded(info.categorical_columns, count);
    for (std::size_t i = 0; i < count && in.reading(); ++i) {
        info.categorical_columns.push_back(in.column_index());
    }
    ColumnIndex last_column = 0;
    const auto column = [&] { return last_column = in.column_index(); };
    info.forward_maps =
        read_map<decltype(info.forward_maps)>(in, column, [&] { return read_forward_map(in); });
    info.inverse_maps = read_map<decltype(info.inverse_maps)>(in, column, [&] {
        const auto forward = info.forward_maps.find(last_column);
        return read_inverse_map(in,
                                forward == info.forward_maps.end() ? nullptr : &forward->second);
    });
    return info;
}

}  // namespace

std::size_t state_size(const EncoderState& value) {
    std::uint64_t total = tag_width + u32_width;
    if (value.encoding_info) total += encoded_size(*value.encoding_info);
    // Only reachable with a 32-bit size type, where eight-byte indices outgrow their memory.
    if (total > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    return static_cast<std::size_t>(total);
}

void write_state_to(const EncoderState& value, std::span<std::uint8_t> out) {
    Writer writer(out);
    writer.u8(value.encoding_info ? 1 : 0);
    if (value.encoding_info) write_info(writer, *value.encoding_info);
    writer.u32(static_cast<std::uint32_t>(value.string_encoding));
    if (!writer.at_end()) throw std::logic_error("state buffer is larger than the state");
}

std::vector<std::uint8_t> write_state(const EncoderState& value) {
    std::vector<std::uint8_t> bytes(state_size(value));
    write_state_to(value, bytes);
    return bytes;
}

Expected<EncoderState> read_state(std::span<const std::uint8_t> bytes, std::uint64_t size_max) {
    Reader in(bytes, std::min<std::uint64_t>(size_max, std::numeric_limits<std::size_t>::max()));
    EncoderState value;
    if (in.present()) value.encoding_info = read_info(in);
    value.string_encoding = in.string_encoding();
    if (in.failure()) return make_error(ErrorKind::invalid_state, *in.failure());
    return value;
}

Expected<EncoderState> read_state(std::span<const std::uint8_t> bytes) {
    return read_state(bytes, std::numeric_limits<std::size_t>::max());
}

}  // namespace vexilo
