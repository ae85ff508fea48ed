// Texts kept word for word for compatibility. Interpreter-free.
#pragma once

#include <string_view>

// These texts reach callers as exception messages, in the notes of internal failures, and on
// standard output. Code written against earlier releases matches them exactly, and pickled states
// that fail to load report them, so they must not change, not even to fix their spelling or
// grammar: a change breaks callers without any error at build time.
namespace vexilo::frozen_text {

// Reading a learned state.
inline constexpr std::string_view integer_value = "invalid value: integer `";
inline constexpr std::string_view expected_usize = "`, expected usize";
inline constexpr std::string_view expected_variant = "`, expected variant index 0 <= i < 1";
inline constexpr std::string_view invalid_tag = "tag for enum is not valid, found ";
inline constexpr std::string_view io_error = "io error: ";
inline constexpr std::string_view unexpected_end = "io error: unexpected end of file";

// Reading the caller's table.
inline constexpr std::string_view cannot_extract_str = "Can't extract `str` to `Vec`";
inline constexpr std::string_view unhandled_error = "unhandled Python error";
inline constexpr std::string_view str_failure = "cant convert to str";
inline constexpr std::string_view failed_printing = "failed printing to stdout: ";

// Building a decoded result.
inline constexpr std::string_view no_entry_for_key = "no entry found for key";
inline constexpr std::string_view ndarray_out_of_bounds = "ndarray: index out of bounds";
inline constexpr std::string_view index_out_of_bounds = "index out of bounds: the len is ";

// The Encoder type.
inline constexpr std::string_view already_borrowed = "Already borrowed";
inline constexpr std::string_view already_mutably_borrowed = "Already mutably borrowed";
inline constexpr std::string_view unsupported_string_encoding =
    " is not a supported encoding strategy for strings!";

// The worker pool's start failure ("The global thread pool has not been initialized.") is frozen
// too; it is spelled in src/pool/pool.cpp.

}  // namespace vexilo::frozen_text
