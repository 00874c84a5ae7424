// The Python package's private helper module _qorv_native: the table of its entries and
// constants. Each entry is the core's own routine, so that the Python layer
// computes what the core computes, bit for bit; the constants are the core's
// defaults, named once in its headers.
#include <pybind11/pybind11.h>

#include "binding/helper_adapters.hpp"
#include "fit/mdl_score.hpp"
#include "fit/regularized_fit.hpp"
#include "penalty/smoothness_penalty_1d.hpp"
#include "penalty/smoothness_penalty_nd.hpp"

namespace py = pybind11;
using namespace qorv_py;

PYBIND11_MODULE(_qorv_native, m) {
  m.doc() = "Private helpers of qorv: the native core's own arithmetic and defaults.";

  m.def("hit_tolerance", &hit_tolerance_adapter, py::arg("spread"),
        "Hit tolerance for a target spread: 0.4 * spread when spread > 0, "
        "else 0.4 (also for NaN).");
  m.def("mdl_from_hits", &mdl_from_hits_adapter, py::arg("hits"), py::arg("n"),
        py::arg("k"), py::arg("H"),
        "Unpenalised description-length score for `hits` of `n` rows: "
        "-n ln(max(hits / n, 1 / (2n))) + k (k ln(2H) / n), the same bits as "
        "qorv_core.mdl_score with that hit count.\n\n"
        "Raises ValueError unless n >= 1, 0 <= hits <= n and k >= 0.");
  m.def("count_hits", &count_hits_adapter, py::arg("yp"), py::arg("yt"), py::arg("eps"),
        "Number of rows with |yp[i] - yt[i]| < eps (strict; a NaN error "
        "misses). Entries of `yp` past len(yt) are ignored.\n\n"
        "Raises ValueError if `yp` is shorter than `yt`.");

  m.attr("DEFAULT_H_PIH") = qorv::kDefaultH;
  m.attr("DEFAULT_N_GRID_1D") = qorv::kDefaultGrid1D;
  m.attr("DEFAULT_N_GRID_ND") = qorv::kDefaultGridPerDim;
  m.attr("DEFAULT_RIDGE") = qorv::kDefaultRidge;
}
