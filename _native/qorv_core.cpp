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

// A large read-only array argument, read in place when NumPy already holds it
// in a form the core reads (float64, positive strides) and otherwise converted by
// exactly the rules of a plain Eigen argument (dtype, byte order, strides,
// (m, 1) as a vector). The plain caster alone would copy every time; the
// in-place caster alone refuses some valid arrays (a length-one axis with a
// negative stride), so the copy is the fallback, never a failure.
namespace qorv_py {
template <class Plain, class View = Eigen::Ref<const Plain>>
struct InPlace {
  View view;
};
}  // namespace qorv_py

namespace pybind11 {
namespace detail {
template <class Plain, class View>
struct type_caster<qorv_py::InPlace<Plain, View>> {
  using Arg = qorv_py::InPlace<Plain, View>;
  static constexpr auto name = type_caster<Plain>::name;

  bool load(handle src, bool convert) {
    mapped_ = mappable(src) && ref_.load(src, false);
    return mapped_ || copy_.load(src, convert);
  }
  static handle cast(const Arg&, return_value_policy, handle) = delete;

  template <typename>
  using cast_op_type = Arg;
  operator Arg() {
    if (mapped_) return {static_cast<View&>(ref_)};
    return {View(static_cast<Plain&>(copy_))};
  }

 private:
  // The in-place caster divides byte strides by the element size without
  // checking, and Eigen reads a zero stride as "contiguous": only aligned
  // arrays whose strides along every axis longer than one are positive
  // multiples of 8 bytes are read in place; everything else is copied.
  static bool mappable(handle src) {
    if (!isinstance<array>(src)) return false;
    const auto a = reinterpret_borrow<array>(src);
    if ((a.flags() & npy_api::NPY_ARRAY_ALIGNED_) == 0) return false;
    for (ssize_t d = 0; d < a.ndim(); ++d) {
      const ssize_t st = a.strides(d);
      if (a.shape(d) > 1 &&
          (st <= 0 || st % static_cast<ssize_t>(sizeof(double)) != 0))
        return false;
    }
    return true;
  }

  type_caster<View> ref_;
  type_caster<Plain> copy_;
  bool mapped_ = false;
};
}  // namespace detail
}  // namespace pybind11

// Matrices are read in place in either order (column- or row-major).
using MatrixIn = qorv_py::InPlace<MatrixXd, qorv::MatrixView>;
using VectorIn = qorv_py::InPlace<VectorXd>;

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

double mad_adapter(const VectorIn& y) { return qorv::mad(y.view); }

double compute_sr_adapter(const VectorIn& yp, const VectorIn& yt, double eps) {
  return qorv::compute_SR(yp.view, yt.view, eps);
}

VectorXd ols_adapter(const MatrixIn& X, const VectorIn& y) {
  return qorv::ols(X.view, y.view);
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

VectorXd fit_regularized_adapter(const MatrixIn& Phi, const VectorIn& y,
                                 const py::object& R1, const py::object& R2,
                                 double gamma1, double gamma2, double ridge) {
  const OptionalMatrix r1(R1);  // R1 before R2: its failure is reported first
  const OptionalMatrix r2(R2);
  return qorv::fit_regularized_linear(Phi.view, y.view, r1.ptr, r2.ptr, gamma1,
                                      gamma2, ridge);
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
  m.def("mad", &mad_adapter, py::arg("y"));
  m.def("compute_sr", &compute_sr_adapter, py::arg("yp"), py::arg("yt"),
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
  m.def("ols", &ols_adapter, py::arg("X"), py::arg("y"));
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
