// Sorted distinct text lists: made by one parallel sort, merged in one pass, numbered by
// label_encode into a learned state. Interpreter-free.
#include "engine/text_list.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "engine/label_encode.h"
#include "engine/sort_prefix.h"
#include "engine/unaligned_load.h"

namespace vexilo {
namespace {

// A text with its first eight bytes big-endian (zero-padded), so that most comparisons of the
// sort compare two integers, in the texts' byte order.
struct Keyed {
    std::uint64_t prefix;
    std::string_view text;
};

void append(TextList& list, std::string_view text) {
    list.bytes.append(text);
    list.ends.push_back(list.bytes.size());
}

TextList copy_of(const TextListView& list) {
    TextList copy;
    copy.ends.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) append(copy, list[i]);
    return copy;
}

// The sorted union of two sorted lists, in one pass.
TextList merge_two(const TextListView& a, const TextListView& b) {
    TextList merged;
    merged.ends.reserve(a.size() + b.size());
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const std::string_view left = a[i], right = b[j];
        if (left < right) {
            append(merged, left);
            ++i;
        } else if (right < left) {
            append(merged, right);
            ++j;
        } else {
            append(merged, left);
            ++i;
            ++j;
        }
    }
    for (; i < a.size(); ++i) append(merged, a[i]);
    for (; j < b.size(); ++j) append(merged, b[j]);
    return merged;
}

}  // namespace

bool TextListView::well_formed() const noexcept {
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i < count_; ++i) {
        const std::uint64_t at = end(i);
        if (at < previous) return false;
        previous = at;
    }
    return previous == bytes_.size();
}

std::uint64_t TextListView::end(std::size_t i) const noexcept {
    return load_unaligned<std::uint64_t>(ends_ + i * sizeof(std::uint64_t));
}

std::string_view TextListView::operator[](std::size_t i) const noexcept {
    const auto begin = static_cast<std::size_t>(i == 0 ? 0 : end(i - 1));
    return bytes_.substr(begin, static_cast<std::size_t>(end(i)) - begin);
}

TextList sorted_distinct_texts(std::span<const std::string_view> texts, pool::ThreadPool& pool) {
    std::vector<Keyed> keyed(texts.size());
    pool.parallel_for(texts.size(), [&](std::size_t i) {
        keyed[i] = {sort_prefix(texts[i]), texts[i]};
    });
    pool.parallel_sort(std::span<Keyed>(keyed), [](const Keyed& a, const Keyed& b) {
        // Equal prefixes leave the order to the whole texts (zero padding cannot tell "ab" from
        // "ab\0"); string_view compares bytes as unsigned char.
        return a.prefix != b.prefix ? a.prefix < b.prefix : a.text < b.text;
    });
    TextList list;
    std::size_t total = 0;
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        if (i > 0 && keyed[i].text == keyed[i - 1].text) continue;
        total += keyed[i].text.size();
        list.ends.push_back(total);
    }
    list.bytes.reserve(total);
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        if (i > 0 && keyed[i].text == keyed[i - 1].text) continue;
        list.bytes.append(keyed[i].text);
    }
    return list;
}

std::vector<TextList> column_text_lists(std::span<const CollectedColumn> columns,
                                        const std::vector<bool>& requested,
                                        pool::ThreadPool& pool) {
    std::vector<TextList> lists(columns.size());
    pool.parallel_for(columns.size(), [&](std::size_t i) {
        if (requested[columns[i].col])
            lists[i] = sorted_distinct_texts(columns[i].cells.texts(), pool);
    });
    return lists;
}

TextList merge_text_lists(std::span<const TextListView> lists, pool::ThreadPool& pool) {
    if (lists.empty()) return TextList{};
    // Rounds of pairwise merges, the pairs of a round in parallel: each text is passed on once
    // per round, and lists of shared texts shrink as they merge.
    std::vector<TextList> round;
    std::vector<TextListView> views(lists.begin(), lists.end());
    do {
        std::vector<TextList> next((views.size() + 1) / 2);
        pool.run_inside([&] {
            pool.parallel_for(next.size(), [&](std::size_t i) {
                next[i] = 2 * i + 1 < views.size() ? merge_two(views[2 * i], views[2 * i + 1])
                                                   : copy_of(views[2 * i]);
            });
        });
        round = std::move(next);
        views.clear();
        for (const TextList& list : round) views.emplace_back(list);
    } while (round.size() > 1);
    return std::move(round.front());
}

EncodingInfo encoding_from_texts(
    std::span<const std::pair<ColumnIndex, std::vector<std::string_view>>> columns,
    pool::ThreadPool& pool) {
    struct Learned {
        ForwardMap forward;
        InverseMap inverse;
    };
    std::vector<std::optional<Learned>> learned(columns.size());
    pool.run_inside([&] {
        pool.parallel_for(columns.size(), [&](std::size_t i) {
            // Numbered as a column that holds each text once: the codes depend only on the
            // distinct texts, so this is the map of any column holding exactly these texts.
            ForwardMap forward = label_encode(columns[i].second, pool).forward_map;
            InverseMap inverse = build_inverse_map(forward, pool);
            learned[i].emplace(Learned{std::move(forward), std::move(inverse)});
        });
    });
    EncodingInfo info;
    info.categorical_columns.reserve(columns.size());
    info.forward_maps.reserve(columns.size());
    info.inverse_maps.reserve(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const ColumnIndex col = columns[i].first;
        info.categorical_columns.push_back(col);
        info.forward_maps.emplace(col, std::move(learned[i]->forward));
        info.inverse_maps.emplace(col, std::move(learned[i]->inverse));
    }
    return info;
}

}  // namespace vexilo
