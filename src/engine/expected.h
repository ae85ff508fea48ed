// The one error value of the engine: what went wrong (a kind and a message, and for errors in a
// cell of a table, where), and Expected<T>, a T or that error. The Python layer maps each kind to
// its exception in one place. Interpreter-free.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <variant>

namespace vexilo {

// Why an engine routine could not give its result.
enum class ErrorKind {
    // The input is of a kind this routine does not read (an Arrow type it does not know): the
    // caller may read it another way.
    unsupported,
    // The producer of an Arrow stream reported a failure through its callbacks: message holds
    // the step, its code and the producer's own text.
    producer_failed,
    // Memory a producer handed over breaks its format's rules (Arrow offsets, views, dictionary
    // indices, sizes): message says what, column where. Nothing was read from it.
    invalid_memory,
    // A text of the table is not valid UTF-8: at column, row.
    invalid_text,
    // A category code names no category: at column, row.
    stray_code,
    // State bytes that do not decode: message is the text the caller sees.
    invalid_state,
    // transform: the learned state lists column as categorical, the table has count columns.
    column_missing,
    // transform: column holds numbers in the learned state, but text at row.
    text_in_numeric_column,
    // transform under the error policy: text, at row, is the first unseen text of column, which
    // holds count unseen cells.
    unseen_text,
};

// An engine error. Columns and rows are 0-based positions in the table the routine was given;
// fields a kind does not name stay at their defaults.
struct Error {
    ErrorKind kind = ErrorKind::unsupported;
    std::string message;
    std::size_t column = 0;
    std::size_t row = 0;
    std::size_t count = 0;
    std::string text;  // a cell's text (UTF-8 unless the error is that it is not)
};

// Nothing to return but success.
struct Unit {};

// A T or the E that kept it from being made: the engine's Error, or (in the Python layer) the
// Python exception. [[nodiscard]]: an error must be looked at.
template <class T, class E = Error>
class [[nodiscard]] Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    explicit operator bool() const noexcept { return state_.index() == 0; }
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

using Outcome = Expected<Unit>;

// An error of kind with message and nothing else.
inline Error make_error(ErrorKind kind, std::string message) {
    Error error;
    error.kind = kind;
    error.message = std::move(message);
    return error;
}

}  // namespace vexilo

// Unwraps an Expected inside a routine that itself returns an Expected: yields the value, or
// returns the error from the enclosing routine. (A GNU statement expression, as VX_TRY.)
#define VX_EXPECT(expr)                                                      \
    ({                                                                       \
        auto vx_expect_result_ = (expr);                                     \
        if (!vx_expect_result_) return std::move(vx_expect_result_).error(); \
        std::move(vx_expect_result_).value();                                \
    })
