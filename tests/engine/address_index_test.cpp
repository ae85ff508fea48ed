// The address index: addresses, however close, each find their own entry, before and after
// release.
#include "engine/address_index.h"

#include <gtest/gtest.h>

#include <vector>

namespace vexilo {
namespace {

// Addresses one byte apart share their hash bits (objects are 16-byte aligned); those a page apart
// do not. Either way each must keep its own entry through the index's growth.
TEST(AddressIndex, EveryAddressFindsItsOwnEntry) {
    static char memory[1 << 16];
    for (const std::size_t step : {std::size_t{1}, std::size_t{16}, std::size_t{4096}}) {
        const std::size_t count = sizeof memory / step;
        AddressIndex index;
        for (std::size_t i = 0; i < count; ++i) {
            const AddressIndex::Slot& slot = index.probe(memory + i * step);
            ASSERT_EQ(slot.key, nullptr) << step << " " << i;
            index.insert(slot, memory + i * step, i);
        }
        ASSERT_EQ(index.size(), count);
        for (std::size_t i = 0; i < count; ++i) {
            const AddressIndex::Slot& slot = index.probe(memory + i * step);
            ASSERT_EQ(slot.key, memory + i * step) << step << " " << i;
            ASSERT_EQ(slot.entry, i) << step << " " << i;
        }
        const int other = 0;
        EXPECT_EQ(index.probe(&other).key, nullptr);
        index.release();
        EXPECT_EQ(index.size(), 0u);
    }
}

}  // namespace
}  // namespace vexilo
