#include "mc_core/studies.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "mc_core/block_math.hpp"
#include "mc_core/error.hpp"
#include "mc_core/interrupt.hpp"
#include "mc_core/stepwise.hpp"
#include "mc_core/text.hpp"

namespace mc_core {

using block_math::positive_part;

// ---------------------------------------------------------------------------
// Gaussian uncertainty moments.

// Points between two stop checks while a matrix of normals is generated.
constexpr std::uint64_t kStopCheckPoints = 4096;

std::vector<double> generate_standard_normals_cpu(SamplingMethod sampling, std::uint64_t n_points,
                                                  std::uint64_t dimensions, std::uint64_t seed) {
    if (n_points == 0) fail("n_points must be > 0");
    if (dimensions == 0) fail("dimensions must be > 0");
    const std::uint64_t count = checked_product(n_points, dimensions, "standard normal matrix");
    std::vector<double> z = allocate_vector<double>(count, "standard normal matrix");

    switch (sampling) {
        case SamplingMethod::pseudorandom: {
            // In runs of normals, stopping between them when asked; the
            // stream (and its pending Box-Muller value) carries on across runs.
            constexpr std::size_t kRun = std::size_t{1} << 16;
            NormalRng rng(seed);
            for (std::size_t first = 0; first < z.size(); first += kRun) {
                check_stop();
                rng.fill_standard_normals(z.data() + first, std::min(kRun, z.size() - first));
            }
            return z;
        }
        case SamplingMethod::scrambled_sobol:
        case SamplingMethod::scrambled_sobol_brownian_bridge: {
            // Appended point after point into the capacity allocated above.
            z.clear();
            const auto sobol_seed = static_cast<std::uint32_t>(seed);
            for (std::uint64_t p = 0; p < n_points; ++p) {
                if (p % kStopCheckPoints == 0) check_stop();
                fill_scrambled_sobol_point_standard_normals(sobol_seed, p, dimensions, z);
            }
            return z;
        }
        case SamplingMethod::randomized_halton:
        case SamplingMethod::latin_hypercube: {
            const StructuredNormalSampler sampler(sampling, seed, n_points, dimensions);
            double* out = z.data();
            for (std::uint64_t p = 0; p < n_points; ++p) {
                if (p % kStopCheckPoints == 0) check_stop();
                for (std::uint64_t d = 0; d < dimensions; ++d) *out++ = sampler.normal(p, d);
            }
            return z;
        }
    }
    fail("internal error: unknown sampling method");
}

GaussianUncertaintyMomentResult gaussian_uncertainty_moments_cpu(const GaussianUncertaintyConfig& c) {
    if (c.n_samples == 0) fail("n_samples must be > 0");
    if (c.dimensions < 3) fail("dimensions must be >= 3");
    const std::vector<double> z = generate_standard_normals_cpu(c.sampling, c.n_samples, c.dimensions, c.seed);

    // f = (z0^2 + z1 / 2) + exp(z2 / 10), summed in sample order; the
    // exponentials of a block of samples are taken together.
    constexpr std::size_t kBlock = 256;
    double growth[kBlock];
    double s1 = 0.0, s2 = 0.0;
    const std::size_t stride = static_cast<std::size_t>(c.dimensions);
    for (std::uint64_t first = 0; first < c.n_samples;) {
        if (first % (kBlock * 64) == 0) check_stop();
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, c.n_samples - first));
        const double* row = z.data() + first * stride;
        for (std::size_t i = 0; i < n; ++i) growth[i] = row[i * stride + 2] * 0.1;
        block_math::exp_block(growth, n);
        for (std::size_t i = 0; i < n; ++i) {
            const double z0 = row[i * stride], z1 = row[i * stride + 1];
            const double f = (z0 * z0 + z1 * 0.5) + growth[i];
            s1 = s1 + f;
            s2 = s2 + f * f;
        }
        first += n;
    }

    const double n = static_cast<double>(c.n_samples);
    GaussianUncertaintyMomentResult out;
    out.samples = c.n_samples;
    out.dimensions = c.dimensions;
    out.sampling = c.sampling;
    out.mean = s1 / n;
    out.variance = c.n_samples >= 2 ? positive_part((s2 - s1 * s1 / n) / (n - 1.0)) : 0.0;
    out.stderr_mean = block_math::sqrt(out.variance / n);
    out.mean_abs_error = std::fabs(out.mean - out.analytic_mean);
    out.variance_abs_error = std::fabs(out.variance - out.analytic_variance);
    out.mean_ci_95_low = out.mean - out.stderr_mean * 1.96;
    out.mean_ci_95_high = out.mean + out.stderr_mean * 1.96;
    if (c.n_samples < kGaussianSmokeSamples) out.warnings.emplace_back(kGaussianSmokeWarning);
    return out;
}

// ---------------------------------------------------------------------------
// Black-Scholes.

double standard_normal_cdf(double x) {
    // erf(z) ~ 1 - (a1 t + a2 t^2 + ... + a5 t^5) exp(-z^2), t = 1 / (1 + p z),
    // z = |x| / sqrt(2): Abramowitz and Stegun 7.1.26, |error| <= 1.5e-7.
    const double z = std::fabs(x) / 1.4142135623730951;
    const double tau = 1.0 / (1.0 + 0.3275911 * z);
    const double poly =
        ((((1.061405429 * tau - 1.453152027) * tau + 1.421413741) * tau - 0.284496736) * tau + 0.254829592) * tau;
    double erf = 1.0 - poly * block_math::exp(-(z * z));
    if (x < 0.0) erf = -erf;
    return (erf + 1.0) * 0.5;
}

double black_scholes_european_call_price(double s0, double k, double r, double sigma, double t) {
    if (!(s0 > 0.0)) fail("s0 must be > 0");
    if (!(k >= 0.0)) fail("k must be >= 0");
    if (!(sigma >= 0.0)) fail("sigma must be >= 0");
    if (!(t >= 0.0)) fail("t must be >= 0");
    if (k == 0.0) return s0;
    if (t == 0.0) return positive_part(s0 - k);
    const double discounted_strike = k * block_math::exp(-(r * t));
    if (sigma == 0.0) return positive_part(s0 - discounted_strike);
    const double sd = sigma * block_math::sqrt(t);
    const double d1 = (block_math::log(s0 / k) + t * (r + sigma * (sigma * 0.5))) / sd;
    const double d2 = d1 - sd;
    return s0 * standard_normal_cdf(d1) - discounted_strike * standard_normal_cdf(d2);
}

// ---------------------------------------------------------------------------
// European call parameter sweep.

namespace runtime::cpu {

std::vector<EuropeanCallSweepScenario> EuropeanCallParameterSweepConfig::default_scenarios() {
    EuropeanCallSweepScenario atm, down, high_vol;
    atm.scenario_id = "atm_base";
    down.scenario_id = "down_10pct";
    down.s0 = 90.0;
    high_vol.scenario_id = "high_vol";
    high_vol.sigma = 0.35;
    return {atm, down, high_vol};
}

EuropeanCallConfig sweep_effective_config(const EuropeanCallParameterSweepConfig& sweep, std::uint64_t index) {
    const EuropeanCallSweepScenario& s = sweep.scenarios.at(index);
    const EuropeanCallConfig& base = sweep.base_config;
    EuropeanCallConfig c = base;  // n_threads always from the base
    c.s0 = s.s0.value_or(base.s0);
    c.k = s.k.value_or(base.k);
    c.r = s.r.value_or(base.r);
    c.sigma = s.sigma.value_or(base.sigma);
    c.t = s.t.value_or(base.t);
    c.n_paths = s.n_paths.value_or(base.n_paths);
    c.n_steps = s.n_steps.value_or(base.n_steps);
    // The position counts every scenario, those with their own seed included.
    c.seed = s.seed.value_or(base.seed + index * sweep.seed_stride);
    c.sampling = s.sampling.value_or(base.sampling);
    c.technique = s.technique.value_or(base.technique);
    return c;
}

namespace {

double stderr_units(double signed_error, double abs_error, double std_error) {
    if (std_error > 0.0) return abs_error / std_error;
    return signed_error == 0.0 ? 0.0 : std::numeric_limits<double>::infinity();  // NaN error: infinity
}

std::string sweep_warning(const std::string& id, double units) {
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.3f", units);  // an infinite value prints as inf
    return "scenario '" + id + "' is " + digits + " standard errors from Black-Scholes reference";
}

void validate_sweep(const EuropeanCallParameterSweepConfig& sweep) {
    validate_european_call_config(sweep.base_config);
    if (sweep.scenarios.empty()) fail("parameter sweep must contain at least one scenario");
    for (std::size_t i = 0; i < sweep.scenarios.size(); ++i) {
        const std::string& id = sweep.scenarios[i].scenario_id;
        if (trim_white_space(id).empty()) fail("scenario_id must not be empty");
        for (std::size_t j = 0; j < i; ++j)
            if (sweep.scenarios[j].scenario_id == id) fail("scenario_id values must be unique");
        validate_european_call_config(sweep_effective_config(sweep, i));
    }
}

}  // namespace

EuropeanCallParameterSweepResult price_european_call_parameter_sweep_cpu(const EuropeanCallParameterSweepConfig& sweep) {
    validate_sweep(sweep);  // nothing is priced unless every scenario is valid

    EuropeanCallParameterSweepResult out;
    out.method = sweep.method;
    out.base_seed = sweep.base_config.seed;
    out.seed_stride = sweep.seed_stride;
    out.rows.reserve(sweep.scenarios.size());
    for (std::size_t i = 0; i < sweep.scenarios.size(); ++i) {
        const EuropeanCallSweepScenario& scenario = sweep.scenarios[i];
        EuropeanCallParameterSweepRow row;
        row.scenario_index = i;
        row.scenario_id = scenario.scenario_id;
        row.method = scenario.method.value_or(sweep.method);
        row.config = sweep_effective_config(sweep, i);
        const EuropeanCallConfig& c = row.config;
        // "auto" is priced by the terminal method, and reported as "auto".
        row.result = row.method == EuropeanCallMethod::stepwise_paths ? european_call_price_mc_cpu_stepwise(c)
                                                                        : european_call_price_mc_cpu_terminal(c);
        row.analytic_price = black_scholes_european_call_price(c.s0, c.k, c.r, c.sigma, c.t);
        row.signed_error_vs_black_scholes = row.result.price - row.analytic_price;
        row.abs_error_vs_black_scholes = std::fabs(row.result.price - row.analytic_price);
        row.abs_error_stderr_units =
            stderr_units(row.signed_error_vs_black_scholes, row.abs_error_vs_black_scholes, row.result.std_error);
        if (row.abs_error_stderr_units > kSweepWarningStderrs)
            out.warnings.push_back(sweep_warning(scenario.scenario_id, row.abs_error_stderr_units));
        out.total_paths += c.n_paths;  // modulo 2^64
        out.rows.push_back(std::move(row));
    }
    out.scenario_count = out.rows.size();
    return out;
}

}  // namespace runtime::cpu

}  // namespace mc_core
