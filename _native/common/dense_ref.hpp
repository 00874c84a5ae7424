// Read-only views of caller-owned dense data.
#pragma once

#include <Eigen/Dense>

namespace qorv {

// Any column-major matrix with contiguous columns (a MatrixXd, a block of
// one, or memory mapped from elsewhere) and any contiguous vector: the large
// inputs of the solvers are read in place rather than copied. Columns are
// outerStride() apart, which may exceed rows().
using MatrixRef = Eigen::Ref<const Eigen::MatrixXd>;
using VectorRef = Eigen::Ref<const Eigen::VectorXd>;

// Any matrix with positive element strides: column-major, row-major (NumPy's
// default layout) or a strided slice. Entry (i, j) is at
// data()[i * innerStride() + j * outerStride()].
using MatrixView =
    Eigen::Ref<const Eigen::MatrixXd, 0, Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>>;

}  // namespace qorv
