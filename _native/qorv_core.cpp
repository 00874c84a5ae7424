// The Python module: the table of entries, in registration order. Argument
// conversions live in binding/conversions.hpp and the adapters that do more
// than bind one core routine in binding/adapters.hpp; nothing numerical
// happens here.
#include <pybind11/pybind11.h>

#include <cstdint>

#include "basis/design_matrix_1d.hpp"
#include "binding/adapters.hpp"
#include "binding/conversions.hpp"
#include "fit/mdl_score.hpp"
#include "fit/regularized_fit.hpp"
#include "penalty/boundary_reduce_1d.hpp"
#include "penalty/smoothness_penalty_1d.hpp"
#include "penalty/smoothness_penalty_nd.hpp"
#include "search/gibbs_entropy.hpp"
#include "search/tournament_mcmc.hpp"

namespace py = pybind11;
using namespace qorv_py;

PYBIND11_MODULE(qorv_core, m) {
  m.doc() = "QORV-P performans-kritik cekirdegi (C++/Eigen).";
  guard_instance_base();

  // 1-4: robust spread, hit rate, description-length score.
  m.def("mad", &mad_adapter, py::arg("y"));
  m.def("compute_sr", &compute_sr_adapter, py::arg("yp"), py::arg("yt"),
        py::arg("eps"));
  m.def("mdl_score", &mdl_score_adapter, py::arg("yp"), py::arg("yt"),
        py::arg("k"), py::arg("H") = qorv::kDefaultH);
  m.def("mdl_score_reg", &mdl_score_reg_adapter, py::arg("yp"), py::arg("yt"),
        py::arg("k"), py::arg("H"), py::arg("beta"), py::arg("R1"),
        py::arg("R2"), py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0);

  // 5-9: bases and penalties.
  m.def("design_matrix_1d", &qorv::design_matrix_1d, py::arg("deg"),
        py::arg("x"));
  m.def("smoothness_penalty_matrices_1d", &smoothness_penalty_1d_adapter,
        py::arg("deg"), py::arg("x_min"), py::arg("x_max"),
        py::arg("n_grid") = qorv::kDefaultGrid1D);
  m.def("boundary_reduce_1d", &qorv::boundary_reduce_1d, py::arg("deg"),
        py::arg("x_min"), py::arg("x_max"));
  m.def("design_matrix_nd", &design_matrix_nd_adapter, py::arg("multi_indices"),
        py::arg("X_cols"));
  m.def("build_penalty_matrices_nd", &penalty_nd_adapter, py::arg("degrees"),
        py::arg("bounds"), py::arg("n_grid_per_dim") = qorv::kDefaultGridPerDim);

  // 10-11: least squares.
  m.def("ols", &ols_adapter, py::arg("X"), py::arg("y"));
  m.def("fit_regularized_linear", &fit_regularized_adapter, py::arg("Phi"),
        py::arg("y"), py::arg("R1") = py::none(), py::arg("R2") = py::none(),
        py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0,
        py::arg("ridge") = qorv::kDefaultRidge);

  // 12-13: Gibbs summary.
  py::class_<qorv::GibbsResult>(m, "GibbsResult", result_class_setup)
      .def_readonly("H", &qorv::GibbsResult::H)
      .def_readonly("Hmax", &qorv::GibbsResult::Hmax)
      .def_readonly("He", &qorv::GibbsResult::He)
      .def_readonly("r_heat", &qorv::GibbsResult::r_heat)
      .def_readonly("var_E", &qorv::GibbsResult::var_E)
      .def_readonly("T", &qorv::GibbsResult::T);
  m.def("gibbs_entropy", &qorv::gibbs_entropy, py::arg("energies"),
        py::arg("T") = 1.0);

  // 14-15: the search. beta_mcmc and gibbs view the stored members and keep
  // the result alive (a read-only array and a referring object).
  py::class_<qorv::MCMCResult>(m, "MCMCResult", result_class_setup)
      .def_readonly("beta_mcmc", &qorv::MCMCResult::beta_mcmc)
      .def_readonly("energy", &qorv::MCMCResult::energy)
      .def_readonly("gibbs", &qorv::MCMCResult::gibbs)
      .def_readonly("n_chains", &qorv::MCMCResult::n_chains)
      .def_readonly("n_elite", &qorv::MCMCResult::n_elite);
  py::class_<qorv::TournamentMCMC>(m, "TournamentMCMC", constructible_class_setup)
      .def(py::init<int, int, int, int, double, int, std::uint64_t>(),
           py::arg("n_chains") = 25, py::arg("n_warmup") = 200,
           py::arg("n_deep") = 2000, py::arg("n_elite") = 5,
           py::arg("step_size") = 0.05, py::arg("H_piH") = qorv::kDefaultH,
           py::arg("seed") = 42)
      .def("fit", &mcmc_fit_adapter, py::arg("X"), py::arg("y"),
           py::arg("R1") = py::none(), py::arg("R2") = py::none(),
           py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0);
}
