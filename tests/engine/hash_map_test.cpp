// The learned-state hash map: agreement with an ordered reference under random operations, the
// index-free layout of positional integer keys and the moment it is left, bulk assignment, the
// deferred index and its first concurrent lookups, and the keyed hash on texts of every length.
#include "engine/hash_map.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace vexilo {
namespace {

// Texts viewed in the map's store, as the learned state keeps them; codes to owned texts.
using TextMap = HashMap<std::string_view, std::optional<std::uint64_t>>;
using CodeMap = HashMap<std::uint64_t, std::string>;

template <class Map, class Reference>
void expect_same(const Map& map, const Reference& reference, const std::string& label) {
    ASSERT_EQ(map.size(), reference.size()) << label;
    std::size_t visited = 0;
    for (const auto& [key, value] : map) {
        const auto expected = reference.find(key);
        ASSERT_NE(expected, reference.end()) << label;
        ASSERT_EQ(value, expected->second) << label;
        ++visited;
    }
    ASSERT_EQ(visited, reference.size()) << label;
    for (const auto& [key, value] : reference) {
        ASSERT_TRUE(map.contains(key)) << label;
        ASSERT_EQ(map.at(key), value) << label;
    }
}

// Random interleavings of every way in: emplace, try_emplace, insert_or_assign, operator[],
// reserve and copies, over keys drawn so that many repeat.
TEST(HashMap, TextMapAgreesWithAnOrderedMap) {
    std::mt19937_64 rng(7);
    for (const std::size_t key_range : {3u, 50u, 5000u}) {
        TextMap map;
        std::map<std::string, std::optional<std::uint64_t>, std::less<>> reference;
        for (int step = 0; step < 20000; ++step) {
            // Keys of 0 to 40 bytes, embedded zero bytes included, so every hash path is taken.
            const std::uint64_t pick = rng() % key_range;
            std::string key(static_cast<std::size_t>(pick % 41), '\0');
            for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<char>(pick >> i);
            const std::optional<std::uint64_t> value =
                rng() % 4 == 0 ? std::nullopt : std::optional<std::uint64_t>(rng());
            switch (rng() % 5) {
                case 0:
                    EXPECT_EQ(map.emplace(key, value).second, reference.emplace(key, value).second);
                    break;
                case 1:
                    EXPECT_EQ(map.try_emplace(key, value).second,
                              reference.try_emplace(key, value).second);
                    break;
                case 2:
                    map.insert_or_assign(key, value);
                    reference.insert_or_assign(key, value);
                    break;
                case 3:
                    map[key] = value;
                    reference[key] = value;
                    break;
                default:
                    map.reserve(map.size() + static_cast<std::size_t>(rng() % 100));
                    break;
            }
        }
        expect_same(map, reference, "keys below " + std::to_string(key_range));
        const TextMap copy = map;
        EXPECT_TRUE(copy == map);
        expect_same(copy, reference, "copy");
        EXPECT_FALSE(map.contains("absent key, longer than anything stored above"));
    }
}

// Integer keys stay index-free while they arrive as 0, 1, 2, ...; any other key leaves that
// layout, and every entry must stay reachable across the switch.
TEST(HashMap, PositionalKeysAndTheSwitchToAnIndex) {
    const std::vector<std::vector<std::uint64_t>> orders = {
        {0, 1, 2, 3},           // stays positional
        {0, 1, 2, 2, 1, 0, 3},  // repeats stay positional too
        {0, 1, 5, 2, 3},        // a gap
        {1, 0},                 // not starting at 0
        {0, ~0ull, 1, 2},       // the largest key
        {3, 2, 1, 0, 4},        // all positions, in the wrong order
    };
    for (const auto& order : orders) {
        CodeMap map;
        std::map<std::uint64_t, std::string> reference;
        for (const std::uint64_t key : order) {
            map.emplace(key, std::to_string(key));
            reference.emplace(key, std::to_string(key));
        }
        expect_same(map, reference, ::testing::PrintToString(order));
        EXPECT_FALSE(map.contains(order.size() + 100));
        EXPECT_THROW(map.at(order.size() + 100), std::out_of_range);
    }
    // Many keys after a switch, so the index grows several times.
    CodeMap map;
    map.emplace(7, "7");
    for (std::uint64_t key = 0; key < 5000; ++key) map.try_emplace(key, std::to_string(key));
    ASSERT_EQ(map.size(), 5000u);
    for (std::uint64_t key = 0; key < 5000; ++key) ASSERT_EQ(map.at(key), std::to_string(key));
}

TEST(HashMap, AssignDistinctTakesEntriesAndRefusesRepeats) {
    const std::vector<std::pair<std::vector<std::uint64_t>, bool>> cases = {
        {{}, true},        {{0, 1, 2}, true},  {{2, 0, 1}, true},
        {{0, 9, 4}, true}, {{0, 1, 1}, false}, {{5, 3, 5}, false},
    };
    for (const auto& [keys, distinct] : cases) {
        CodeMap map;
        map.emplace(42, "old");
        std::vector<CodeMap::value_type> entries;
        for (const std::uint64_t key : keys) entries.emplace_back(key, "v" + std::to_string(key));
        if (!distinct) {
            EXPECT_THROW(map.assign_distinct(std::move(entries)), std::invalid_argument);
            EXPECT_EQ(map.size(), 1u);  // unchanged
            EXPECT_EQ(map.at(42), "old");
            continue;
        }
        map.assign_distinct(std::move(entries));
        ASSERT_EQ(map.size(), keys.size());
        for (const std::uint64_t key : keys) EXPECT_EQ(map.at(key), "v" + std::to_string(key));
        EXPECT_FALSE(map.contains(42));
        // Later insertions still find the adopted entries.
        EXPECT_EQ(map.emplace(keys.empty() ? 0 : keys[0], "new").second, keys.empty());
        map.emplace(1000, "x");
        EXPECT_EQ(map.at(1000), "x");
    }
    TextMap texts;  // entries viewing literals need no store
    std::vector<TextMap::value_type> entries = {{"b", 1}, {"", 0}, {"nan", std::nullopt}};
    texts.assign_distinct(std::move(entries), nullptr);
    EXPECT_EQ(texts.at(""), std::optional<std::uint64_t>(0));
    EXPECT_EQ(texts.at("nan"), std::nullopt);
    std::vector<TextMap::value_type> repeated = {{"a", 1}, {"b", 2}, {"a", 3}};
    EXPECT_THROW(texts.assign_distinct(std::move(repeated), nullptr), std::invalid_argument);
    EXPECT_EQ(texts.size(), 3u);
}

// Entries "text <i>" -> i for i below count, their texts in a new store.
std::pair<std::vector<TextMap::value_type>, std::shared_ptr<TextStore>> numbered_texts(
    std::size_t count) {
    auto store = std::make_shared<TextStore>();
    std::vector<TextMap::value_type> entries;
    for (std::size_t i = 0; i < count; ++i) {
        entries.emplace_back(store->store("text " + std::to_string(i)), i);
    }
    return {std::move(entries), std::move(store)};
}

template <class Assign>
void assign_numbered(std::size_t count, Assign assign) {
    auto [entries, store] = numbered_texts(count);
    assign(std::move(entries), std::move(store));
}

void expect_numbered(const TextMap& map, std::size_t count) {
    ASSERT_EQ(map.size(), count);
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(map.at("text " + std::to_string(i)), std::optional<std::uint64_t>(i)) << i;
    }
    ASSERT_FALSE(map.contains("text"));
}

// A map assigned without an index must behave the same whichever operation meets it first.
TEST(HashMap, DeferredIndexIsBuiltByWhateverComesFirst) {
    const std::vector<std::string> firsts = {"lookup", "insert",  "copy",
                                             "move",   "reserve", "compare"};
    for (const std::string& first : firsts) {
        TextMap map;
        map.emplace("gone", 1);
        assign_numbered(3000, [&](auto entries, auto store) {
            map.assign_distinct_unindexed(std::move(entries), std::move(store));
        });
        if (first == "lookup") {
            expect_numbered(map, 3000);
        } else if (first == "insert") {
            EXPECT_FALSE(map.emplace("text 5", 99).second);
            EXPECT_TRUE(map.emplace("text 3000", 3000).second);
            expect_numbered(map, 3001);
        } else if (first == "copy") {
            const TextMap copy = map;
            expect_numbered(copy, 3000);
        } else if (first == "move") {
            TextMap moved = std::move(map);
            expect_numbered(moved, 3000);
            map = std::move(moved);
        } else if (first == "reserve") {
            map.reserve(5000);
            map["text 3000"] = 3000;
            expect_numbered(map, 3001);
        } else {
            TextMap other;
            assign_numbered(3000, [&](auto entries, auto store) {
                other.assign_distinct(std::move(entries), std::move(store));
            });
            EXPECT_TRUE(other == map);
            EXPECT_TRUE(map == other);
        }
        EXPECT_FALSE(map.contains("gone")) << first;
        EXPECT_GE(map.size(), 3000u) << first;
    }
    TextMap repeated;
    std::vector<TextMap::value_type> entries = {{"a", 1}, {"b", 2}, {"a", 3}};
    repeated.assign_distinct_unindexed(std::move(entries), nullptr);
    EXPECT_THROW((void)repeated.find("a"), std::invalid_argument);
}

// Several threads may make the first lookups of a deferred map at once.
TEST(HashMap, DeferredIndexSurvivesConcurrentFirstLookups) {
    for (int round = 0; round < 20; ++round) {
        TextMap map;
        assign_numbered(2000, [&](auto entries, auto store) {
            map.assign_distinct_unindexed(std::move(entries), std::move(store));
        });
        std::atomic<int> ready{0};
        std::atomic<int> misses{0};
        std::vector<std::thread> readers;
        for (int t = 0; t < 4; ++t) {
            readers.emplace_back([&, t] {
                ready.fetch_add(1);
                while (ready.load() < 4) {
                }
                for (std::size_t i = static_cast<std::size_t>(t); i < 2000; i += 7) {
                    const auto found = map.find("text " + std::to_string(i));
                    if (found == map.end() || found->second != i) misses.fetch_add(1);
                }
            });
        }
        for (std::thread& reader : readers) reader.join();
        ASSERT_EQ(misses.load(), 0) << round;
    }
}

// A column's maps share one copy of its texts; whatever a map adds later goes to a store of its
// own, and the shared texts live as long as any map that views them.
TEST(HashMap, ViewedTextsAreSharedAndOutliveTheMapThatStoredThem) {
    auto forward = std::make_unique<TextMap>();
    for (std::uint64_t i = 0; i < 1000; ++i) forward->emplace("t" + std::to_string(i), i);
    HashMap<std::uint64_t, std::string_view> inverse;
    std::vector<std::pair<std::uint64_t, std::string_view>> entries(1000);
    for (const auto& [text, code] : *forward)
        entries[static_cast<std::size_t>(*code)] = {*code, text};
    inverse.assign_distinct(std::move(entries), forward->texts());
    EXPECT_EQ(inverse.texts(), forward->texts());
    TextMap copy = *forward;
    EXPECT_TRUE(copy.emplace("added", 5000).second);
    EXPECT_NE(copy.texts(), forward->texts());
    EXPECT_FALSE(forward->contains("added"));
    inverse.insert_or_assign(7, std::string("replaced"));
    EXPECT_EQ(forward->at("t7"), std::optional<std::uint64_t>(7));
    forward.reset();
    for (std::uint64_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(inverse.at(i), i == 7 ? "replaced" : "t" + std::to_string(i));
        ASSERT_EQ(copy.at("t" + std::to_string(i)), std::optional<std::uint64_t>(i));
    }
    EXPECT_EQ(copy.at("added"), std::optional<std::uint64_t>(5000));
}

TEST(HashMap, MovedFromMapIsEmptyAndUsable) {
    TextMap map;
    for (int i = 0; i < 100; ++i) map.emplace(std::to_string(i), i);
    TextMap moved = std::move(map);
    EXPECT_EQ(moved.size(), 100u);
    EXPECT_TRUE(map.empty());  // NOLINT(bugprone-use-after-move): the contract under test
    EXPECT_FALSE(map.contains("1"));
    map.emplace("again", 1);
    EXPECT_EQ(map.at("again"), std::optional<std::uint64_t>(1));
    CodeMap codes;
    codes.emplace(5, "five");  // leaves the positional layout
    CodeMap other;
    other = std::move(codes);
    EXPECT_TRUE(codes.empty());  // NOLINT(bugprone-use-after-move)
    codes.emplace(0, "zero");
    EXPECT_EQ(codes.at(0), "zero");
    EXPECT_EQ(other.at(5), "five");
}

// Values that can only be moved are kept and found; equality ignores order and hasher.
TEST(HashMap, MoveOnlyValuesAndOrderFreeEquality) {
    HashMap<std::uint64_t, std::unique_ptr<int>> owners;
    for (int i = 0; i < 200; ++i) owners.emplace(static_cast<std::uint64_t>(i * 3), new int(i));
    for (int i = 0; i < 200; ++i) EXPECT_EQ(*owners.at(static_cast<std::uint64_t>(i * 3)), i);

    TextMap a, b;
    for (int i = 0; i < 50; ++i) a.emplace(std::to_string(i), i);
    for (int i = 49; i >= 0; --i) b.emplace(std::to_string(i), i);
    EXPECT_TRUE(a == b);
    b["7"] = std::nullopt;
    EXPECT_FALSE(a == b);
    b["7"] = 7;
    b.emplace("extra", 1);
    EXPECT_FALSE(a == b);
}

// find_each gives what find gives, in order, for present and absent keys, whether the map has an
// index, a deferred one, or (positional keys) none.
TEST(HashMap, FindEachAgreesWithFind) {
    std::vector<std::string> keys;
    for (int i = 0; i < 3000; ++i) keys.push_back("key" + std::to_string(i * 7));
    TextMap indexed, deferred;
    std::vector<TextMap::value_type> entries;
    for (std::size_t i = 0; i < keys.size(); i += 2) {
        indexed.emplace(keys[i], i);
        entries.emplace_back(keys[i], i);
    }
    deferred.assign_distinct_unindexed(std::move(entries), nullptr);  // keys outlive it
    for (const TextMap* map : {&indexed, &deferred}) {
        for (std::size_t count : {std::size_t{0}, std::size_t{3}, keys.size()}) {
            std::size_t calls = 0;
            map->find_each(
                count, [&](std::size_t i) { return std::string_view(keys[i]); },
                [&](std::size_t i, TextMap::const_iterator entry) {
                    ASSERT_EQ(i, calls++);
                    ASSERT_EQ(entry, map->find(keys[i]));
                });
            EXPECT_EQ(calls, count);
        }
    }
    CodeMap positional;
    for (std::uint64_t code = 0; code < 10; ++code) positional.emplace(code, "x");
    std::size_t found = 0;
    positional.find_each(
        20, [](std::size_t i) { return std::uint64_t{i}; },
        [&](std::size_t i, CodeMap::const_iterator entry) {
            EXPECT_EQ(entry == positional.end(), i >= 10);
            found += entry != positional.end();
        });
    EXPECT_EQ(found, 10u);
}

TEST(SeededHash, ShortTextsDifferingInAnyOneByteHashApart) {
    const SeededHash hash;
    std::mt19937_64 rng(3);
    for (std::size_t length = 1; length <= 70; ++length) {
        std::string text(length, ' ');
        for (char& c : text) c = static_cast<char>(rng());
        const std::uint64_t original = hash.hash64(text);
        for (std::size_t at = 0; at < length; ++at) {
            std::string changed = text;
            changed[at] = static_cast<char>(changed[at] ^ 0x01);
            EXPECT_NE(hash.hash64(changed), original) << length << " " << at;
        }
        // A text and the same text with a zero byte appended differ only by length.
        EXPECT_NE(hash.hash64(text + '\0'), original) << length;
    }
}

}  // namespace
}  // namespace vexilo
