// The probe table: every key found again through growth and collisions, the load policy that
// sizes it, and release.
#include "engine/probe_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace vexilo {
namespace {

struct Slot {
    std::uint64_t key;  // 0: free
    std::uint64_t value;
};

struct HalfFull {
    using Slot = vexilo::Slot;
    using Storage = std::vector<Slot>;
    static constexpr std::size_t min_slots = 4;
    static bool is_free(const Slot& slot) noexcept { return slot.key == 0; }
    static bool allows(std::size_t count, std::size_t slot_count) noexcept {
        return MaxLoad<1, 2>::allows(count, slot_count);
    }
};
using Table = ProbeTable<HalfFull>;

using HashOf = std::function<std::uint64_t(std::uint64_t)>;

std::size_t find(const Table& table, const HashOf& hash_of, std::uint64_t key) {
    return table.find(hash_of(key), [&](const Slot& slot) { return slot.key == key; });
}

// Keys 1..count inserted one by one, each with the value key * 10.
Table filled(std::size_t count, const HashOf& hash_of) {
    Table table(Table::slot_count_for(0));
    for (std::uint64_t key = 1; key <= count; ++key) {
        const std::size_t at = find(table, hash_of, key);
        EXPECT_TRUE(table.is_free(at)) << key;
        table.insert(at, Slot{key, key * 10}, [&](const Slot& slot) { return hash_of(slot.key); });
    }
    return table;
}

// Spread hashes, one home for all (every probe wraps past the last slot), and hashes that differ
// only above the bits a small table uses.
const std::vector<std::pair<const char*, HashOf>> hashes = {
    {"spread", [](std::uint64_t key) { return key * 0x9E3779B97F4A7C15ULL; }},
    {"one home", [](std::uint64_t) { return ~std::uint64_t{0}; }},
    {"high bits", [](std::uint64_t key) { return key << 40; }},
};

void expect_keys(const Table& table, const HashOf& hash_of, std::size_t count, const char* name) {
    ASSERT_EQ(table.size(), count) << name;
    for (std::uint64_t key = 1; key <= count; ++key) {
        const std::size_t at = find(table, hash_of, key);
        ASSERT_FALSE(table.is_free(at)) << name << " " << key;
        ASSERT_EQ(table[at].value, key * 10) << name << " " << key;
    }
    EXPECT_TRUE(table.is_free(find(table, hash_of, count + 1))) << name;
}

// Growth by rehashing the slots (insert) and by rebuilding from the keys in order.
TEST(ProbeTable, GrowthAndCollisionsKeepEveryKey) {
    for (const auto& [name, hash_of] : hashes) {
        const std::size_t count = hash_of(1) == hash_of(2) ? 300 : 20000;
        Table table = filled(count, hash_of);
        EXPECT_EQ(table.slot_count(), Table::slot_count_for(count)) << name;
        expect_keys(table, hash_of, count, name);
        // Clang before 16 cannot capture a structured binding.
        table.rebuild(table.slot_count() * 2, count, [&, hash = hash_of](std::size_t i) {
            const std::uint64_t key = i + 1;
            return std::pair{hash(key), Slot{key, key * 10}};
        });
        expect_keys(table, hash_of, count, name);
    }
}

TEST(ProbeTable, LoadPolicySizesAndGrowsTheTable) {
    struct Case {
        std::size_t count;
        std::size_t slots;
    };
    for (const Case c : {Case{0, 4}, Case{2, 4}, Case{3, 8}, Case{4, 8}, Case{5, 16}}) {
        EXPECT_EQ(Table::slot_count_for(c.count), c.slots) << c.count;
    }
    EXPECT_TRUE((MaxLoad<3, 4>::allows(12, 16)));
    EXPECT_FALSE((MaxLoad<3, 4>::allows(13, 16)));
    // Inserting doubles the table exactly when the policy would be exceeded.
    const HashOf& spread = hashes[0].second;
    for (std::size_t count = 1; count <= 70; ++count) {
        const Table table = filled(count, spread);
        ASSERT_EQ(table.slot_count(), Table::slot_count_for(count)) << count;
        ASSERT_TRUE(table.allows(count));
    }
}

TEST(ProbeTable, ReleaseCopyAndMove) {
    const HashOf& spread = hashes[0].second;
    Table table = filled(100, spread);
    const Table copy = table;
    Table moved = std::move(table);
    EXPECT_EQ(table.slot_count(), 0u);  // NOLINT(bugprone-use-after-move): the contract under test
    EXPECT_EQ(table.size(), 0u);
    moved.release();
    EXPECT_EQ(moved.slot_count(), 0u);
    EXPECT_EQ(moved.size(), 0u);
    ASSERT_EQ(copy.size(), 100u);
    EXPECT_FALSE(copy.is_free(find(copy, spread, 100)));
    moved = Table(Table::slot_count_for(0));  // usable again once given slots
    EXPECT_TRUE(moved.is_free(find(moved, spread, 100)));
}

}  // namespace
}  // namespace vexilo
