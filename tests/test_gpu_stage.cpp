// The window-search stage: its line, its accumulators, and every way it can fail (driven by
// the host backend's fault plan), alone and inside the decoder's estimation step.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "code/blocks.h"
#include "code/matrix.h"
#include "decode/adaptive.h"
#include "decode/scratch.h"
#include "decode/window.h"
#include "gpu/gpu_window_search.h"
#include "platform/crt.h"
#if defined(LDPCSW_DEVICE_HOST)
#include "gpu/host/fault.h"
#endif

namespace ldpcsw {
namespace {

const std::string GPU_LINE_START = "\xD4\xDA" "GPU\xC9\xCF\xB2\xA2\xD0\xD0" "kernel time=";
const std::string CPU_LINE_START = "\xD4\xDA" "CPU";

struct Output {
  std::string out;
  std::string err;
};

std::string drain(std::FILE* f) {
  std::string s;
  std::rewind(f);
  char buf[4096];
  std::size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, got);
  std::fclose(f);
  return s;
}

// Runs f with the process's standard output and error going to files, and returns both.
Output capture(const std::function<void()>& f) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  const int saved_out = dup(1), saved_err = dup(2);
  dup2(fileno(out), 1);
  dup2(fileno(err), 2);
  f();
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  return Output{drain(out), drain(err)};
}

// The printed kernel time of a GPU line, checking its exact form: six decimals, "(ms)\n".
double printed_time(const std::string& line) {
  EXPECT_EQ(line.compare(0, GPU_LINE_START.size(), GPU_LINE_START), 0) << line;
  const std::string rest = line.substr(GPU_LINE_START.size());
  const std::size_t dot = rest.find('.');
  EXPECT_NE(dot, std::string::npos);
  EXPECT_EQ(rest.substr(dot + 7), "(ms)\n") << line;
  return std::atof(rest.c_str());
}

std::vector<float> profile(int n) {
  std::vector<float> p(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) p[i] = static_cast<float>((i * 37 % 101) / 101.0);
  return p;
}

class Stage : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(LDPCSW_DEVICE_HOST)
    host_runtime::reset();
    before_ = host_runtime::stats();
#endif
    count_ = estimate_count;
    kernel_ = GPUtime_kernel;
  }
  void TearDown() override {
#if defined(LDPCSW_DEVICE_HOST)
    host_runtime::reset();
#endif
  }
  // Nothing a search acquired is still held.
  void expect_all_released() {
#if defined(LDPCSW_DEVICE_HOST)
    const host_runtime::Stats now = host_runtime::stats();
    EXPECT_EQ(now.live_allocations, before_.live_allocations);
    EXPECT_EQ(now.live_events, before_.live_events);
    EXPECT_EQ(now.live_handles, before_.live_handles);
#endif
  }
  void expect_accumulators_unchanged() {
    EXPECT_EQ(estimate_count, count_);
    EXPECT_EQ(GPUtime_kernel, kernel_);
  }
#if defined(LDPCSW_DEVICE_HOST)
  host_runtime::Stats before_;
#endif
  int count_ = 0;
  double kernel_ = 0.0;
};

TEST_F(Stage, SuccessPrintsOneLineAndAddsThePrintedTime) {
  for (int n : {21, 504, 1249, 3000}) {
    const std::vector<float> p = profile(n);
    const std::vector<float> kept = p;
    const int count = estimate_count;
    const double kernel = GPUtime_kernel;
    bool ok = false;
    const Output o = capture([&] { ok = gpu_window_search(p.data(), n); });
    ASSERT_TRUE(ok) << o.err;
    EXPECT_EQ(o.err, "");
    const double t = printed_time(o.out);
    EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 1);
    EXPECT_EQ(estimate_count, count + 1);
    EXPECT_NEAR(GPUtime_kernel - kernel, t, 5e-7 + 1e-12 * kernel);
    EXPECT_GE(t, 0.0);
    EXPECT_EQ(p, kept) << "p_one must not change";
  }
  expect_all_released();
}

#if defined(LDPCSW_DEVICE_HOST)

struct FailureCase {
  host_runtime::Call call;
  int nth;
  const char* out;
  const char* err;
};

TEST_F(Stage, EveryFailurePathPrintsItsMessageAndChangesNothing) {
  using host_runtime::Call;
  const FailureCase cases[] = {
      {Call::cublas_create, 1, "CUBLAS initialization failed\n", ""},
      {Call::malloc, 1, "", "cudaMalloc failed!"},  // dev_sigma2
      {Call::malloc, 2, "", "cudaMalloc failed!"},  // dev_overall
      {Call::memcpy, 1, "", "cudaMemcpy failed!"},  // upload of p_one
      {Call::set_device, 1, "", "cudaSetDevice failed!  Do you have a CUDA-capable GPU installed?"},
      {Call::device_sync, 1, "",
       "cudaDeviceSynchronize returned error code 719 after launching addKernel!\n"},
      {Call::memcpy, 2, "", "cudaMemcpy failed!"},  // the table home
      {Call::malloc, 3, "", "cudaMalloc failed!"},  // the fresh table buffer
      {Call::memcpy, 3, "", "cudaMemcpy failed!"},  // the table back up
  };
  const std::vector<float> p = profile(504);
  for (const FailureCase& c : cases) {
    host_runtime::reset();
    host_runtime::fail_call(c.call, c.nth);
    bool ok = true;
    const Output o = capture([&] { ok = gpu_window_search(p.data(), 504); });
    EXPECT_FALSE(ok) << c.err << c.out;
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.err, c.err);
    expect_accumulators_unchanged();
    expect_all_released();
  }
}

TEST_F(Stage, CublasFailureMakesNoCudaCall) {
  host_runtime::fail_call(host_runtime::Call::cublas_create);
  const long calls = host_runtime::stats().calls;
  const std::vector<float> p = profile(100);
  capture([&] { EXPECT_FALSE(gpu_window_search(p.data(), 100)); });
  EXPECT_EQ(host_runtime::stats().calls, calls + 1);
}

TEST_F(Stage, MessagesWithoutNewlineRunTogether) {
  const std::vector<float> p = profile(100);
  host_runtime::fail_call(host_runtime::Call::malloc, 1);
  host_runtime::fail_call(host_runtime::Call::memcpy, 1);
  const Output o = capture([&] {
    EXPECT_FALSE(gpu_window_search(p.data(), 100));
    EXPECT_FALSE(gpu_window_search(p.data(), 100));
  });
  EXPECT_EQ(o.err, "cudaMalloc failed!cudaMemcpy failed!");
  EXPECT_EQ(o.out, "");
}

TEST_F(Stage, PendingLaunchErrorIsReportedAndTheSearchStillCompletes) {
  host_runtime::fail_call(host_runtime::Call::launch, 1);
  const std::vector<float> p = profile(504);
  bool ok = false;
  const Output o = capture([&] { ok = gpu_window_search(p.data(), 504); });
  EXPECT_TRUE(ok);
  EXPECT_EQ(o.err, "addKernel launch failed: invalid configuration argument\n");
  printed_time(o.out);
  EXPECT_EQ(estimate_count, count_ + 1);
  expect_all_released();
}

TEST_F(Stage, ErrorLeftByAFailedSearchIsReportedByTheNextLaunchCheck) {
  // As with the real runtime, a failed call's error stays pending until someone asks.
  host_runtime::fail_call(host_runtime::Call::malloc, 2);
  const std::vector<float> p = profile(504);
  const Output o = capture([&] {
    EXPECT_FALSE(gpu_window_search(p.data(), 504));
    EXPECT_TRUE(gpu_window_search(p.data(), 504));
  });
  EXPECT_EQ(o.err, "cudaMalloc failed!addKernel launch failed: out of memory\n");
  EXPECT_EQ(estimate_count, count_ + 1);
}

TEST_F(Stage, UnexaminedFailuresAfterTheTableLeaveTheSearchSuccessful) {
  using host_runtime::Call;
  const std::vector<float> p = profile(504);
  // The index buffer (fourth allocation) and the fetch of the winner (fourth copy).
  for (auto [call, nth] : {std::pair{Call::malloc, 4}, std::pair{Call::memcpy, 4}}) {
    host_runtime::reset();
    host_runtime::fail_call(call, nth);
    const int count = estimate_count;
    bool ok = false;
    const Output o = capture([&] { ok = gpu_window_search(p.data(), 504); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(o.err, "");
    printed_time(o.out);
    EXPECT_EQ(estimate_count, count + 1);
    expect_all_released();
  }
}

#endif  // LDPCSW_DEVICE_HOST

// ---- The stage inside the decoder's estimation step ----

class StageInDecoder : public Stage {
 protected:
  void SetUp() override {
    Stage::SetUp();
    std::FILE* f = std::fopen(LDPCSW_DATA_DIR "/Reg504252.dat", "r");
    ASSERT_NE(f, nullptr);
    std::string error;
    ASSERT_TRUE(read_code_rows(f, h_, error)) << error;
    std::fclose(f);
    const int n = h_.n, m = h_.m, e = h_.edges();
    bytes_.resize(byte_scratch_size(e, m));
    numbers_.resize(number_scratch_size(e, n));
    // A block noisy enough that the decoder is still at work after ten iterations.
    crt_rand_reset();
    x_.resize(n);
    y_.resize(n);
    s_.resize(m);
    for (int attempt = 0; attempt < 50; ++attempt) {
      draw_block(x_.data(), y_.data(), n, 0.5, 0.16);
      compute_syndrome(h_.ir.data(), h_.jc.data(), m, x_.data(), s_.data());
      std::vector<std::int8_t> x_hat(n, 0);
      int iterations = 0;
      decode(x_hat, nullptr, nullptr, &iterations);
      if (iterations >= 20) return;
    }
    FAIL() << "no block needs ten iterations";
  }
  int decode(std::vector<std::int8_t>& x_hat, EstimationHook hook, void* context, int* iterations) {
    return decode_syndrome_adaptive_with(h_.ir.data(), h_.jc.data(), h_.m, h_.n, y_.data(),
                                         s_.data(), x_hat.data(), bytes_.data(), numbers_.data(),
                                         0.5, 0.08, hook, context, iterations);
  }
  double* llr_post() { return numbers_.data() + h_.n + h_.edges(); }

  ParityCheckMatrix h_;
  std::vector<std::int8_t> x_, y_, s_, bytes_;
  std::vector<double> numbers_;
};

bool count_step(double*, int, void* context) {
  ++*static_cast<int*>(context);
  return true;
}

TEST_F(StageInDecoder, EveryEstimationStepPrintsTheCpuLineThenTheGpuLine) {
  std::vector<std::int8_t> plain(h_.n, 0), staged(h_.n, 0);
  int steps = 0;
  const int plain_result = decode(plain, count_step, &steps, nullptr);
  int result = -1;
  const Output o = capture([&] {
    result = decode_syndrome_adaptive(h_.ir.data(), h_.jc.data(), h_.m, h_.n, y_.data(), s_.data(),
                                      staged.data(), bytes_.data(), numbers_.data(), 0.5, 0.08);
  });
  EXPECT_EQ(result, plain_result);
  EXPECT_EQ(staged, plain) << "a successful stage never changes the decisions";
  EXPECT_EQ(o.err, "");
  ASSERT_GE(steps, 1);
  std::size_t pos = 0;
  for (int k = 0; k < steps; ++k) {
    const std::size_t cpu_end = o.out.find('\n', pos);
    ASSERT_NE(cpu_end, std::string::npos);
    EXPECT_EQ(o.out.compare(pos, CPU_LINE_START.size(), CPU_LINE_START), 0) << "step " << k;
    const std::size_t gpu_end = o.out.find('\n', cpu_end + 1);
    ASSERT_NE(gpu_end, std::string::npos);
    printed_time(o.out.substr(cpu_end + 1, gpu_end - cpu_end));
    pos = gpu_end + 1;
  }
  EXPECT_EQ(pos, o.out.size());
  EXPECT_EQ(estimate_count, count_ + steps);
}

#if defined(LDPCSW_DEVICE_HOST)

// The hook stands in for the estimation step at iteration 10: it keeps the a-posteriori
// LLRs it is handed and ends the call, as a failed stage does.
bool keep_and_fail(double* llr_post, int n, void* context) {
  auto* kept = static_cast<std::vector<double>*>(context);
  kept->assign(llr_post, llr_post + n);
  return false;
}

TEST_F(StageInDecoder, FailedStageEndsTheCallWithZeroAndWithoutSmoothing) {
  std::vector<std::int8_t> expected(h_.n, 0), got(h_.n, 0);
  std::vector<double> kept;
  int iterations = 0;
  ASSERT_EQ(decode(expected, keep_and_fail, &kept, &iterations), 0);
  ASSERT_EQ(iterations, 10);

  const double cpu_before = CPUtime;
  host_runtime::fail_call(host_runtime::Call::malloc, 2);
  int result = -1;
  const Output o = capture([&] {
    result = decode_syndrome_adaptive(h_.ir.data(), h_.jc.data(), h_.m, h_.n, y_.data(), s_.data(),
                                      got.data(), bytes_.data(), numbers_.data(), 0.5, 0.08);
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(got, expected) << "the decisions of iteration 10";
  EXPECT_EQ(o.err, "cudaMalloc failed!");
  EXPECT_EQ(o.out.compare(0, CPU_LINE_START.size(), CPU_LINE_START), 0);
  EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 1) << "the CPU line only";
  EXPECT_GT(CPUtime, cpu_before) << "the CPU search had already been counted";
  expect_accumulators_unchanged();
  expect_all_released();
  // Smoothing would have replaced the LLRs by log-ratios in [0, 13.82].
  for (int i = 0; i < h_.n; ++i) ASSERT_EQ(llr_post()[i], kept[i]) << "bit " << i;
}

TEST_F(StageInDecoder, WithoutAUsableDeviceNoBlockGoesPastIterationTen) {
  host_runtime::fail_call(host_runtime::Call::cublas_create, 1, -1);
  std::vector<std::int8_t> x_hat(h_.n, 0);
  const Output o = capture([&] {
    EXPECT_EQ(decode_syndrome_adaptive(h_.ir.data(), h_.jc.data(), h_.m, h_.n, y_.data(),
                                       s_.data(), x_hat.data(), bytes_.data(), numbers_.data(),
                                       0.5, 0.08),
              0);
  });
  const std::size_t cpu_end = o.out.find('\n');
  ASSERT_NE(cpu_end, std::string::npos);
  EXPECT_EQ(o.out.substr(cpu_end + 1), "CUBLAS initialization failed\n");
  EXPECT_EQ(o.err, "");
  expect_accumulators_unchanged();
}

#endif  // LDPCSW_DEVICE_HOST

}  // namespace
}  // namespace ldpcsw
