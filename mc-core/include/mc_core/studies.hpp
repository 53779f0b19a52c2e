// Studies: checks of the engine against values known in closed form.
//
// Contract
//  * Gaussian uncertainty moments: n samples of a standard normal vector
//    Z (>= 3 coordinates) from any normal source; the sample mean and variance
//    of f(Z) = Z0^2 + Z1/2 + exp(Z2/10) against their exact values
//    E f = 1 + e^0.005 and Var f = 2 + 1/4 + e^0.02 - e^0.01, with the standard
//    error of the mean and its 95% interval. A warning marks runs of fewer than
//    1024 samples. Runs on the calling thread.
//  * `generate_standard_normals_cpu` is the one place that materialises a
//    point-major matrix of normals (entry p * dimensions + d is coordinate d of
//    point p). The pseudorandom stream fills it value after value, so extra
//    dimensions shift every later sample; structured points are pure functions
//    of (point, dimension), and scrambled Sobol uses only the low 32 bits of the
//    seed. The matrix size is checked for overflow and allocated once; a size
//    that cannot be allocated is an AllocationFailure.
//  * European call parameter sweep: scenarios, each a partial override of one
//    base configuration, priced one after another by the terminal method ("auto"
//    and "terminal_distribution") or the stepwise method ("stepwise_paths") and
//    compared with the Black-Scholes closed form. Scenario i without its own seed
//    uses base seed + i * seed_stride (mod 2^64). Every scenario is validated
//    before the first is priced. A row more than 4 standard errors from the
//    closed form adds a warning.
//  * `black_scholes_european_call_price`: no dividends; N is the normal CDF from
//    the error-function approximation of Abramowitz and Stegun 7.1.26 (absolute
//    error below 1.5e-7), so prices agree with the exact formula to about 1e-5.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mc_core/european.hpp"
#include "mc_core/random.hpp"

namespace mc_core {

// ---- Gaussian uncertainty moments ---------------------------------------------

inline constexpr double kGaussianAnalyticMean = 2.0050125208594007;      // 1 + e^0.005
inline constexpr double kGaussianAnalyticVariance = 2.260151172942588;  // 2.25 + e^0.02 - e^0.01
inline constexpr std::uint64_t kGaussianSmokeSamples = 1024;
inline constexpr const char* kGaussianSmokeWarning =
    "moment estimates are noisy below roughly 1024 samples; use as smoke evidence only";

struct GaussianUncertaintyConfig {
    std::uint64_t n_samples = 100000;
    std::uint64_t dimensions = 3;
    std::uint64_t seed = 42;
    SamplingMethod sampling = SamplingMethod::pseudorandom;
};

struct GaussianUncertaintyMomentResult {
    std::uint64_t samples = 0;
    std::uint64_t dimensions = 0;
    SamplingMethod sampling = SamplingMethod::pseudorandom;
    double mean = 0.0;
    double variance = 0.0;  // divisor n - 1; 0 for a single sample
    double stderr_mean = 0.0;
    double analytic_mean = kGaussianAnalyticMean;
    double analytic_variance = kGaussianAnalyticVariance;
    double mean_abs_error = 0.0;
    double variance_abs_error = 0.0;
    double mean_ci_95_low = 0.0;
    double mean_ci_95_high = 0.0;
    std::vector<std::string> warnings;
};

// n_points x dimensions normals, point-major. FatalError "n_points must be > 0"
// or "dimensions must be > 0".
std::vector<double> generate_standard_normals_cpu(SamplingMethod sampling, std::uint64_t n_points,
                                                  std::uint64_t dimensions, std::uint64_t seed);

// FatalError "n_samples must be > 0", then "dimensions must be >= 3".
GaussianUncertaintyMomentResult gaussian_uncertainty_moments_cpu(const GaussianUncertaintyConfig& config);

// ---- Black-Scholes ------------------------------------------------------------

// Standard normal CDF through Abramowitz and Stegun 7.1.26.
double standard_normal_cdf(double x);

// European call without dividends. FatalError unless s0 > 0, k >= 0,
// sigma >= 0 and t >= 0 (checked in that order; NaN fails). Zero strike, zero
// maturity and zero volatility take their limits.
double black_scholes_european_call_price(double s0, double k, double r, double sigma, double t);

// ---- European call parameter sweep --------------------------------------------

namespace runtime::cpu {

// One scenario: every field but the id overrides the base when set.
struct EuropeanCallSweepScenario {
    std::string scenario_id = "base";
    std::optional<double> s0;
    std::optional<double> k;
    std::optional<double> r;
    std::optional<double> sigma;
    std::optional<double> t;
    std::optional<std::uint64_t> n_paths;
    std::optional<std::uint64_t> n_steps;
    std::optional<std::uint64_t> seed;
    std::optional<SamplingMethod> sampling;
    std::optional<MonteCarloTechnique> technique;
    std::optional<EuropeanCallMethod> method;
};

struct EuropeanCallParameterSweepConfig {
    EuropeanCallConfig base_config;
    EuropeanCallMethod method = EuropeanCallMethod::terminal_distribution;
    std::uint64_t seed_stride = 10000;
    std::vector<EuropeanCallSweepScenario> scenarios = default_scenarios();

    // "atm_base" (nothing set), "down_10pct" (s0 90), "high_vol" (sigma 0.35).
    static std::vector<EuropeanCallSweepScenario> default_scenarios();
};

struct EuropeanCallParameterSweepRow {
    std::uint64_t scenario_index = 0;
    std::string scenario_id;
    EuropeanCallMethod method = EuropeanCallMethod::terminal_distribution;  // as configured: "auto" stays "auto"
    EuropeanCallConfig config;                                                // the effective configuration
    EuropeanCallResult result;
    double analytic_price = 0.0;
    double signed_error_vs_black_scholes = 0.0;
    double abs_error_vs_black_scholes = 0.0;
    double abs_error_stderr_units = 0.0;  // +inf for a non-zero error with no positive stderr
};

inline constexpr const char* kSweepSchemaVersion = "european-call-sweep.v1";
inline constexpr double kSweepWarningStderrs = 4.0;

struct EuropeanCallParameterSweepResult {
    std::string schema_version = kSweepSchemaVersion;
    PricingWorkloadFamily workload = PricingWorkloadFamily::european_call;
    EuropeanCallMethod method = EuropeanCallMethod::terminal_distribution;
    std::uint64_t scenario_count = 0;
    std::uint64_t total_paths = 0;  // modulo 2^64
    std::uint64_t base_seed = 0;
    std::uint64_t seed_stride = 0;
    std::vector<EuropeanCallParameterSweepRow> rows;
    std::vector<std::string> warnings;
};

// The configuration scenario `index` is priced with.
EuropeanCallConfig sweep_effective_config(const EuropeanCallParameterSweepConfig& sweep, std::uint64_t index);

// Validates the base, the list and every scenario, then prices them in order.
EuropeanCallParameterSweepResult price_european_call_parameter_sweep_cpu(const EuropeanCallParameterSweepConfig& config);

}  // namespace runtime::cpu

}  // namespace mc_core
