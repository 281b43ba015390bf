// Assertions on Result values.
#pragma once

#include <string_view>

#include <gtest/gtest.h>

#include "crivane/error.hpp"

namespace crivane::testing {

// Success when `r` failed with an InvalidData error of exactly `message`.
template <class R>
::testing::AssertionResult fails_with(const R& r, std::string_view message) {
  if (r.has_value())
    return ::testing::AssertionFailure() << "succeeded, expected \"" << message << '"';
  if (r.error().kind() != Error::Kind::InvalidData || r.error().message() != message) {
    return ::testing::AssertionFailure()
           << "failed with " << r.error().debug() << ", expected \"" << message << '"';
  }
  return ::testing::AssertionSuccess();
}

// Success when `r` holds a value; otherwise shows the error.
template <class R>
::testing::AssertionResult succeeds(const R& r) {
  if (r.has_value()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "failed with " << r.error().debug();
}

}  // namespace crivane::testing
