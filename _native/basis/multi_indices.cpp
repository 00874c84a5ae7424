#include "basis/multi_indices.hpp"
#include <stdexcept>
namespace qorv { void generate_multi_indices(const std::vector<int>&, std::size_t, std::vector<int>&, MultiIndices&) { throw std::logic_error("not yet built"); } }
