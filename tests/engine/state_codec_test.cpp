// State byte format: exact bytes, every reading error, bounded preallocation, round trips. One file
// though long: the cases share one byte builder and one reader of the format.
#include "engine/state_codec.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Allocation accounting for this test binary: every operator new is counted while tracking is
// on, so tests can bound what a call allocates.
std::atomic<bool> tracking{false};
std::atomic<std::size_t> allocations{0};
std::atomic<std::size_t> allocated_bytes{0};
std::atomic<std::size_t> largest_allocation{0};

void* counted_allocate(std::size_t size) {
    if (tracking.load()) {
        allocations.fetch_add(1);
        allocated_bytes.fetch_add(size);
        std::size_t largest = largest_allocation.load();
        while (size > largest && !largest_allocation.compare_exchange_weak(largest, size)) {
        }
    }
    return std::malloc(size == 0 ? 1 : size);
}

// Out of line so the compiler does not pair an inlined operator delete's free() with the
// operator new at its call site and report a mismatch.
[[gnu::noinline]] void counted_free(void* p) noexcept { std::free(p); }

// Counts the allocations made while it lives.
class AllocationWindow {
public:
    AllocationWindow() {
        allocations = 0;
        allocated_bytes = 0;
        largest_allocation = 0;
        tracking = true;
    }
    ~AllocationWindow() { tracking = false; }
};

}  // namespace

void* operator new(std::size_t size) {
    if (void* p = counted_allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return counted_allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return counted_allocate(size);
}
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { counted_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { counted_free(p); }

namespace vexilo {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t u32_max = 0xFFFFFFFFu;
constexpr std::size_t mib = std::size_t{1} << 20;

// Builds byte strings field by field.
struct Build {
    Bytes bytes;
    Build& u8(std::uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    Build& u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Build& u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Build& raw(const Bytes& more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }
    Build& text(const std::string& s) {
        u64(s.size());
        return raw(Bytes(s.begin(), s.end()));
    }
};

Bytes hex(const std::string& digits) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        if (digits[i] == ' ') {
            --i;
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

EncoderState must_read(const Bytes& bytes, std::uint64_t size_max = SIZE_MAX) {
    auto result = read_state(bytes, size_max);
    if (!result) {
        ADD_FAILURE() << "unexpected reading error: " << result.error().message;
        return {};
    }
    return std::move(result).value();
}

std::string read_error(const Bytes& bytes, std::uint64_t size_max = SIZE_MAX) {
    auto result = read_state(bytes, size_max);
    if (!result) return result.error().message;
    return "<read without error>";
}

EncoderState worked_example() {
    EncodingInfo info;
    info.categorical_columns = {1};
    info.forward_maps[1].emplace("a", 0);
    info.forward_maps[1].emplace("<NA>", std::nullopt);
    info.inverse_maps[1].emplace(0, "a");
    return EncoderState{std::move(info), StringEncoding::Label};
}

const std::string worked_head =
    "01 0100000000000000 0100000000000000 0100000000000000"
    " 0100000000000000 0200000000000000";
const std::string entry_a = "0100000000000000 61 01 0000000000000000";
const std::string entry_na = "0400000000000000 3c4e413e 00";
const std::string worked_tail =
    "0100000000000000 0100000000000000 0100000000000000"
    " 0000000000000000 0100000000000000 61 00000000";

TEST(StateCodec, WorkedExampleHasItsExactBytesInEitherEntryOrder) {
    const Bytes a_first = hex(worked_head + entry_a + entry_na + worked_tail);
    const Bytes na_first = hex(worked_head + entry_na + entry_a + worked_tail);
    ASSERT_EQ(a_first.size(), 117u);

    const EncoderState example = worked_example();
    const Bytes written = write_state(example);
    EXPECT_TRUE(written == a_first || written == na_first);
    EXPECT_EQ(state_size(example), 117u);
    EXPECT_TRUE(same_state(must_read(a_first), example));
    EXPECT_TRUE(same_state(must_read(na_first), example));
    EXPECT_EQ(write_state(must_read(na_first)).size(), 117u);
}

TEST(StateCodec, EmptyStateIsFiveZeroBytesAndIgnoresTrailingBytes) {
    EXPECT_EQ(write_state(EncoderState{}), Bytes(5, 0));
    for (const Bytes& trailing : {Bytes{}, Bytes{0}, Bytes{0xff, 0x01, 0x02}, Bytes(100, 0xee)}) {
        const EncoderState read = must_read(Build{}.raw(Bytes(5, 0)).raw(trailing).bytes);
        EXPECT_FALSE(read.encoding_info.has_value());
    }
    // A full state followed by garbage reads as the state alone.
    const Bytes example = write_state(worked_example());
    EXPECT_TRUE(same_state(must_read(Build{}.raw(example).u8(7).u64(99).bytes), worked_example()));
}

TEST(StateCodec, WritesLittleEndianFixedWidthFields) {
    EncodingInfo info;
    info.categorical_columns = {0x0A0B};
    info.inverse_maps[0x0A0B].emplace(0x0102030405060708u, "é");
    const Bytes expected = Build{}
                               .u8(1)
                               .u64(1)
                               .u64(0x0A0B)
                               .u64(0)
                               .u64(1)
                               .u64(0x0A0B)
                               .u64(1)
                               .raw(hex("0807060504030201"))
                               .text("é")
                               .u32(0)
                               .bytes;
    EXPECT_EQ(write_state(EncoderState{std::move(info), StringEncoding::Label}), expected);
}

// Prefix of a state whose forward map for column 0 holds one entry; the entry follows.
Build forward_entry_prefix() { return Build{}.u8(1).u64(0).u64(1).u64(0).u64(1); }
// Tail that completes a state after the forward maps: no inverse maps, string encoding 0.
Build& finish(Build& b) { return b.u64(0).u32(0); }

struct ErrorCase {
    const char* name;
    Bytes bytes;
    std::uint64_t size_max;
    std::string message;
};

TEST(StateCodec, EveryReadingErrorHasItsText) {
    const std::string eof = "io error: unexpected end of file";
    const std::string usize_32 = "`, expected usize";
    const auto invalid_size_32 = [](std::uint64_t n) {
        return "Invalid size " + std::to_string(n) +
               ": sizes must fit in a usize (0 to 4294967295)";
    };
    const std::vector<ErrorCase> cases = {
        {"empty", {}, SIZE_MAX, eof},
        {"tag only", {0}, SIZE_MAX, eof},
        {"string encoding cut short", {0, 0, 0}, SIZE_MAX, eof},
        {"bad state tag", {2, 0, 0, 0, 0}, SIZE_MAX, "tag for enum is not valid, found 2"},
        {"tag 255", {255}, SIZE_MAX, "tag for enum is not valid, found 255"},
        {"string encoding 1",
         {0, 1, 0, 0, 0},
         SIZE_MAX,
         "invalid value: integer `1`, expected variant index 0 <= i < 1"},
        {"string encoding max",
         {0, 0xff, 0xff, 0xff, 0xff},
         SIZE_MAX,
         "invalid value: integer `4294967295`, expected variant index 0 <= i < 1"},
        {"string encoding after a full info", Build{}.u8(1).u64(0).u64(0).u64(0).u32(7).bytes,
         SIZE_MAX, "invalid value: integer `7`, expected variant index 0 <= i < 1"},
        {"count cut short", Build{}.u8(1).u32(1).bytes, SIZE_MAX, eof},
        {"column index cut short", Build{}.u8(1).u64(1).u32(1).bytes, SIZE_MAX, eof},
        {"huge column count, no data", Build{}.u8(1).u64(1ull << 31).bytes, SIZE_MAX, eof},
        {"forward key missing", Build{}.u8(1).u64(0).u64(1).bytes, SIZE_MAX, eof},
        {"string shorter than declared", forward_entry_prefix().u64(5).raw({'a', 'b', 'c'}).bytes,
         SIZE_MAX, "io error: "},
        {"string length far past the data", forward_entry_prefix().u64(u32_max).bytes, SIZE_MAX,
         "io error: "},
        {"string cut inside its length", forward_entry_prefix().u32(5).bytes, SIZE_MAX, eof},
        {"code tag 2", forward_entry_prefix().text("a").u8(2).bytes, SIZE_MAX,
         "tag for enum is not valid, found 2"},
        {"code tag missing", forward_entry_prefix().text("a").bytes, SIZE_MAX, eof},
        {"code cut short", forward_entry_prefix().text("a").u8(1).u32(0).bytes, SIZE_MAX, eof},
        {"bad utf-8 key", forward_entry_prefix().text("\xff").bytes, SIZE_MAX,
         "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
        {"bad utf-8 inverse text",
         Build{}.u8(1).u64(0).u64(0).u64(1).u64(3).u64(1).u64(0).text("ab\xe2\x82").bytes, SIZE_MAX,
         "string is not valid utf8: incomplete utf-8 byte sequence from index 2"},
        {"inverse code cut short", Build{}.u8(1).u64(0).u64(0).u64(1).u64(3).u64(1).u8(0).bytes,
         SIZE_MAX, eof},
        // A 32-bit size type: counts and lengths above it are invalid sizes, column indices
        // above it invalid values.
        {"32-bit column count", Build{}.u8(1).u64(u32_max + 1).bytes, u32_max,
         invalid_size_32(u32_max + 1)},
        {"32-bit column index", Build{}.u8(1).u64(1).u64(u32_max + 1).bytes, u32_max,
         "invalid value: integer `4294967296" + usize_32},
        {"32-bit forward map count", Build{}.u8(1).u64(0).u64(~0ull).bytes, u32_max,
         invalid_size_32(~0ull)},
        {"32-bit forward map key", Build{}.u8(1).u64(0).u64(1).u64(u32_max + 1).bytes, u32_max,
         "invalid value: integer `4294967296" + usize_32},
        {"32-bit inner map count", Build{}.u8(1).u64(0).u64(1).u64(0).u64(u32_max + 1).bytes,
         u32_max, invalid_size_32(u32_max + 1)},
        {"32-bit string length", forward_entry_prefix().u64(u32_max + 1).bytes, u32_max,
         invalid_size_32(u32_max + 1)},
        {"32-bit inverse map key", Build{}.u8(1).u64(0).u64(0).u64(1).u64(~0ull).bytes, u32_max,
         "invalid value: integer `18446744073709551615" + usize_32},
        {"32-bit inverse map count", Build{}.u8(1).u64(0).u64(0).u64(u32_max + 2).bytes, u32_max,
         invalid_size_32(u32_max + 2)},
    };
    for (const ErrorCase& c : cases) {
        EXPECT_EQ(read_error(c.bytes, c.size_max), c.message) << c.name;
    }
}

TEST(StateCodec, LargestSizeTypeValuesAreAccepted) {
    // 2^32-1 is a valid column index for a 32-bit size type; codes are 64-bit everywhere.
    Build b = Build{}.u8(1).u64(1).u64(u32_max).u64(0).u64(1).u64(u32_max).u64(1).u64(~0ull);
    b.text("z").u32(0);
    const EncoderState read = must_read(b.bytes, u32_max);
    ASSERT_TRUE(read.encoding_info);
    EXPECT_EQ(read.encoding_info->categorical_columns, std::vector<ColumnIndex>{u32_max});
    EXPECT_EQ(read.encoding_info->inverse_maps.at(u32_max).at(~0ull), "z");
    if constexpr (sizeof(std::size_t) == 8) {
        // The platform's own size type takes any 64-bit index here.
        const EncoderState wide =
            must_read(Build{}.u8(1).u64(1).u64(~0ull).u64(0).u64(0).u32(0).bytes);
        EXPECT_EQ(wide.encoding_info->categorical_columns.at(0), ~ColumnIndex{0});
    }
}

TEST(StateCodec, Utf8ErrorsReportTheMaximalInvalidPrefix) {
    const std::string invalid = "string is not valid utf8: invalid utf-8 sequence of ";
    const std::string incomplete = "string is not valid utf8: incomplete utf-8 byte sequence ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"61", ""},
        {"c3a9", ""},
        {"e282ac", ""},
        {"efbfbf", ""},
        {"ed9fbf", ""},
        {"ee8080", ""},
        {"f0908d88", ""},
        {"f48fbfbf", ""},
        {"ff", invalid + "1 bytes from index 0"},
        {"fe", invalid + "1 bytes from index 0"},
        {"80", invalid + "1 bytes from index 0"},
        {"616280", invalid + "1 bytes from index 2"},
        {"c080", invalid + "1 bytes from index 0"},
        {"c1bf", invalid + "1 bytes from index 0"},
        {"c241", invalid + "1 bytes from index 0"},
        {"e28241", invalid + "2 bytes from index 0"},
        {"e08080", invalid + "1 bytes from index 0"},
        {"eda080", invalid + "1 bytes from index 0"},
        {"f0808080", invalid + "1 bytes from index 0"},
        {"f0908041", invalid + "3 bytes from index 0"},
        {"f4908080", invalid + "1 bytes from index 0"},
        {"f5808080", invalid + "1 bytes from index 0"},
        {"78f09041", invalid + "2 bytes from index 1"},
        {"616263e282acff", invalid + "1 bytes from index 6"},
        // Past the eight-byte ASCII stride.
        {"6162636465666768696a6b6c6d6e6f707172737475ff", invalid + "1 bytes from index 21"},
        {"c2", incomplete + "from index 0"},
        {"e2", incomplete + "from index 0"},
        {"e282", incomplete + "from index 0"},
        {"e0a0", incomplete + "from index 0"},
        {"f0", incomplete + "from index 0"},
        {"f09f", incomplete + "from index 0"},
        {"f09080", incomplete + "from index 0"},
        {"6162f09f98", incomplete + "from index 2"},
    };
    for (const auto& [digits, message] : cases) {
        const Bytes raw = hex(digits);
        Build b = forward_entry_prefix().u64(raw.size()).raw(raw).u8(0);
        finish(b);
        if (message.empty()) {
            const EncoderState read = must_read(b.bytes);
            ASSERT_TRUE(read.encoding_info) << digits;
            const ForwardMap& forward = read.encoding_info->forward_maps.at(0);
            EXPECT_EQ(forward.begin()->first, std::string(raw.begin(), raw.end())) << digits;
        } else {
            EXPECT_EQ(read_error(b.bytes), message) << digits;
        }
    }
}

TEST(StateCodec, CorruptCountsReserveAtMostOneMebibyte) {
    const std::uint64_t huge = 1ull << 31;
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"column list", Build{}.u8(1).u64(huge).bytes},
        {"column list with one index", Build{}.u8(1).u64(huge).u64(3).bytes},
        {"forward maps", Build{}.u8(1).u64(0).u64(huge).bytes},
        {"forward map", Build{}.u8(1).u64(0).u64(1).u64(0).u64(huge).bytes},
        {"inverse maps", Build{}.u8(1).u64(0).u64(0).u64(huge).bytes},
        {"inverse map", Build{}.u8(1).u64(0).u64(0).u64(1).u64(0).u64(huge).bytes},
    };
    for (const auto& [name, bytes] : cases) {
        std::string message;
        {
            AllocationWindow window;
            message = read_error(bytes);
        }
        EXPECT_EQ(message, "io error: unexpected end of file") << name;
        EXPECT_LE(largest_allocation.load(), mib) << name;
        EXPECT_LE(allocated_bytes.load(), mib + 4096) << name;
    }
}

TEST(StateCodec, RepeatedKeysKeepTheLastValue) {
    Build b = Build{}.u8(1).u64(2).u64(1).u64(1);  // columns [1, 1] stay as they are
    b.u64(2);                                      // forward maps: column 1 twice
    b.u64(1).u64(1).text("old").u8(1).u64(0);
    b.u64(1).u64(3).text("x").u8(1).u64(5).text("y").u8(0).text("x").u8(1).u64(9);
    b.u64(1).u64(0).u64(2).u64(4).text("first").u64(4).text("second");  // inverse: code 4 twice
    b.u32(0);
    const EncoderState read = must_read(b.bytes);
    ASSERT_TRUE(read.encoding_info);
    const EncodingInfo& info = *read.encoding_info;
    EXPECT_EQ(info.categorical_columns, (std::vector<ColumnIndex>{1, 1}));
    ASSERT_EQ(info.forward_maps.size(), 1u);
    const ForwardMap& forward = info.forward_maps.at(1);
    EXPECT_EQ(forward.size(), 2u);
    EXPECT_EQ(forward.at("x"), std::optional<std::uint64_t>(9));
    EXPECT_EQ(forward.at("y"), std::nullopt);
    EXPECT_FALSE(forward.contains(std::string_view("old")));
    ASSERT_EQ(info.inverse_maps.at(0).size(), 1u);
    EXPECT_EQ(info.inverse_maps.at(0).at(4), "second");
}

TEST(StateCodec, WritingMakesOneExactSizeAllocation) {
    const EncoderState example = worked_example();
    Bytes written;
    {
        AllocationWindow window;
        written = write_state(example);
    }
    EXPECT_EQ(allocations.load(), 1u);
    EXPECT_EQ(written.capacity(), written.size());
}

TEST(StateCodec, WritingIntoACallersBufferNeedsItsExactSize) {
    const EncoderState example = worked_example();
    Bytes exact(state_size(example));
    write_state_to(example, exact);
    EXPECT_EQ(must_read(exact).encoding_info->forward_maps.at(1).size(), 2u);
    for (const std::size_t size : {std::size_t{0}, exact.size() - 1, exact.size() + 1}) {
        Bytes wrong(size + 8, 0xAB);  // guard bytes past the span must stay untouched
        EXPECT_THROW(write_state_to(example, std::span(wrong).first(size)), std::logic_error);
        EXPECT_EQ(Bytes(wrong.begin() + static_cast<std::ptrdiff_t>(size), wrong.end()),
                  Bytes(8, 0xAB));
    }
}

std::string random_text(std::mt19937_64& rng) {
    static const std::vector<std::string> pieces = {
        "a", "Z", "0", " ", "nan", "<NA>", "é", "€", "𐍈", "\x7f", std::string(1, '\0')};
    std::string text;
    for (std::uint64_t n = rng() % 6; n > 0; --n)
        text += pieces[static_cast<std::size_t>(rng() % pieces.size())];
    return text;
}

EncoderState random_state(std::mt19937_64& rng) {
    if (rng() % 8 == 0) return EncoderState{};
    EncodingInfo info;
    for (std::uint64_t n = rng() % 5; n > 0; --n) {
        const ColumnIndex column = static_cast<ColumnIndex>(rng() % 40);
        info.categorical_columns.push_back(column);
        ForwardMap& forward = info.forward_maps[column];
        for (std::uint64_t k = rng() % 12; k > 0; --k) {
            const std::uint64_t code = rng() % 3 == 0 ? rng() : rng() % 16;
            forward[random_text(rng)] =
                rng() % 4 == 0 ? std::nullopt : std::optional<std::uint64_t>(code);
        }
        if (rng() % 5 != 0) info.inverse_maps[column] = invert_forward_map(forward);
    }
    return EncoderState{std::move(info), StringEncoding::Label};
}

TEST(StateCodec, RandomStatesRoundTripAndEveryPrefixFails) {
    std::mt19937_64 rng(20240611);
    for (int round = 0; round < 300; ++round) {
        const EncoderState state = random_state(rng);
        const Bytes written = write_state(state);
        ASSERT_EQ(written.size(), state_size(state));
        const EncoderState read = must_read(written);
        ASSERT_TRUE(same_state(read, state)) << "round " << round;
        EXPECT_EQ(write_state(read).size(), written.size());
        // The string encoding index is last, so every proper prefix is cut short somewhere.
        const std::size_t cut = static_cast<std::size_t>(rng() % written.size());
        const std::string error =
            read_error(Bytes(written.begin(), written.begin() + static_cast<std::ptrdiff_t>(cut)));
        EXPECT_TRUE(error == "io error: unexpected end of file" || error == "io error: ") << error;
    }
}

// Each learned text is kept once after reading too: an inverse map that repeats its forward
// map's texts views them.
TEST(StateCodec, InverseMapsReadBackViewTheirForwardMapsTexts) {
    EncodingInfo info;
    info.categorical_columns = {3};
    ForwardMap& forward = info.forward_maps[3];
    for (std::uint64_t code = 0; code < 97; ++code)
        forward.emplace("text" + std::to_string(code), code);
    forward.emplace("nan", std::nullopt);
    info.inverse_maps[3] = invert_forward_map(forward);
    info.inverse_maps[3].insert_or_assign(200, std::string("own text"));
    const EncoderState read = must_read(write_state(EncoderState{info, StringEncoding::Label}));
    const ForwardMap& read_forward = read.encoding_info->forward_maps.at(3);
    const InverseMap& read_inverse = read.encoding_info->inverse_maps.at(3);
    ASSERT_EQ(read_inverse.size(), 98u);
    for (const auto& [code, text] : read_inverse) {
        if (code == 200) {
            EXPECT_EQ(text, "own text");
            continue;
        }
        // The very bytes of the forward entry, not a copy of them.
        EXPECT_EQ(read_forward.find(text)->first.data(), text.data()) << text;
        EXPECT_EQ(read_forward.at(text), std::optional<std::uint64_t>(code));
    }
}

TEST(StateCodec, CorruptedBytesFailCleanlyOrReadBackStably) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 500; ++round) {
        Bytes bytes = write_state(random_state(rng));
        for (std::uint64_t flips = 1 + rng() % 3; flips > 0; --flips) {
            bytes[static_cast<std::size_t>(rng() % bytes.size())] ^=
                static_cast<std::uint8_t>(1u << (rng() % 8));
        }
        auto result = read_state(bytes);
        if (result) {
            EXPECT_TRUE(same_state(must_read(write_state(result.value())), result.value()));
        }
    }
}

}  // namespace
}  // namespace vexilo
