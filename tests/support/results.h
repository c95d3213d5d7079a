// Checks for results that may fail, with the error's text in the failure message:
//   ASSERT_TRUE(succeeded(result));
//   EXPECT_TRUE(failedWith(result, "indirizzo non valido"));
//   EXPECT_TRUE(failedContaining(result, "certificate verify failed"));
// `result` is a `tl::expected` (its error an `Error`, a `TokenError`, a `LinkError` or a text) or
// the `std::optional<Error>` a completion reports.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>
#include <tl/expected.hpp>

#include "core/base/runtime.h"

namespace quendra::test {

namespace detail {

inline std::string textOf(const Error& error) { return errorMessage(error); }
inline std::string textOf(const TokenError& error) { return error.message; }
inline std::string textOf(const LinkError& error) { return error.message; }
inline std::string textOf(const std::string& error) { return error; }

template <class T, class E>
const E* errorOf(const tl::expected<T, E>& result) {
    return result ? nullptr : &result.error();
}
inline const Error* errorOf(const std::optional<Error>& result) { return result ? &*result : nullptr; }

template <class R>
::testing::AssertionResult failedAs(const R& result, std::string_view expected, bool whole) {
    const auto* error = errorOf(result);
    if (!error) return ::testing::AssertionFailure() << "succeeded; expected the error \"" << expected << "\"";
    const std::string text = textOf(*error);
    const bool matches = whole ? text == expected : text.find(expected) != std::string::npos;
    if (matches) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "failed with \"" << text << "\"; expected "
                                         << (whole ? "" : "a text containing ") << "\"" << expected << "\"";
}

}  // namespace detail

template <class R>
::testing::AssertionResult succeeded(const R& result) {
    if (const auto* error = detail::errorOf(result)) {
        return ::testing::AssertionFailure() << "failed with \"" << detail::textOf(*error) << "\"";
    }
    return ::testing::AssertionSuccess();
}

template <class R>
::testing::AssertionResult failedWith(const R& result, std::string_view message) {
    return detail::failedAs(result, message, true);
}

template <class R>
::testing::AssertionResult failedContaining(const R& result, std::string_view part) {
    return detail::failedAs(result, part, false);
}

}  // namespace quendra::test
