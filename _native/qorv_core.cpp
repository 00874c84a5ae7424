// The Python module: registrations, argument conversions and adapters. Every
// entry converts its arguments, calls exactly one core routine and converts
// the result; nothing numerical happens here.
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "basis/design_matrix_1d.hpp"
#include "basis/design_matrix_nd.hpp"
#include "fit/mdl_score.hpp"
#include "fit/ols.hpp"
#include "fit/regularized_fit.hpp"
#include "fit/robust_stats.hpp"
#include "penalty/boundary_reduce_1d.hpp"
#include "penalty/smoothness_penalty_1d.hpp"
#include "penalty/smoothness_penalty_nd.hpp"
#include "search/gibbs_entropy.hpp"
#include "search/tournament_mcmc.hpp"

namespace py = pybind11;
using Eigen::MatrixXd;
using Eigen::VectorXd;

namespace {

// An optional penalty matrix: None stays absent; anything else is converted
// by the matrix rule, and an object that does not convert raises the binding
// library's cast error (RuntimeError).
struct OptionalMatrix {
  MatrixXd value;
  const MatrixXd* ptr = nullptr;

  explicit OptionalMatrix(const py::object& obj) {
    if (!obj.is_none()) {
      value = py::cast<MatrixXd>(obj);
      ptr = &value;
    }
  }
};

// Lets Ctrl-C stop a long search or penalty grid: the core calls this on the calling thread
// only, which holds the interpreter lock throughout.
void raise_pending_signal() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

double mdl_score_adapter(const VectorXd& yp, const VectorXd& yt, int k, int H) {
  return qorv::mdl_score(yp, yt, k, H, nullptr, nullptr);
}

double mdl_score_reg_adapter(const VectorXd& yp, const VectorXd& yt, int k,
                             int H, const VectorXd& beta, const MatrixXd& R1,
                             const MatrixXd& R2, double gamma1, double gamma2) {
  const qorv::PenaltySpec pen{&R1, &R2, gamma1, gamma2};
  return qorv::mdl_score(yp, yt, k, H, &beta, &pen);
}

py::tuple smoothness_penalty_1d_adapter(int deg, double x_min, double x_max,
                                        int n_grid) {
  qorv::PenaltyMatrices1D r =
      qorv::smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid,
                                           &raise_pending_signal);
  return py::make_tuple(std::move(r.R1), std::move(r.R2));
}

py::tuple penalty_nd_adapter(const std::vector<int>& degrees,
                             const std::vector<std::pair<double, double>>& bounds,
                             int n_grid_per_dim) {
  qorv::PenaltyMatricesND r =
      qorv::build_penalty_matrices_nd(degrees, bounds, n_grid_per_dim,
                                      &raise_pending_signal);
  return py::make_tuple(std::move(r.R1), std::move(r.R2),
                        std::move(r.multi_indices));
}

VectorXd fit_regularized_adapter(const MatrixXd& Phi, const VectorXd& y,
                                 const py::object& R1, const py::object& R2,
                                 double gamma1, double gamma2, double ridge) {
  const OptionalMatrix r1(R1);  // R1 before R2: its failure is reported first
  const OptionalMatrix r2(R2);
  return qorv::fit_regularized_linear(Phi, y, r1.ptr, r2.ptr, gamma1, gamma2,
                                      ridge);
}

// The result classes are made only by the module: `Class.__new__(Class)`
// would hand out an object whose C++ value was never constructed.
PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "%s: No constructor defined!", type->tp_name);
  return nullptr;
}

const py::custom_type_setup no_python_construction([](PyHeapTypeObject* heap) {
  heap->ht_type.tp_new = &refuse_new;
});

// `TournamentMCMC.__new__(TournamentMCMC)` makes an object that skipped
// __init__; its settings do not exist, so it must not run.
const qorv::TournamentMCMC& constructed(const py::object& self) {
  if (!py::isinstance<qorv::TournamentMCMC>(self))
    throw py::type_error("fit() needs a TournamentMCMC object");
  auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
  if (!inst->get_value_and_holder().holder_constructed())
    throw py::type_error("TournamentMCMC object was not initialised (__init__ not called)");
  return self.cast<const qorv::TournamentMCMC&>();
}

qorv::MCMCResult mcmc_fit_adapter(const py::object& self, const MatrixXd& X,
                                  const VectorXd& y, const py::object& R1,
                                  const py::object& R2, double gamma1,
                                  double gamma2) {
  const qorv::TournamentMCMC& mcmc = constructed(self);
  const OptionalMatrix r1(R1);
  const OptionalMatrix r2(R2);
  return mcmc.fit(X, y, r1.ptr, r2.ptr, gamma1, gamma2, &raise_pending_signal);
}

}  // namespace

PYBIND11_MODULE(qorv_core, m) {
  m.doc() = "QORV-P performans-kritik cekirdegi (C++/Eigen).";

  // 1-4: robust spread, hit rate, description-length score.
  m.def("mad", &qorv::mad, py::arg("y"));
  m.def("compute_sr", &qorv::compute_SR, py::arg("yp"), py::arg("yt"),
        py::arg("eps"));
  m.def("mdl_score", &mdl_score_adapter, py::arg("yp"), py::arg("yt"),
        py::arg("k"), py::arg("H") = 20);
  m.def("mdl_score_reg", &mdl_score_reg_adapter, py::arg("yp"), py::arg("yt"),
        py::arg("k"), py::arg("H"), py::arg("beta"), py::arg("R1"),
        py::arg("R2"), py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0);

  // 5-9: bases and penalties.
  m.def("design_matrix_1d", &qorv::design_matrix_1d, py::arg("deg"),
        py::arg("x"));
  m.def("smoothness_penalty_matrices_1d", &smoothness_penalty_1d_adapter,
        py::arg("deg"), py::arg("x_min"), py::arg("x_max"),
        py::arg("n_grid") = 600);
  m.def("boundary_reduce_1d", &qorv::boundary_reduce_1d, py::arg("deg"),
        py::arg("x_min"), py::arg("x_max"));
  m.def("design_matrix_nd", &qorv::design_matrix_nd, py::arg("multi_indices"),
        py::arg("X_cols"));
  m.def("build_penalty_matrices_nd", &penalty_nd_adapter, py::arg("degrees"),
        py::arg("bounds"), py::arg("n_grid_per_dim") = 30);

  // 10-11: least squares.
  m.def("ols", &qorv::ols, py::arg("X"), py::arg("y"));
  m.def("fit_regularized_linear", &fit_regularized_adapter, py::arg("Phi"),
        py::arg("y"), py::arg("R1") = py::none(), py::arg("R2") = py::none(),
        py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0,
        py::arg("ridge") = 1e-10);

  // 12-13: Gibbs summary.
  py::class_<qorv::GibbsResult>(m, "GibbsResult", no_python_construction)
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
  py::class_<qorv::MCMCResult>(m, "MCMCResult", no_python_construction)
      .def_readonly("beta_mcmc", &qorv::MCMCResult::beta_mcmc)
      .def_readonly("energy", &qorv::MCMCResult::energy)
      .def_readonly("gibbs", &qorv::MCMCResult::gibbs)
      .def_readonly("n_chains", &qorv::MCMCResult::n_chains)
      .def_readonly("n_elite", &qorv::MCMCResult::n_elite);
  py::class_<qorv::TournamentMCMC>(m, "TournamentMCMC")
      .def(py::init<int, int, int, int, double, int, std::uint64_t>(),
           py::arg("n_chains") = 25, py::arg("n_warmup") = 200,
           py::arg("n_deep") = 2000, py::arg("n_elite") = 5,
           py::arg("step_size") = 0.05, py::arg("H_piH") = 20,
           py::arg("seed") = 42)
      .def("fit", &mcmc_fit_adapter, py::arg("X"), py::arg("y"),
           py::arg("R1") = py::none(), py::arg("R2") = py::none(),
           py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0);
}
