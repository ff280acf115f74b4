// The value of a result a test expects to hold one: its error is a test
// failure, and the test goes on with an empty value.
#pragma once

#include <utility>

#include <gtest/gtest.h>

#include "core/base/error.hpp"

namespace bramwex::test {

template <class T>
T ok(core::Result<T> result) {
    if (!result) {
        ADD_FAILURE() << result.error().to_string();
        return T{};
    }
    return std::move(*result);
}

}  // namespace bramwex::test
