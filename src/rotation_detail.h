// Rotation helpers the library uses inside itself only.
#pragma once

#include "eigen_types.h"

// (w, x, y, z) of the rotation matrix M (not normalised beyond what M gives).
Vec4<double> rotMatToQuat(const Mat3<double>& M);
