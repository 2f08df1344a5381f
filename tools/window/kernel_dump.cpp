// ldpcsw-kernel-dump KIND N SEED: runs every window-search kernel on the device backend in
// use over a generated profile and prints the exact bits of every output, so that two builds
// (cuda and host) can be compared with diff. A NaN prints as "nan": the GPU's NaN and the
// CPU's differ in sign and payload, and neither is meaningful.
//
// KIND: uniform, decoder, zeros, halves, alternating, edges, tiny, spikes, dyadic.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gpu/kernel_runner.h"

namespace {

float uniform01(std::mt19937& g) { return static_cast<float>(g() >> 8) * 0x1p-24f; }

bool make_profile(const std::string& kind, int n, unsigned seed, std::vector<float>& p) {
  std::mt19937 g(seed);
  p.assign(static_cast<std::size_t>(n), 0.0f);
  for (int i = 0; i < n; ++i) {
    float v;
    if (kind == "uniform") {
      v = uniform01(g);
    } else if (kind == "decoder") {
      const float t = uniform01(g);
      v = t < 0.46f ? t * 1e-4f : t > 0.54f ? 1.0f - (1.0f - t) * 1e-4f : t;
    } else if (kind == "zeros") {
      v = 0.0f;
    } else if (kind == "halves") {
      v = 0.5f;
    } else if (kind == "alternating") {
      v = i % 2 ? 1.0f : 0.0f;
    } else if (kind == "edges") {
      const float e[] = {1e-6f, std::nextafter(1e-6f, 0.0f), std::nextafter(1e-6f, 1.0f), 0.5f,
                         std::nextafter(0.5f, 0.0f), std::nextafter(0.5f, 1.0f), 0.0f, 1.0f};
      v = e[g() % 8];
    } else if (kind == "tiny") {
      v = g() % 3 == 0 ? 1e-40f : uniform01(g) * 1e-7f;
    } else if (kind == "spikes") {
      v = g() % 97 == 0 ? 1.0f : 1e-5f;
    } else if (kind == "dyadic") {
      v = static_cast<float>(g() % 1025) / 1024.0f;
    } else {
      return false;
    }
    p[i] = v;
  }
  return true;
}

std::string bits(float v) {
  if (std::isnan(v)) return "nan";
  std::uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", b);
  return buf;
}

std::string bits(double v) {
  if (std::isnan(v)) return "nan";
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  char buf[24];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(b));
  return buf;
}

[[noreturn]] void device_failed(const char* what) {
  std::fprintf(stderr, "ldpcsw-kernel-dump: %s failed on the %s backend\n", what,
               ldpcsw::device_backend_name());
  std::exit(1);
}

int argmin(const std::vector<float>& d, int blocks) {
  int r = -2;
  if (!ldpcsw::run_min_idx(d.data(), static_cast<int>(d.size()), blocks, &r)) device_failed("min_idx_kernel");
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: ldpcsw-kernel-dump KIND N SEED\n");
    return 1;
  }
  const std::string kind = argv[1];
  const int n = std::atoi(argv[2]);
  const unsigned seed = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
  std::vector<float> p;
  if (n < 1 || !make_profile(kind, n, seed, p)) {
    std::fprintf(stderr, "ldpcsw-kernel-dump: unknown kind '%s' or bad N '%s'\n", argv[1], argv[2]);
    return 1;
  }

  // GPU_findbest1: the stage's launch, then every further odd width up to n.
  std::vector<float> table(625);
  if (!ldpcsw::run_findbest1(p.data(), n, 1, 25, 25, table.data())) device_failed("GPU_findbest1");
  for (int t = 0; t < 625; ++t) std::printf("findbest1 w=%d %s\n", 2 * t + 1, bits(table[t]).c_str());
  if (n > 1249) {
    const int more = (n - 1249) / 2 + 1, threads = 64, blocks = (more + threads - 1) / threads;
    std::vector<float> rest(static_cast<std::size_t>(blocks) * threads);
    if (!ldpcsw::run_findbest1(p.data(), n, 1251, blocks, threads, rest.data())) device_failed("GPU_findbest1");
    for (std::size_t t = 0; t < rest.size(); ++t)
      std::printf("findbest1 w=%zu %s\n", 1251 + 2 * t, bits(rest[t]).c_str());
  }

  // min_idx_kernel: over the table, and over arrays built to test its ties and limits.
  std::printf("argmin table %d\n", argmin(table, 2));
  std::printf("argmin table-one-block %d\n", argmin(table, 1));
  std::vector<float> d(625);
  for (int i = 0; i < 625; ++i) d[i] = std::floor(p[i % n] * 4.0f);  // many ties
  std::printf("argmin ties %d\n", argmin(d, 2));
  d.assign(625, NAN);
  std::printf("argmin all-nan %d\n", argmin(d, 2));
  d.assign(625, 5.0f);
  d[1] = d[512] = 1.0f;
  std::printf("argmin 1-and-512 %d\n", argmin(d, 2));
  std::vector<float> prof(p.begin(), p.end());
  std::printf("argmin profile %d\n", argmin(prof, 2));

  // GPU_findbest: one thread per width, each with its own row of predictions.
  std::vector<double> gamma(p.begin(), p.end());
  for (int w : {1, 3, 21, 41}) {
    const int threads = 4;
    std::vector<float> s2(threads);
    std::vector<double> bias(static_cast<std::size_t>(threads) * n);
    if (!ldpcsw::run_findbest(gamma.data(), n, w, 1, threads, s2.data(), bias.data())) device_failed("GPU_findbest");
    for (int t = 0; t < threads; ++t) {
      std::uint64_t h = 1469598103934665603ull;  // FNV-1a over the row's printed bits
      for (int k = 0; k < n; ++k)
        for (char c : bits(bias[static_cast<std::size_t>(t) * n + k])) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
      std::printf("findbest w=%d %s bias-hash %016llx\n", w + 2 * t, bits(s2[t]).c_str(),
                  static_cast<unsigned long long>(h));
    }
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
