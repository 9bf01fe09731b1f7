/// \file
/// Fixed-size linear algebra types shared by every module of the SDK.
#pragma once

#include <Eigen/Dense>

/// 3-vector: a point, a direction or x y z components. Lengths in [m], angles in [rad].
template <typename T>
using Vec3 = Eigen::Matrix<T, 3, 1>;
/// 3x3 matrix: a rotation or a three-joint Jacobian.
template <typename T>
using Mat3 = Eigen::Matrix<T, 3, 3>;
/// 4-vector: a quaternion, ordered (w, x, y, z).
template <typename T>
using Vec4 = Eigen::Matrix<T, 4, 1>;
/// 5-vector: one five-joint leg's joints [rad] or task (yaw, sole pitch [rad], foot x, y, z [m]).
template <typename T>
using Vec5 = Eigen::Matrix<T, 5, 1>;
/// 5x5 matrix: one five-joint leg's Jacobian.
template <typename T>
using Mat5 = Eigen::Matrix<T, 5, 5>;
/// Dynamic vector: one value per joint, element i for joint i.
template <typename T>
using DVec = Eigen::Matrix<T, Eigen::Dynamic, 1>;
