// label_encode over one million cells at several numbers of distinct texts, and the inverse of its
// forward map, on pools of one and two threads, next to a single-threaded sort and unique of the
// same views as a yardstick.
// Run: label_encode_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// (per_cell is the time per cell; the "min" aggregate is the figure least disturbed by other load
// on the machine; the CPU column is the whole process's CPU time, all threads together).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/label_encode.h"

namespace {

constexpr std::size_t cell_count = 1'000'000;

// A column of cell_count cells drawing on exactly `distinct` texts of 8 to 24 bytes, shuffled.
// Every cell owns its text, as the cells read from a table do.
struct Column {
    std::vector<std::string> texts;
    std::vector<std::string_view> cells;
};

const Column& column_with(std::size_t distinct) {
    static std::map<std::size_t, std::unique_ptr<Column>> columns;
    std::unique_ptr<Column>& column = columns[distinct];
    if (column) return *column;
    column = std::make_unique<Column>();
    std::mt19937_64 rng(distinct);
    std::vector<std::string> vocabulary(distinct);
    for (std::string& text : vocabulary) {
        text.resize(8 + rng() % 17);
        for (char& c : text) c = static_cast<char>(' ' + rng() % 95);
    }
    std::vector<std::size_t> picks(cell_count);
    for (std::size_t i = 0; i < cell_count; ++i) picks[i] = i % distinct;
    std::shuffle(picks.begin(), picks.end(), rng);
    column->texts.reserve(cell_count);
    for (std::size_t pick : picks) column->texts.push_back(vocabulary[pick]);
    column->cells.assign(column->texts.begin(), column->texts.end());
    return *column;
}

vexilo::pool::ThreadPool& pool_of(std::size_t threads) {
    static std::map<std::size_t, std::unique_ptr<vexilo::pool::ThreadPool>> pools;
    std::unique_ptr<vexilo::pool::ThreadPool>& pool = pools[threads];
    if (!pool) pool = std::make_unique<vexilo::pool::ThreadPool>(threads);
    return *pool;
}

double fastest(const std::vector<double>& runs) {
    return *std::min_element(runs.begin(), runs.end());
}

void report_per_cell(benchmark::State& state) {
    state.counters["per_cell"] = benchmark::Counter(
        static_cast<double>(cell_count),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void label_encode(benchmark::State& state) {
    const Column& column = column_with(static_cast<std::size_t>(state.range(0)));
    vexilo::pool::ThreadPool& pool = pool_of(static_cast<std::size_t>(state.range(1)));
    for (auto _ : state) {
        vexilo::LabelEncoding encoding = vexilo::label_encode(column.cells, pool);
        benchmark::DoNotOptimize(encoding.codes.data());
        // Releasing the result is the caller's cost, not the encoding's.
        state.PauseTiming();
        encoding = vexilo::LabelEncoding();
        state.ResumeTiming();
    }
    report_per_cell(state);
}

// The inverse of the forward map of a column, as the table encoding builds it after each column.
void inverse_map(benchmark::State& state) {
    const Column& column = column_with(static_cast<std::size_t>(state.range(0)));
    vexilo::pool::ThreadPool& pool = pool_of(static_cast<std::size_t>(state.range(1)));
    const vexilo::ForwardMap forward = vexilo::label_encode(column.cells, pool).forward_map;
    for (auto _ : state) {
        vexilo::InverseMap inverse = vexilo::build_inverse_map(forward, pool);
        benchmark::DoNotOptimize(inverse.size());
        state.PauseTiming();
        inverse = vexilo::InverseMap();
        state.ResumeTiming();
    }
    report_per_cell(state);
}

void sort_unique_yardstick(benchmark::State& state) {
    const Column& column = column_with(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::vector<std::string_view> views(column.cells.begin(), column.cells.end());
        std::sort(views.begin(), views.end());
        views.erase(std::unique(views.begin(), views.end()), views.end());
        benchmark::DoNotOptimize(views.data());
    }
    report_per_cell(state);
}

BENCHMARK(label_encode)
    ->ArgNames({"distinct", "threads"})
    ->ArgsProduct({{10, 1'000, 100'000, 1'000'000}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->ComputeStatistics("min", fastest);
BENCHMARK(inverse_map)
    ->ArgNames({"distinct", "threads"})
    ->ArgsProduct({{100'000, 1'000'000}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->ComputeStatistics("min", fastest);
BENCHMARK(sort_unique_yardstick)
    ->ArgNames({"distinct"})
    ->Args({10})
    ->Args({1'000})
    ->Args({100'000})
    ->Args({1'000'000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->ComputeStatistics("min", fastest);

}  // namespace

BENCHMARK_MAIN();
