/// \file
/// Fixed-size linear algebra types shared by every module of the SDK.
#pragma once

#include <Eigen/Dense>

template <typename T>
using Vec3 = Eigen::Matrix<T, 3, 1>;
template <typename T>
using Mat3 = Eigen::Matrix<T, 3, 3>;
template <typename T>
using Vec4 = Eigen::Matrix<T, 4, 1>;  // quaternions, ordered (w, x, y, z)
template <typename T>
using Vec5 = Eigen::Matrix<T, 5, 1>;  // one five-joint leg
template <typename T>
using Mat5 = Eigen::Matrix<T, 5, 5>;
template <typename T>
using DVec = Eigen::Matrix<T, Eigen::Dynamic, 1>;  // per-joint values
