// Transform lengths, FFTW plans cached per thread, and the baseline correction.
#include "fft.hpp"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <new>
#include <unordered_map>

#include "error.hpp"
#include "wide_loops.hpp"

namespace tolvane::fft {

static_assert(sizeof(Complex) == sizeof(fftwf_complex), "Complex must match fftwf_complex");

std::uint64_t good_length(std::uint64_t at_least) {
  std::uint64_t best = UINT64_MAX;
  for (std::uint64_t odd_part : {1u, 3u, 5u, 7u}) {
    std::uint64_t candidate = 2 * odd_part;
    while (candidate < at_least) {
      ensure(candidate <= UINT64_MAX / 2,
             "a transform length of at least {} overflows the size type; that is not a real "
             "request",
             at_least);
      candidate *= 2;
    }
    if (candidate < best) best = candidate;
  }
  return best;
}

namespace {

// An FFTW plan for one length and direction, in place, for data at FFTW's preferred alignment.
class Plan {
 public:
  Plan(std::uint64_t length, bool forward) {
    // The planner is shared process state; this makes concurrent planning (and plan destruction
    // at thread exit) safe. Done once, before the first plan of the process.
    static const bool planner_is_thread_safe = (fftwf_make_planner_thread_safe(), true);
    (void)planner_is_thread_safe;

    const ScratchBuffer scratch(length);
    const fftwf_iodim64 dims{static_cast<std::ptrdiff_t>(length), 1, 1};
    // FFTW_ESTIMATE never touches the data and picks the same algorithm every time; measured
    // planning would let two threads make different plans and round differently.
    plan_ = fftwf_plan_guru64_dft(1, &dims, 0, nullptr, scratch.data(), scratch.data(),
                                  forward ? FFTW_FORWARD : FFTW_BACKWARD, FFTW_ESTIMATE);
    ensure(plan_ != nullptr, "FFTW could not plan a transform of length {}", length);
  }
  ~Plan() { fftwf_destroy_plan(plan_); }
  Plan(const Plan&) = delete;
  Plan& operator=(const Plan&) = delete;

  // In place over `data`, which must have the plan's length and FFTW's alignment.
  void run_aligned(fftwf_complex* data) const { fftwf_execute_dft(plan_, data, data); }

  // Data at any address: transformed in an aligned copy by the same plan, so a caller's span gives
  // bit for bit the result an aligned row would. Only test code and odd callers take this path;
  // the work rows (Array2) start at 64-byte boundaries and go straight to run_aligned.
  void run_unaligned(std::span<Complex> data) const {
    const ScratchBuffer scratch(data.size());
    std::copy(data.begin(), data.end(), reinterpret_cast<Complex*>(scratch.data()));
    run_aligned(scratch.data());
    const Complex* result = reinterpret_cast<const Complex*>(scratch.data());
    std::copy(result, result + data.size(), data.begin());
  }

 private:
  class ScratchBuffer {
   public:
    explicit ScratchBuffer(std::uint64_t length)
        : data_(fftwf_alloc_complex(static_cast<std::size_t>(length))) {
      if (data_ == nullptr) throw std::bad_alloc();
    }
    ~ScratchBuffer() { fftwf_free(data_); }
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;
    fftwf_complex* data() const { return data_; }

   private:
    fftwf_complex* data_;
  };

  fftwf_plan plan_;
};

struct PlanKey {
  std::uint64_t length;
  bool forward;
  friend bool operator==(const PlanKey&, const PlanKey&) = default;
};

struct PlanKeyHash {
  std::size_t operator()(const PlanKey& key) const {
    return std::hash<std::uint64_t>{}(key.length * 2 + (key.forward ? 1 : 0));
  }
};

using PlanMap = std::unordered_map<PlanKey, std::shared_ptr<const Plan>, PlanKeyHash>;

// This thread's plans; released with the thread.
PlanMap& thread_plans() {
  thread_local PlanMap plans;
  return plans;
}

std::shared_ptr<const Plan> plan_for(std::uint64_t length, bool forward) {
  PlanMap& plans = thread_plans();
  const PlanKey key{length, forward};
  auto found = plans.find(key);
  if (found == plans.end()) {
    found = plans.emplace(key, std::make_shared<const Plan>(length, forward)).first;
  }
  return found->second;
}

}  // namespace

void transform(std::span<Complex> data, bool forward) {
  const std::uint64_t length = data.size();
  ensure(length % 2 == 0, "the transform requires an even length, got {}", length);
  if (length == 0) return;
  const std::shared_ptr<const Plan> plan = plan_for(length, forward);
  fftwf_complex* raw = reinterpret_cast<fftwf_complex*>(data.data());
  // The plan was made on an fftwf_malloc buffer (alignment 0); any row with the same alignment can
  // use its SIMD code directly.
  if (fftwf_alignment_of(reinterpret_cast<float*>(raw)) == 0) {
    plan->run_aligned(raw);
  } else {
    plan->run_unaligned(data);
  }
}

std::size_t thread_plan_count() {
  return thread_plans().size();
}

namespace {

// The line c1 + c2 t that brings a series to rest at its end: `ve` and `de` are the final
// velocity and displacement of the integration, over the time t of the last sample.
TrendLine trend_line(float dt, std::size_t count, float ve, float de) {
  const std::size_t nstps = count - 1;
  const float rnstp = static_cast<float>(nstps);
  const float t = rnstp * dt;
  return {(2.0f / t) * (ve + (-3.0f / t) * de), ((2.0f / t) * de - ve) * (6.0f / t) / t};
}

// Samples 2 onward corrected by `line`. Sample numbers that fit 32 bits are converted from a
// 32-bit counter, which vectorises; the value converted is the same.
TOLVANE_WIDE_LOOPS void add_trend_line(float dt, TrendLine line, std::span<float> acceleration) {
  const auto add = [&](auto first, auto count) {
    for (auto k = first; k < count; ++k) {
      acceleration[k] = line.corrected(acceleration[k], static_cast<float>(k), dt);
    }
  };
  const std::size_t count = acceleration.size();
  if (count <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    add(std::int32_t{2}, static_cast<std::int32_t>(count));
  } else {
    add(std::size_t{2}, count);
  }
}

// Up to four series integrated side by side, one per lane of a vector: each lane runs exactly
// the chain of operations of its series alone. The chains are dependent additions; side by side
// they cost about what one costs.
using Lanes = float __attribute__((vector_size(16)));
constexpr std::size_t kTrendLanes = sizeof(Lanes) / sizeof(float);

template <std::size_t K>
TOLVANE_WIDE_LOOPS std::array<TrendLine, K> trend_lines(
    float dt, const std::array<std::span<const float>, K>& series) {
  static_assert(K <= kTrendLanes);
  const std::size_t count = series[0].size();
  ensure(count >= 2, "the trend correction needs at least 2 samples, got {}", count);
  for (const std::span<const float>& s : series) {
    ensure(s.size() == count, "series of {} and {} samples corrected together", count, s.size());
  }
  const float a1 = 0.5f * dt;
  const float a2 = (dt * a1) / 3.0f;
  std::array<const float*, K> data;
  for (std::size_t s = 0; s < K; ++s) data[s] = series[s].data();
  const auto samples_at = [&data](std::size_t k) {
    Lanes x = {};
    for (std::size_t s = 0; s < K; ++s) x[s] = data[s][k];
    return x;
  };
  Lanes ve = {}, de = {};
  Lanes previous = samples_at(0);
  for (std::size_t k = 1; k < count; ++k) {
    const Lanes next = samples_at(k);
    de = a2 * ((previous + previous) + next) + (dt * ve + de);
    ve = (previous + next) * a1 + ve;
    previous = next;
  }
  std::array<TrendLine, K> lines;
  for (std::size_t s = 0; s < K; ++s) lines[s] = trend_line(dt, count, ve[s], de[s]);
  return lines;
}

}  // namespace

void remove_quadratic_trend(float dt, std::span<float> acceleration) {
  add_trend_line(dt, trend_lines<1>(dt, {acceleration})[0], acceleration);
}

std::array<TrendLine, 3> quadratic_trend_lines(float dt, std::span<const float> first,
                                               std::span<const float> second,
                                               std::span<const float> third) {
  return trend_lines<3>(dt, {first, second, third});
}

}  // namespace tolvane::fft
