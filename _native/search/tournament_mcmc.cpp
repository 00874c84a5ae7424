#include "search/tournament_mcmc.hpp"
#include <stdexcept>
namespace qorv {
TournamentMCMC::TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite, double step_size, int H_piH, std::uint64_t seed)
    : n_chains_(n_chains), n_warmup_(n_warmup), n_deep_(n_deep), n_elite_(n_elite), step_size_(step_size), H_piH_(H_piH), seed_(seed) {}
MCMCResult TournamentMCMC::fit(const Eigen::MatrixXd&, const Eigen::VectorXd&, const Eigen::MatrixXd*, const Eigen::MatrixXd*, double, double, InterruptCheck) const { throw std::logic_error("not yet built"); }
}
