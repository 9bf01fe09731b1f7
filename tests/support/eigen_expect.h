// Element-wise comparison of Eigen vectors and matrices with a message naming the entry.
#pragma once

#include <gtest/gtest.h>

#include <Eigen/Dense>

template <typename A, typename B>
::testing::AssertionResult allNear(const Eigen::MatrixBase<A>& actual, const Eigen::MatrixBase<B>& expected,
                                   double tolerance) {
  if (actual.rows() != expected.rows() || actual.cols() != expected.cols())
    return ::testing::AssertionFailure() << "shape " << actual.rows() << "x" << actual.cols() << " vs "
                                         << expected.rows() << "x" << expected.cols();
  for (Eigen::Index c = 0; c < actual.cols(); ++c)
    for (Eigen::Index r = 0; r < actual.rows(); ++r)
      if (!(std::abs(actual(r, c) - expected(r, c)) <= tolerance))
        return ::testing::AssertionFailure() << "entry (" << r << ", " << c << "): " << actual(r, c) << " vs "
                                             << expected(r, c) << "\nactual:\n" << actual << "\nexpected:\n"
                                             << expected;
  return ::testing::AssertionSuccess();
}

/// Builds a fixed-size vector from its entries: vec<5>({a, b, c, d, e}).
template <int N>
Eigen::Matrix<double, N, 1> vec(const double (&values)[N]) {
  return Eigen::Map<const Eigen::Matrix<double, N, 1>>(values);
}
