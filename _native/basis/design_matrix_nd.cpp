#include "basis/design_matrix_nd.hpp"
#include <stdexcept>
namespace qorv { Eigen::MatrixXd design_matrix_nd(const MultiIndices&, const std::vector<Eigen::VectorXd>&) { throw std::logic_error("not yet built"); } }
