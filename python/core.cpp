// ldpcsw._core: the Python bindings of the matrix readers and writers, the constructions, the
// decoders on batches of blocks, the sweep's block streams and the sweep engine. Everything is
// the C++ the command-line programs run; this file only moves arrays in and out, releases the
// GIL around the work and turns refusals into ldpcsw.Error.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#include <sched.h>

#include <algorithm>
#include <charconv>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "code/blocks.h"
#include "code/convert.h"
#include "code/degrees.h"
#include "code/density.h"
#include "code/load.h"
#include "code/peg.h"
#include "code/rank.h"
#include "code/rate_adapt.h"
#include "code/writers.h"
#include "decode/adaptive.h"
#include "decode/plain.h"
#include "gpu/gpu_minsum.h"
#include "sweep/critical.h"
#include "sweep/engine.h"
#include "sweep/stats.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace ldpcsw::python {

// A refusal: bad file, bad array, bad parameter. Raised in Python as ldpcsw.Error.
struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

using sweep::DecoderKind;

// A number as the shortest text that reads back to it (0.50001, not 0.500010).
std::string number_text(double v) {
  char text[32];
  const auto r = std::to_chars(text, text + sizeof text, v);
  return std::string(text, r.ptr);
}

DecoderKind decoder_of(const std::string& name) {
  for (DecoderKind d : {DecoderKind::adaptive, DecoderKind::plain, DecoderKind::minsum_flooding,
                        DecoderKind::minsum_layered, DecoderKind::spa_layered})
    if (name == sweep::decoder_name(d)) return d;
  throw Refusal("decoder: '" + name +
                "' is not one of adaptive, plain, minsum-flooding, minsum-layered, spa-layered");
}

// The workers for `threads` (0: one per core) on `work` blocks: at most
// sweep::MAX_THREADS_PER_CORE per core and one per block.
int worker_count(int threads, std::int64_t work) {
  if (threads < 0) throw Refusal("threads: " + std::to_string(threads) + " is negative");
  const int cores = sweep::available_cores();
  return sweep::useful_workers(threads > 0 ? threads : cores, work, cores);
}

// Starts a pool of `workers` with the GIL held; when the system refuses some threads, the
// pool runs with those that started and a RuntimeWarning says so.
std::unique_ptr<sweep::WorkerPool> start_pool(int workers) {
  auto pool = std::make_unique<sweep::WorkerPool>(workers);
  if (!pool->start_error().empty()) {
    const std::string text = "threads: only " + std::to_string(pool->size()) + " of " +
                             std::to_string(workers) + " threads could start (" +
                             pool->start_error() + "); running with " +
                             std::to_string(pool->size());
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) != 0) throw nb::python_error();
  }
  return pool;
}

// ---- The matrix ------------------------------------------------------------------------------

// H with every form the decoders need, built once.
class Matrix {
 public:
  explicit Matrix(ParityCheckMatrix h) {
    ColumnMatrix columns = code_columns_of(h);
    code_.n = h.n;
    code_.m = h.m;
    code_.ir = std::move(h.ir);
    code_.jc = std::move(h.jc);
    code_.row_index = std::move(columns.row_index);
    code_.col_ptr = std::move(columns.col_ptr);
    minsum_ready_ = sweep::prepare_minsum_code(code_, minsum_error_);
  }
  const sweep::SweepCode& code() const { return code_; }
  ParityCheckMatrix rows() const { return {code_.n, code_.m, code_.ir, code_.jc}; }
  // Workspaces for `count` workers: kept ones first, so that a call on a small batch does not
  // pay for allocating the decoders' arrays again. give_back() keeps them for the next call.
  std::vector<std::unique_ptr<sweep::BlockWorkspace>> take_workspaces(int count) const {
    std::vector<std::unique_ptr<sweep::BlockWorkspace>> taken;
    {
      std::lock_guard<std::mutex> lock(spare_->mutex);
      while (static_cast<int>(taken.size()) < count && !spare_->kept.empty()) {
        taken.push_back(std::move(spare_->kept.back()));
        spare_->kept.pop_back();
      }
    }
    while (static_cast<int>(taken.size()) < count)
      taken.push_back(std::make_unique<sweep::BlockWorkspace>(code_));
    return taken;
  }
  void give_back(std::vector<std::unique_ptr<sweep::BlockWorkspace>>& workspaces) const {
    std::lock_guard<std::mutex> lock(spare_->mutex);
    for (auto& w : workspaces)
      if (spare_->kept.size() < 64) spare_->kept.push_back(std::move(w));
  }
  // Refuses the min-sum decoders on a matrix they cannot serve.
  void require(DecoderKind decoder) const {
    if (sweep::is_minsum(decoder) && !minsum_ready_)
      throw Refusal(std::string(sweep::decoder_name(decoder)) + ": " + minsum_error_);
  }

 private:
  struct Spare {
    std::mutex mutex;
    std::vector<std::unique_ptr<sweep::BlockWorkspace>> kept;
  };
  sweep::SweepCode code_;
  std::unique_ptr<Spare> spare_ = std::make_unique<Spare>();
  bool minsum_ready_ = false;
  std::string minsum_error_;
};

// Reads a row-list text through the row-list reader, so that a matrix given as arrays passes
// exactly the checks of a matrix read from a file (sizes, columns in range, no repeats).
Matrix matrix_from_rows_text(const std::string& text) {
  std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (file == nullptr) throw std::runtime_error("fmemopen failed");
  ParityCheckMatrix h;
  std::string error;
  const bool ok = read_code_rows(file, h, error);
  std::fclose(file);
  if (!ok) throw Refusal("matrix: " + error);
  return Matrix(std::move(h));
}

// One entry's value, which must be 0 or 1.
bool binary_entry(double v, long long row, long long column) {
  if (v == 0.0) return false;
  if (v == 1.0) return true;
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", v);
  throw Refusal("matrix: entry (" + std::to_string(row) + ", " + std::to_string(column) + ") is " +
                text + ", not 0 or 1");
}

std::string rows_text(long long n, long long m, const std::vector<std::vector<long long>>& rows) {
  std::size_t width = 1;
  for (const auto& r : rows) width = std::max(width, r.size());
  std::string text = std::to_string(n) + " " + std::to_string(m) + " " + std::to_string(width) + "\n";
  for (const auto& r : rows) {
    for (std::size_t k = 0; k < width; ++k) {
      text += std::to_string(k < r.size() ? r[k] + 1 : 0);
      text += k + 1 < width ? ' ' : '\n';
    }
  }
  return text;
}

using DenseIn = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using IndexIn = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using ValueIn = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

Matrix matrix_from_dense(DenseIn a) {
  const long long m = static_cast<long long>(a.shape(0)), n = static_cast<long long>(a.shape(1));
  auto v = a.view();
  std::vector<std::vector<long long>> rows(static_cast<std::size_t>(m));
  for (long long r = 0; r < m; ++r)
    for (long long c = 0; c < n; ++c)
      if (binary_entry(v(r, c), r, c)) rows[static_cast<std::size_t>(r)].push_back(c);
  return matrix_from_rows_text(rows_text(n, m, rows));
}

Matrix matrix_from_csr(long long n, long long m, IndexIn indptr, IndexIn indices, ValueIn data) {
  if (n <= 0 || m <= 0) throw Refusal("matrix: shape (" + std::to_string(m) + ", " + std::to_string(n) + ") is empty");
  if (static_cast<long long>(indptr.shape(0)) != m + 1)
    throw Refusal("matrix: indptr has " + std::to_string(indptr.shape(0)) + " entries, not m + 1 = " +
                  std::to_string(m + 1));
  if (indices.shape(0) != data.shape(0))
    throw Refusal("matrix: indices and data differ in length");
  const std::int64_t* p = indptr.data();
  const long long entries = static_cast<long long>(indices.shape(0));
  if (p[0] != 0 || p[m] != entries) throw Refusal("matrix: indptr does not span the entries");
  std::vector<std::vector<long long>> rows(static_cast<std::size_t>(m));
  for (long long r = 0; r < m; ++r) {
    if (p[r + 1] < p[r]) throw Refusal("matrix: indptr decreases at row " + std::to_string(r));
    for (std::int64_t k = p[r]; k < p[r + 1]; ++k) {
      const long long c = indices.data()[k];
      if (c < 0 || c >= n)
        throw Refusal("matrix: column " + std::to_string(c) + " of row " + std::to_string(r) +
                      " is outside 0.." + std::to_string(n - 1));
      if (binary_entry(data.data()[k], r, c)) rows[static_cast<std::size_t>(r)].push_back(c);
    }
  }
  return matrix_from_rows_text(rows_text(n, m, rows));
}

Matrix read_matrix(const std::string& path, const std::string& format) {
  CodeLayout layout;
  if (format == "detect") layout = CodeLayout::detect;
  else if (format == "rows") layout = CodeLayout::rows;
  else if (format == "alist") layout = CodeLayout::alist;
  else throw Refusal("format: '" + format + "' is not one of detect, rows, alist");
  LoadedCode loaded;
  std::string why;
  if (load_code(path, layout, loaded, why) != LoadStatus::ok) {
    std::string error = path;
    if (loaded.layout != CodeLayout::detect)
      error += std::string(" (") + code_layout_name(loaded.layout) + ")";
    error += ": " + why;
    if (loaded.looks_like == CodeLayout::alist) error += "; use format='alist'";
    if (loaded.looks_like == CodeLayout::rows) error += "; use format='rows'";
    throw Refusal(error);
  }
  if (loaded.layout == CodeLayout::rows) return Matrix(std::move(loaded.rows));
  return Matrix(code_rows_of(loaded.columns));
}

// The layout a file name asks for, as ldpcsw-code reads names: .alist or .dat; "" for others.
std::string layout_of_name(const std::string& path) {
  const auto ends_with = [&](const char* tail) {
    const std::size_t k = std::strlen(tail);
    return path.size() >= k && path.compare(path.size() - k, k, tail) == 0;
  };
  if (ends_with(".alist")) return "alist";
  if (ends_with(".dat")) return "rows";
  return "";
}

// Writes the matrix in `format` ("": told by the name, row-list unless it ends in .alist).
// A format that contradicts the name is refused, since every program reads a .alist name as
// alist and a .dat name as row-list. A partly written file is removed.
void write_matrix(const Matrix& matrix, const std::string& path, const std::string& format) {
  if (!format.empty() && format != "rows" && format != "alist")
    throw Refusal("format: '" + format + "' is not one of rows, alist");
  const std::string named = layout_of_name(path);
  if (!format.empty() && !named.empty() && named != format)
    throw Refusal(path + ": format '" + format + "' does not match the name: a row-list "
                  "file's name ends in .dat, an alist file's in .alist");
  const std::string layout = !format.empty() ? format : !named.empty() ? named : "rows";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw Refusal(path + ": cannot open for writing: " + std::strerror(errno));
  const ParityCheckMatrix h = matrix.rows();
  bool ok = layout == "rows" ? write_code_rows(file, h) : write_code_alist(file, h);
  ok = std::fclose(file) == 0 && ok;
  if (!ok) {
    std::remove(path.c_str());
    throw Refusal(path + ": write failed");
  }
}

// A degree distribution written `degree:value,...` in node (columns/rows) or edge (lambda/rho)
// fractions, as ldpcsw-code reads it.
DegreeDistribution distribution_of(const char* name, const std::string& text,
                                   DegreePerspective perspective) {
  DegreeDistribution d;
  std::string error;
  if (!code_parse_degrees(text, perspective, d, error)) throw Refusal(std::string(name) + ": " + error);
  return d;
}

// The one distribution given among a node and an edge form (the caller checked that at most
// one is), or nullopt.
std::optional<DegreeDistribution> one_distribution(const char* node_name,
                                                   const std::optional<std::string>& node,
                                                   const char* edge_name,
                                                   const std::optional<std::string>& edge) {
  if (node && edge)
    throw Refusal(std::string(node_name) + " and " + edge_name + " exclude each other");
  if (node) return distribution_of(node_name, *node, DegreePerspective::node);
  if (edge) return distribution_of(edge_name, *edge, DegreePerspective::edge);
  return std::nullopt;
}

Matrix build_matrix(int n, int m, std::optional<int> column_weight, std::uint64_t seed,
                    const std::string& method, std::optional<std::string> column_degrees,
                    std::optional<std::string> lambda, std::optional<std::string> row_degrees,
                    std::optional<std::string> rho, std::optional<int> depth) {
  if (method != "peg" && method != "random")
    throw Refusal("method: '" + method + "' is not one of peg, random");
  const std::optional<DegreeDistribution> columns =
      one_distribution("column_degrees", column_degrees, "lambda_", lambda);
  const std::optional<DegreeDistribution> rows =
      one_distribution("row_degrees", row_degrees, "rho", rho);
  if (columns && column_weight)
    throw Refusal(std::string("column_weight and ") + (column_degrees ? "column_degrees" : "lambda_") +
                  " exclude each other");
  if (depth && *depth < 0) throw Refusal("depth: " + std::to_string(*depth) + " is negative");
  if (method == "random" && (columns || rows || depth))
    throw Refusal("method 'random' takes only column_weight");
  const int weight = column_weight.value_or(3);
  ParityCheckMatrix h;
  std::string error;
  bool ok;
  if (method == "random") {
    ok = build_random_code(n, m, weight, seed, h, error);
  } else if (!columns && !rows && depth.value_or(0) == 0) {
    ok = build_peg_code(n, m, weight, seed, h, error);
  } else {
    // Irregular (or bounded) progressive edge growth, as ldpcsw-code build makes it.
    std::vector<int> column_list, row_list;
    const DegreeDistribution regular = code_regular_degrees(weight);
    ok = n > 0 && m > 0 &&
         code_realise_degrees(n, m, columns ? *columns : regular, rows ? &*rows : nullptr,
                              column_list, row_list, error);
    if (n <= 0 || m <= 0) error = "n and m must be positive";
    if (ok) {
      PegOptions options;
      options.depth_limit = depth ? *depth : code_peg_build_depth(n, column_list, row_list);
      ok = build_peg_irregular(column_list, row_list, seed, options, h, error);
    }
  }
  if (!ok) throw Refusal("build: " + error);
  // Through the reader's checks too, so that a built matrix is one the decoders accept.
  if (h.m > h.n || h.n < MIN_SEARCH_BITS) {
    std::vector<std::vector<long long>> rows(static_cast<std::size_t>(h.m));
    for (int r = 0; r < h.m; ++r)
      for (int k = h.ir[r]; k < h.ir[r + 1]; ++k) rows[static_cast<std::size_t>(r)].push_back(h.jc[k]);
    return matrix_from_rows_text(rows_text(h.n, h.m, rows));
  }
  return Matrix(std::move(h));
}

template <typename T>
nb::ndarray<nb::numpy, T> owned_array(std::vector<std::size_t> shape, T*& data) {
  std::size_t size = 1;
  for (std::size_t s : shape) size *= s;
  data = new T[std::max<std::size_t>(size, 1)]();
  nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<T*>(p); });
  return nb::ndarray<nb::numpy, T>(data, shape.size(), shape.data(), owner);
}

std::vector<int> column_weights(const sweep::SweepCode& code) {
  std::vector<int> w(static_cast<std::size_t>(code.n), 0);
  for (int j : code.jc) w[static_cast<std::size_t>(j)] += 1;
  return w;
}

std::vector<int> row_weights(const sweep::SweepCode& code) {
  std::vector<int> w(static_cast<std::size_t>(code.m));
  for (int r = 0; r < code.m; ++r) w[static_cast<std::size_t>(r)] = code.ir[r + 1] - code.ir[r];
  return w;
}

// {degree: share of the nodes} of a list of node degrees.
std::map<int, double> shares(const std::vector<int>& degrees) {
  std::map<int, double> counts;
  for (int d : degrees) counts[d] += 1;
  for (auto& [d, c] : counts) c /= static_cast<double>(degrees.size());
  return counts;
}

nb::ndarray<nb::numpy, std::int32_t> int_array(const std::vector<int>& values) {
  std::int32_t* data;
  auto a = owned_array<std::int32_t>({values.size()}, data);
  std::copy(values.begin(), values.end(), data);
  return a;
}

// ---- Thresholds and SIMD targets ---------------------------------------------------------------

// ldpcsw-code threshold: the columns from one of column_weight, column_degrees, lambda_; the
// rows from one of row_weight, row_degrees, rho, rate.
double threshold(std::optional<int> column_weight, std::optional<std::string> column_degrees,
                 std::optional<std::string> lambda, std::optional<int> row_weight,
                 std::optional<std::string> row_degrees, std::optional<std::string> rho,
                 std::optional<double> rate, double step, double range) {
  if ((column_weight ? 1 : 0) + (column_degrees ? 1 : 0) + (lambda ? 1 : 0) != 1)
    throw Refusal("threshold needs one of column_weight, column_degrees, lambda_");
  if ((row_weight ? 1 : 0) + (row_degrees ? 1 : 0) + (rho ? 1 : 0) + (rate ? 1 : 0) != 1)
    throw Refusal("threshold needs one of row_weight, row_degrees, rho, rate");
  if (column_weight && *column_weight < 1)
    throw Refusal("column_weight: " + std::to_string(*column_weight) + " is not positive");
  if (row_weight && *row_weight < 1)
    throw Refusal("row_weight: " + std::to_string(*row_weight) + " is not positive");
  if (rate && !(*rate > 0 && *rate < 1)) throw Refusal("rate: " + number_text(*rate) + " is not in (0, 1)");
  if (!(step >= 1.0 / 256 && step <= 1)) throw Refusal("step: " + number_text(step) + " is not in [1/256, 1]");
  if (!(range >= 4 && range <= 60)) throw Refusal("range: " + number_text(range) + " is not in [4, 60]");
  const DegreeDistribution columns =
      column_weight ? code_regular_degrees(*column_weight)
                    : *one_distribution("column_degrees", column_degrees, "lambda_", lambda);
  const DegreeDistribution rows =
      row_weight ? code_regular_degrees(*row_weight)
      : rate     ? code_rows_for_rate(columns, *rate)
                 : *one_distribution("row_degrees", row_degrees, "rho", rho);
  const double design_rate = code_design_rate(columns, rows);
  if (!(design_rate > 0))
    throw Refusal("the ensemble's rate " + number_text(design_rate) + " is not positive");
  DensityOptions options;
  options.step = step;
  options.range = range;
  double p = 0;
  std::string error;
  bool ok;
  {
    nb::gil_scoped_release release;
    ok = code_threshold(columns, rows, options, p, error);
  }
  if (!ok) throw Refusal(error);
  return p;
}

std::vector<std::string> simd_targets() {
  std::vector<std::string> names;
  for (std::int64_t t : minsum::minsum_available_targets()) names.push_back(minsum::minsum_target_name(t));
  return names;
}

void set_simd_target(const std::string& name) {
  std::string error;
  if (!minsum::minsum_force_target_by_name(name, error)) throw Refusal(error);
}

// ---- Decoding a batch --------------------------------------------------------------------------

using BitsIn = nb::ndarray<const std::uint8_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

minsum::MinsumParams minsum_params(DecoderKind decoder, std::optional<int> q,
                                   std::optional<int> offset,
                                   std::optional<std::pair<int, int>> normalise,
                                   std::optional<int> iterations,
                                   std::optional<int> posterior_bits) {
  const bool given = q || offset || normalise || iterations || posterior_bits;
  if (!sweep::is_minsum(decoder)) {
    if (given)
      throw Refusal("q, offset, normalise, iterations and posterior_bits apply to the "
                    "fixed-point decoders only");
    return {};
  }
  if (posterior_bits && decoder == DecoderKind::minsum_flooding)
    throw Refusal("posterior_bits applies to the layered decoders only");
  if (offset && normalise) throw Refusal("offset and normalise exclude each other");
  minsum::MinsumParams ms = minsum::default_params(sweep::schedule_of(decoder));
  if (decoder == DecoderKind::spa_layered) {
    if (offset || normalise) throw Refusal("offset and normalise apply to the min-sum decoders only");
    ms.check = minsum::CheckRule::sum_product;
    ms.q = 0;  // from p (sweep::point_params), unless q gives it
  }
  if (q) {
    if (*q < 1 || *q > minsum::MSG_MAX) throw Refusal("q: " + std::to_string(*q) + " is not in 1..127");
    ms.q = *q;
  }
  if (offset) {
    if (*offset < 0 || *offset > minsum::MSG_MAX)
      throw Refusal("offset: " + std::to_string(*offset) + " is not in 0..127");
    ms.correction = minsum::Correction::offset;
    ms.beta = *offset;
  }
  if (normalise) {
    const auto [num, den] = *normalise;
    int shift = -1;
    for (int s = 0; s <= 7; ++s)
      if (den == (1 << s)) shift = s;
    if (shift < 0 || num < 1 || num > den)
      throw Refusal("normalise: " + std::to_string(num) + "/" + std::to_string(den) +
                    " is not A/B with B a power of two up to 128 and 1 <= A <= B");
    ms.correction = minsum::Correction::normalise;
    ms.norm_num = num;
    ms.norm_shift = shift;
  }
  if (iterations) {
    if (*iterations < 1 || *iterations > minsum::MAX_ITERATION_LIMIT)
      throw Refusal("iterations: " + std::to_string(*iterations) + " is not in 1.." +
                    std::to_string(minsum::MAX_ITERATION_LIMIT));
    ms.max_iterations = *iterations;
  }
  if (posterior_bits) {
    if (*posterior_bits != 8 && *posterior_bits != 16)
      throw Refusal("posterior_bits: " + std::to_string(*posterior_bits) + " is neither 16 nor 8");
    ms.posterior_bits = *posterior_bits;
  }
  return ms;
}

void check_bits(const BitsIn& a, std::size_t width, const char* name, const char* dim) {
  if (a.shape(1) != width)
    throw Refusal(std::string(name) + ": shape (" + std::to_string(a.shape(0)) + ", " +
                  std::to_string(a.shape(1)) + ") does not have " + dim + " = " +
                  std::to_string(width) + " columns");
  const std::uint8_t* d = a.data();
  const std::size_t size = a.shape(0) * a.shape(1);
  for (std::size_t i = 0; i < size; ++i)
    if (d[i] > 1)
      throw Refusal(std::string(name) + ": entry (" + std::to_string(i / width) + ", " +
                    std::to_string(i % width) + ") is " + std::to_string(d[i]) + ", not 0 or 1");
}

nb::tuple decode(const Matrix& matrix, BitsIn y, BitsIn s, double p, const std::string& decoder_text,
                 int threads, std::optional<int> q, std::optional<int> offset,
                 std::optional<std::pair<int, int>> normalise, std::optional<int> iterations,
                 std::optional<int> posterior_bits) {
  const DecoderKind decoder = decoder_of(decoder_text);
  matrix.require(decoder);
  if (!(p > 0.0 && p <= 0.5)) throw Refusal("p: " + number_text(p) + " is not in (0, 0.5]");
  const minsum::MinsumParams ms =
      sweep::point_params(minsum_params(decoder, q, offset, normalise, iterations, posterior_bits), p);
  const sweep::SweepCode& code = matrix.code();
  const std::size_t n = static_cast<std::size_t>(code.n), m = static_cast<std::size_t>(code.m);
  check_bits(y, n, "y", "n");
  check_bits(s, m, "s", "m");
  if (y.shape(0) != s.shape(0))
    throw Refusal("y and s hold " + std::to_string(y.shape(0)) + " and " +
                  std::to_string(s.shape(0)) + " blocks");
  const std::size_t blocks = y.shape(0);
  const int workers = worker_count(threads, static_cast<std::int64_t>(std::max<std::size_t>(blocks, 1)));

  std::uint8_t* x_hat;
  bool* success;
  std::int32_t* iters;
  auto x_hat_array = owned_array<std::uint8_t>({blocks, n}, x_hat);
  auto success_array = owned_array<bool>({blocks}, success);
  auto iters_array = owned_array<std::int32_t>({blocks}, iters);
  const auto* yd = reinterpret_cast<const std::int8_t*>(y.data());
  const auto* sd = reinterpret_cast<const std::int8_t*>(s.data());
  auto* xd = reinterpret_cast<std::int8_t*>(x_hat);
  // Ctrl-C: worker 0 (the calling thread) looks for it at most every 50 ms between blocks;
  // then no worker takes another block, and the KeyboardInterrupt is raised once the blocks
  // in hand are done.
  std::atomic<bool> stop{false};
  std::optional<nb::python_error> interrupt;
  using Clock = std::chrono::steady_clock;
  Clock::time_point last_check = Clock::now();
  const auto check_signals = [&](int worker) {
    if (worker != 0 || Clock::now() - last_check < std::chrono::milliseconds(50)) return;
    last_check = Clock::now();
    nb::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() != 0) {
      interrupt.emplace();
      stop.store(true);
    }
  };
  const std::unique_ptr<sweep::WorkerPool> pool = start_pool(workers);
  {
    nb::gil_scoped_release release;
    auto workspaces = matrix.take_workspaces(pool->size());
    std::atomic<std::size_t> next{0};
    constexpr std::size_t CHUNK = 16;
    pool->run([&](int worker) {
      sweep::BlockWorkspace& ws = *workspaces[static_cast<std::size_t>(worker)];
      if (sweep::is_minsum(decoder)) {
        const int lanes = minsum::minsum_lanes();
        ws.lane_block.assign(static_cast<std::size_t>(lanes), -1);
        std::size_t chunk_next = 0, chunk_end = 0;
        const auto load = [&](int lane, std::int8_t* ly, std::int8_t* ls) {
          check_signals(worker);
          if (stop.load(std::memory_order_relaxed)) return false;
          if (chunk_next >= chunk_end) {
            chunk_next = next.fetch_add(CHUNK, std::memory_order_relaxed);
            chunk_end = std::min(chunk_next + CHUNK, blocks);
            if (chunk_next >= blocks) return false;
          }
          const std::size_t b = chunk_next++;
          std::memcpy(ly, yd + b * n, n);
          std::memcpy(ls, sd + b * m, m);
          ws.lane_block[static_cast<std::size_t>(lane)] = static_cast<std::int64_t>(b);
          return true;
        };
        const auto store = [&](int lane, const std::int8_t* lx, bool ok, int it) {
          const auto b = static_cast<std::size_t>(ws.lane_block[static_cast<std::size_t>(lane)]);
          std::memcpy(xd + b * n, lx, n);
          success[b] = ok;
          iters[b] = it;
        };
        minsum::minsum_decode_stream(code.minsum, ms, sweep::schedule_of(decoder), ws.minsum,
                                     load, store);
        return;
      }
      for (;;) {
        check_signals(worker);
        if (stop.load(std::memory_order_relaxed)) return;
        const std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
        if (b >= blocks) return;
        const std::int8_t* by = yd + b * n;
        std::int8_t* bx = xd + b * n;
        // Decisions start as the complement of y, as in the sweep, so that the first
        // iteration always counts as a change and tests the syndrome.
        for (std::size_t j = 0; j < n; ++j) bx[j] = static_cast<std::int8_t>(1 - by[j]);
        int it = 0, ok;
        if (decoder == DecoderKind::adaptive)
          ok = decode_syndrome_adaptive_with(code.ir.data(), code.jc.data(), code.m, code.n, by,
                                             sd + b * m, bx, ws.byte_scratch.data(),
                                             ws.number_scratch.data(), 0.5, p, nullptr, nullptr, &it);
        else
          ok = decode_syndrome(code.row_index.data(), code.col_ptr.data(), code.m, code.n, by,
                               sd + b * m, bx, ws.byte_scratch.data(), ws.number_scratch.data(),
                               0.5, p, &it);
        success[b] = ok != 0;
        iters[b] = it;
      }
    });
    matrix.give_back(workspaces);
  }
  if (interrupt) throw std::move(*interrupt);
  return nb::make_tuple(x_hat_array, success_array, iters_array);
}

// ---- The sweep's blocks ----------------------------------------------------------------------

// The block streams count blocks with a 64-bit index, 0 .. 2^64 - 1.
nb::tuple sweep_blocks(const Matrix& matrix, std::uint64_t seed, double p, std::uint64_t first,
                       std::uint64_t count) {
  if (!(p > 0.0 && p <= 0.5)) throw Refusal("p: " + number_text(p) + " is not in (0, 0.5]");
  if (count > 0 && count - 1 > UINT64_MAX - first)
    throw Refusal("first, count: " + std::to_string(count) + " blocks from " + std::to_string(first) +
                  " pass the last block index, 2^64 - 1 = 18446744073709551615");
  const sweep::SweepCode& code = matrix.code();
  const std::size_t n = static_cast<std::size_t>(code.n), m = static_cast<std::size_t>(code.m);
  // Each array must stay within the largest array numpy can index (2^63 - 1 bytes); checked
  // by division, before any product is formed.
  const std::uint64_t limit = static_cast<std::uint64_t>(PTRDIFF_MAX) / std::max<std::size_t>(std::max(n, m), 1);
  if (count > limit)
    throw Refusal("count: " + std::to_string(count) + " blocks of " + std::to_string(std::max(n, m)) +
                  " bits pass the largest array, 2^63 - 1 bytes (at most " + std::to_string(limit) +
                  " blocks)");
  std::uint8_t *x, *y, *s;
  auto xa = owned_array<std::uint8_t>({count, n}, x);
  auto ya = owned_array<std::uint8_t>({count, n}, y);
  auto sa = owned_array<std::uint8_t>({count, m}, s);
  {
    nb::gil_scoped_release release;
    const sweep::PhiloxKey key = sweep::point_key(seed, p);
    const std::uint64_t threshold = sweep::noise_threshold(p);
    minsum::minsum_draw_blocks(code.n, code.m, code.ir.data(), code.jc.data(), key, threshold, first,
                               static_cast<std::size_t>(count), x, y, s);
  }
  return nb::make_tuple(xa, ya, sa);
}

// ---- The sweep ---------------------------------------------------------------------------------

nb::dict point_record(double p, const sweep::PointCounts& c, int n, double seconds, bool partial) {
  const sweep::Interval fer = sweep::wilson_interval(c.frame_errors, c.blocks);
  const sweep::Interval ber = sweep::cluster_interval(c.bit_errors, c.bit_errors_sq, c.blocks, n);
  nb::dict r;
  r["p"] = p;
  r["h_p"] = sweep::binary_entropy(p);
  r["blocks"] = c.blocks;
  r["frame_errors"] = c.frame_errors;
  r["bit_errors"] = c.bit_errors;
  r["bit_errors_sq"] = c.bit_errors_sq;
  r["undetected_errors"] = c.undetected_errors;
  r["fer"] = fer.estimate;
  r["fer_lo"] = fer.lo;
  r["fer_hi"] = fer.hi;
  r["ber"] = ber.estimate;
  r["ber_lo"] = ber.lo;
  r["ber_hi"] = ber.hi;
  r["iterations"] = c.iterations;
  r["avg_iterations"] = c.blocks > 0 ? static_cast<double>(c.iterations) / static_cast<double>(c.blocks) : 0.0;
  r["seconds"] = seconds;
  r["blocks_per_second"] = seconds > 0.0 ? static_cast<double>(c.blocks) / seconds : 0.0;
  r["partial"] = partial;
  return r;
}

// Called, without the GIL, from worker 0 of a running sweep: takes the GIL to see Ctrl-C and to
// call the user's progress(point, p, blocks, count); either may ask the engine to stop (an
// exception from the callback is kept in `error` and raised once the engine has stopped).
class PythonTicker {
 public:
  PythonTicker(nb::object progress, std::atomic<bool>& stop)
      : progress_(std::move(progress)), stop_(stop) {}
  // At most every 50 ms.
  bool due() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(50)) return false;
    last_ = now;
    return true;
  }
  void operator()(std::size_t point, double p, std::int64_t blocks, std::int64_t count) {
    nb::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() != 0) {
      if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) PyErr_Clear();
      else error.emplace();
      stop_.store(true);
      return;
    }
    if (progress_.is_none() || error) return;
    try {
      progress_(point, p, blocks, count);
    } catch (nb::python_error& e) {
      // Ctrl-C while the callback runs is an interruption like any other.
      if (!e.matches(PyExc_KeyboardInterrupt)) error.emplace(std::move(e));
      stop_.store(true);
    }
  }
  std::optional<nb::python_error> error;

 private:
  nb::object progress_;
  std::atomic<bool>& stop_;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// The device of a sweep: cpu, or gpu (the fixed-point decoders only, on a usable device).
void check_device(const std::string& device, DecoderKind decoder) {
  if (device != "cpu" && device != "gpu")
    throw Refusal("device: '" + device + "' is not one of cpu, gpu");
  if (device == "gpu" && !sweep::is_minsum(decoder))
    throw Refusal(std::string("device gpu: the ") + sweep::decoder_name(decoder) +
                  " decoder runs on the cpu only; the gpu runs minsum-flooding, minsum-layered "
                  "and spa-layered");
  std::string why;
  if (device == "gpu" && !gpu_minsum_available(why)) throw Refusal("device gpu: " + why);
}

// The points of a sweep: at least one, each in (0, 0.5], none twice.
void check_points(const std::vector<double>& ps) {
  if (ps.empty()) throw Refusal("p: no crossover probability given");
  for (std::size_t i = 0; i < ps.size(); ++i) {
    if (!(ps[i] > 0.0 && ps[i] <= 0.5))
      throw Refusal("p: " + number_text(ps[i]) + " is not in (0, 0.5]");
    for (std::size_t k = 0; k < i; ++k)
      if (ps[k] == ps[i]) throw Refusal("p: " + number_text(ps[i]) + " appears twice");
  }
}

// Runs every point as ldpcsw-sweep does (one process), returns (records, interrupted).
// Worker 0 is the calling thread: after its blocks it takes the GIL at most every 50 ms to see
// Ctrl-C (then the engine stops at the next block) and to call `progress`.
nb::tuple run_sweep(const Matrix& matrix, const std::vector<double>& ps, std::int64_t blocks,
                    std::int64_t max_frame_errors, const std::string& decoder_text,
                    std::uint64_t seed, int threads, nb::object progress, std::optional<int> q,
                    std::optional<int> offset, std::optional<std::pair<int, int>> normalise,
                    std::optional<int> iterations, std::optional<int> posterior_bits,
                    const std::string& device) {
  const DecoderKind decoder = decoder_of(decoder_text);
  matrix.require(decoder);
  const minsum::MinsumParams ms =
      minsum_params(decoder, q, offset, normalise, iterations, posterior_bits);
  check_device(device, decoder);
  check_points(ps);
  if (blocks < 1) throw Refusal("blocks: " + std::to_string(blocks) + " is not positive");
  if (max_frame_errors < 0)
    throw Refusal("max_frame_errors: " + std::to_string(max_frame_errors) + " is negative");
  const int workers = worker_count(threads, blocks);
  const sweep::SweepCode& code = matrix.code();
  // The fixed-point decoders' kernels on the device (the host backend emulates it), with the
  // same counts as the CPU.
  GpuMinsum gpu;
  if (device == "gpu") {
    std::string why;
    if (!gpu.open(code.minsum, gpu_minsum_batch_capacity(code.minsum), why))
      throw Refusal("device gpu: " + why);
  }

  nb::list records;
  bool interrupted = false;
  std::atomic<bool> stop{false};
  using Clock = std::chrono::steady_clock;
  const std::unique_ptr<sweep::WorkerPool> started = start_pool(workers);
  sweep::WorkerPool& pool = *started;
  PythonTicker tick(progress, stop);  // made and dropped with the GIL held
  {
    nb::gil_scoped_release release;
    std::vector<sweep::BlockWorkspace> workspaces;
    workspaces.reserve(static_cast<std::size_t>(pool.size()));
    for (int w = 0; w < pool.size(); ++w) workspaces.emplace_back(code);
    sweep::SoloCollective group;
    for (std::size_t i = 0; i < ps.size() && !stop.load(); ++i) {
      const sweep::PointTask task{ps[i], blocks, max_frame_errors, seed, ms,
                                  gpu.is_open() ? &gpu : nullptr};
      const Clock::time_point t0 = Clock::now();
      const sweep::ProgressFn on_block = [&, i](const sweep::PointCounts& settled,
                                                std::int64_t in_round) {
        if (tick.due())
          tick(i, ps[i], std::min(blocks, settled.blocks + in_round), settled.frame_errors);
      };
      const sweep::PointResult r = sweep::run_point(code, decoder, task, sweep::PointCounts{}, pool,
                                                    workspaces, group, pool.size(), &stop, on_block);
      const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
      if (!r.finished && r.counts.blocks == 0) break;  // nothing decoded says nothing
      {
        nb::gil_scoped_acquire acquire;
        records.append(point_record(ps[i], r.counts, code.n, seconds, !r.finished));
      }
      if (!r.finished) break;
      tick(i, ps[i], r.counts.blocks, r.counts.frame_errors);
    }
    interrupted = stop.load();
  }
  if (tick.error) throw std::move(*tick.error);
  return nb::make_tuple(records, interrupted);
}

// ---- Rate adaptation ---------------------------------------------------------------------------

// A chain of row-merged codes with the mother it was made for (checked on reading), and the
// ranks of its codes, computed once.
class RateAdaptation {
 public:
  RateAdaptation(RateAdaptChain chain, ParityCheckMatrix mother)
      : chain_(std::move(chain)), mother_(std::move(mother)) {
    if (!rate_adapt_ranks(mother_, chain_, ranks_, DENSE_RANK_MAX_BITS)) ranks_.clear();
  }
  const RateAdaptChain& chain() const { return chain_; }
  const ParityCheckMatrix& mother() const { return mother_; }
  const std::vector<long long>& ranks() const { return ranks_; }
  int step(int k) const {
    if (k < 0 || k > chain_.steps())
      throw Refusal("k: " + std::to_string(k) + " is outside 0.." + std::to_string(chain_.steps()));
    return k;
  }

 private:
  RateAdaptChain chain_;
  ParityCheckMatrix mother_;
  std::vector<long long> ranks_;
};

RateAdaptation read_rate_adaptation(const std::string& path, const Matrix& matrix) {
  RateAdaptChain chain;
  std::string error;
  if (load_rate_adapt(path, chain, error) != LoadStatus::ok) throw Refusal(path + ": " + error);
  ParityCheckMatrix mother = matrix.rows();
  if (!rate_adapt_check_matrix(chain, mother, error)) throw Refusal(path + ": " + error);
  return RateAdaptation(std::move(chain), std::move(mother));
}

RateAdaptation build_rate_adaptation(const Matrix& matrix, std::optional<int> steps,
                                     std::optional<double> min_rate, std::uint64_t seed,
                                     std::optional<int> depth, std::optional<int> follow) {
  ParityCheckMatrix mother = matrix.rows();
  RateAdaptOptions options;
  options.seed = seed;
  options.follow = follow ? *follow : rate_adapt_default_follow(mother);
  options.depth = depth ? *depth : rate_adapt_default_depth(mother, options.follow);
  if (steps && min_rate) throw Refusal("steps and min_rate exclude each other");
  if (min_rate) {
    if (!(*min_rate > 0.0 && *min_rate < 1.0))
      throw Refusal("min_rate: " + number_text(*min_rate) + " is not in (0, 1)");
    options.steps = rate_adapt_steps_for_rate(mother.n, mother.m, *min_rate);
    if (options.steps == 0)
      throw Refusal("min_rate: " + number_text(*min_rate) + " leaves nothing to merge: the matrix's " +
                    std::to_string(mother.m) + " rows over n " + std::to_string(mother.n) +
                    " are already at or below it");
  } else if (steps) {
    options.steps = *steps;
  } else {
    options.steps = mother.m - std::max(1, (mother.m + 3) / 4);
  }
  RateAdaptChain chain;
  std::string error;
  if (!rate_adapt_build(mother, options, chain, error)) throw Refusal(error);
  return RateAdaptation(std::move(chain), std::move(mother));
}

void write_rate_adaptation(const RateAdaptation& a, const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw Refusal(path + ": cannot open for writing: " + std::strerror(errno));
  bool ok = write_rate_adapt(file, a.chain());
  ok = std::fclose(file) == 0 && ok;
  if (!ok) {
    std::remove(path.c_str());
    throw Refusal(path + ": write failed");
  }
}

// One point of a critical-rate run as a record, with the columns of ldpcsw-sweep
// --rate-adaptive's CSV and the histogram of critical steps as a dict.
nb::dict critical_record(double p, const sweep::CriticalCounts& c, const std::vector<long long>& ranks,
                         int n, double seconds, bool partial) {
  const sweep::CriticalSummary s = sweep::summarize_critical(c, ranks, n);
  const double h = sweep::binary_entropy(p);
  nb::dict r;
  r["p"] = p;
  r["h_p"] = h;
  r["blocks"] = c.blocks;
  r["rate"] = s.rate;
  r["rate_lo"] = s.rate_lo;
  r["rate_hi"] = s.rate_hi;
  r["efficiency"] = s.rate / h;
  r["efficiency_lo"] = s.rate_lo / h;
  r["efficiency_hi"] = s.rate_hi / h;
  r["rate_q05"] = s.q05;
  r["rate_q50"] = s.q50;
  r["rate_q95"] = s.q95;
  r["undecoded"] = s.undecoded;
  r["undetected"] = c.undetected;
  r["decodes"] = c.decodes;
  r["iterations"] = c.iterations;
  r["seconds"] = seconds;
  r["blocks_per_second"] = seconds > 0.0 ? static_cast<double>(c.blocks) / seconds : 0.0;
  r["histogram"] = c.histogram;
  r["partial"] = partial;
  return r;
}

// The critical-rate run of ldpcsw-sweep --rate-adaptive (one process), returns (records,
// interrupted); Ctrl-C and progress as in run_sweep.
nb::tuple run_critical_rate(const Matrix& matrix, const RateAdaptation& chain,
                            const std::vector<double>& ps, std::int64_t blocks,
                            const std::string& decoder_text, std::uint64_t seed, int threads,
                            nb::object progress, std::optional<int> q, std::optional<int> offset,
                            std::optional<std::pair<int, int>> normalise,
                            std::optional<int> iterations, std::optional<int> posterior_bits,
                            const std::string& search, const std::string& device) {
  const DecoderKind decoder = decoder_of(decoder_text);
  matrix.require(decoder);
  const minsum::MinsumParams ms =
      minsum_params(decoder, q, offset, normalise, iterations, posterior_bits);
  std::string error;
  if (!rate_adapt_check_matrix(chain.chain(), matrix.rows(), error))
    throw Refusal("chain: " + error);
  if (search != "bisect" && search != "scan")
    throw Refusal("search: '" + search + "' is not one of bisect, scan");
  check_device(device, decoder);
  check_points(ps);
  if (blocks < 1) throw Refusal("blocks: " + std::to_string(blocks) + " is not positive");
  const int workers = worker_count(threads, blocks);
  const sweep::SweepCode& code = matrix.code();
  nb::list records;
  bool interrupted = false;
  std::atomic<bool> stop{false};
  using Clock = std::chrono::steady_clock;
  const std::unique_ptr<sweep::WorkerPool> started = start_pool(workers);
  sweep::WorkerPool& pool = *started;
  PythonTicker tick(progress, stop);
  std::string device_error;
  {
    nb::gil_scoped_release release;
    // Without ranks (a mother beyond the dense elimination), rows over n, as `rates` gives.
    std::vector<long long> ranks = chain.ranks();
    if (ranks.empty())
      for (int k = 0; k <= chain.chain().steps(); ++k) ranks.push_back(chain.chain().m - k);
    sweep::ChainCodes codes(chain.mother(), chain.chain(), ranks, sweep::is_minsum(decoder));
    std::unique_ptr<sweep::ChainDevice> on_device;
    if (device == "gpu") on_device = std::make_unique<sweep::ChainDevice>(codes);
    std::vector<sweep::BlockWorkspace> workspaces;
    workspaces.reserve(static_cast<std::size_t>(pool.size()));
    for (int w = 0; w < pool.size(); ++w) workspaces.emplace_back(code);
    sweep::SoloCollective group;
    for (std::size_t i = 0; i < ps.size() && !stop.load(); ++i) {
      const sweep::CriticalTask task{ps[i], blocks, seed, ms, search == "scan", on_device.get()};
      const Clock::time_point t0 = Clock::now();
      const sweep::CriticalProgressFn on_block = [&, i](const sweep::CriticalCounts& settled,
                                                        std::int64_t in_round) {
        if (tick.due()) {
          const auto undecoded = settled.histogram.find(-1);
          tick(i, ps[i], std::min(blocks, settled.blocks + in_round),
               undecoded == settled.histogram.end() ? 0 : undecoded->second);
        }
      };
      const sweep::CriticalResult r = sweep::run_critical_point(
          codes, decoder, task, {}, pool, workspaces, group, pool.size(), &stop, on_block);
      const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
      if (!r.device_error.empty()) {
        device_error = r.device_error;
        break;
      }
      if (!r.finished && r.counts.blocks == 0) break;
      {
        nb::gil_scoped_acquire acquire;
        records.append(critical_record(ps[i], r.counts, codes.ranks(), code.n, seconds, !r.finished));
      }
      if (!r.finished) break;
      const auto undecoded = r.counts.histogram.find(-1);
      tick(i, ps[i], r.counts.blocks, undecoded == r.counts.histogram.end() ? 0 : undecoded->second);
    }
    interrupted = stop.load();
  }
  if (tick.error) throw std::move(*tick.error);
  if (!device_error.empty()) throw Refusal("device gpu: " + device_error);
  return nb::make_tuple(records, interrupted);
}

// The syndromes of the code after k merges for a batch of mother syndromes (B, m).
nb::ndarray<nb::numpy, std::uint8_t> rate_adaptation_syndrome(const RateAdaptation& a, int k,
                                                              BitsIn s) {
  a.step(k);
  const int m = a.chain().m, m_k = m - k;
  check_bits(s, static_cast<std::size_t>(m), "s", "m");
  const std::size_t blocks = s.shape(0);
  std::uint8_t* out;
  auto array = owned_array<std::uint8_t>({blocks, static_cast<std::size_t>(m_k)}, out);
  {
    nb::gil_scoped_release release;
    const std::vector<int> row_of = rate_adapt_row_of(a.chain(), k);
    for (std::size_t b = 0; b < blocks; ++b)
      rate_adapt_syndrome(row_of, reinterpret_cast<const std::int8_t*>(s.data()) + b * m, m,
                          reinterpret_cast<std::int8_t*>(out) + b * m_k, m_k);
  }
  return array;
}

nb::ndarray<nb::numpy, std::int32_t> rate_adaptation_merges(const RateAdaptation& a) {
  const std::size_t steps = static_cast<std::size_t>(a.chain().steps());
  std::int32_t* data;
  auto array = owned_array<std::int32_t>({steps, 2}, data);
  for (std::size_t j = 0; j < steps; ++j) {
    data[2 * j] = a.chain().kept[j];
    data[2 * j + 1] = a.chain().merged[j];
  }
  return array;
}

nb::ndarray<nb::numpy, double> rate_adaptation_rates(const RateAdaptation& a) {
  const int steps = a.chain().steps();
  double* data;
  auto array = owned_array<double>({static_cast<std::size_t>(steps) + 1}, data);
  for (int k = 0; k <= steps; ++k) {
    const double top = a.ranks().empty() ? a.chain().m - k : static_cast<double>(a.ranks()[k]);
    data[k] = top / a.chain().n;
  }
  return array;
}

void bind_rate_adaptation(nb::module_& mod) {
  nb::class_<RateAdaptation>(mod, "RateAdaptation",
                             "A chain of codes made from one matrix by merging pairs of rows "
                             "(ldpcsw-code rate-adapt): the code after k merges has m - k rows, "
                             "each the GF(2) sum of a group of the mother's rows. Make one with "
                             "read_rate_adaptation or build_rate_adaptation.")
      .def_prop_ro("steps", [](const RateAdaptation& a) { return a.chain().steps(); },
                   "The number of merges K; the codes are k = 0 (the mother) .. K.")
      .def_prop_ro("n", [](const RateAdaptation& a) { return a.chain().n; }, "The mother's bits.")
      .def_prop_ro("m", [](const RateAdaptation& a) { return a.chain().m; }, "The mother's checks.")
      .def_prop_ro("fingerprint",
                   [](const RateAdaptation& a) { return rate_adapt_fingerprint_text(a.chain().fingerprint); },
                   "The mother's fingerprint as the chain file writes it (16 hexadecimal digits).")
      .def_prop_ro("merges", &rate_adaptation_merges, nb::rv_policy::move,
                   "The merges in order, (steps, 2) int32: merge k + 1 adds row merges[k, 1] "
                   "(0-based, in the mother's numbering) to row merges[k, 0].")
      .def_prop_ro("rows",
                   [](const RateAdaptation& a) {
                     std::vector<int> rows;
                     for (int k = 0; k <= a.chain().steps(); ++k) rows.push_back(a.chain().m - k);
                     return int_array(rows);
                   },
                   nb::rv_policy::move, "The rows m - k of each code, k = 0..steps.")
      .def_prop_ro("ranks",
                   [](const RateAdaptation& a) -> std::optional<std::vector<long long>> {
                     if (a.ranks().empty()) return std::nullopt;
                     return a.ranks();
                   },
                   "The GF(2) rank of each code, k = 0..steps; None when the mother is too "
                   "large for the dense elimination.")
      .def_prop_ro("rates", &rate_adaptation_rates, nb::rv_policy::move,
                   "The rate of each code, rank / n (rows / n, an upper bound, when ranks is "
                   "None), k = 0..steps, falling.")
      .def("_code",
           [](const RateAdaptation& a, int k) {
             a.step(k);
             nb::gil_scoped_release release;
             return Matrix(rate_adapt_code(a.mother(), a.chain(), k));
           },
           "k"_a, "The code after k merges as a Matrix (m - k rows, each the GF(2) sum of its "
           "group of the mother's rows, columns ascending).")
      .def("_syndrome", &rate_adaptation_syndrome, "k"_a, "s"_a.noconvert(),
           "The syndromes of the code after k merges from a (blocks, m) uint8 array of the "
           "mother's syndromes: each bit the XOR of its group's bits. Returns (blocks, m - k).")
      .def("_write", &write_rate_adaptation, nb::call_guard<nb::gil_scoped_release>(), "path"_a);
  mod.def("_read_rate_adaptation", &read_rate_adaptation, nb::call_guard<nb::gil_scoped_release>(),
          "path"_a, "matrix"_a);
  mod.def("_build_rate_adaptation", &build_rate_adaptation, nb::call_guard<nb::gil_scoped_release>(),
          "matrix"_a, "steps"_a.none(), "min_rate"_a.none(), "seed"_a, "depth"_a.none(),
          "follow"_a.none());
  mod.def("_critical_rate", &run_critical_rate, "code"_a, "chain"_a, "ps"_a, "blocks"_a,
          "decoder"_a, "seed"_a, "threads"_a, "progress"_a.none(), "q"_a.none(), "offset"_a.none(),
          "normalise"_a.none(), "iterations"_a.none(), "posterior_bits"_a.none(), "search"_a,
          "device"_a = "cpu");
}

}  // namespace ldpcsw::python

NB_MODULE(_core, mod) {
  using namespace ldpcsw;
  using namespace ldpcsw::python;
  mod.doc() = "The compiled core of ldpcsw; use the package ldpcsw.";
  nb::exception<Refusal>(mod, "Error", PyExc_ValueError);

  nb::class_<Matrix>(mod, "Matrix",
                     "A binary parity-check matrix H (m checks by n bits) in the forms every "
                     "decoder needs. Make one with read_matrix, build_matrix, "
                     "Matrix.from_scipy or Matrix.from_dense.")
      .def_prop_ro("n", [](const Matrix& a) { return a.code().n; }, "Number of bits (columns).")
      .def_prop_ro("m", [](const Matrix& a) { return a.code().m; }, "Number of checks (rows).")
      .def_prop_ro("edges", [](const Matrix& a) { return a.code().edges(); }, "Number of ones.")
      .def_prop_ro("indptr", [](const Matrix& a) { return int_array(a.code().ir); }, nb::rv_policy::move,
                   "Row pointers (m + 1 values) of the row-major form, as in scipy's CSR.")
      .def_prop_ro("indices", [](const Matrix& a) { return int_array(a.code().jc); }, nb::rv_policy::move,
                   "0-based column of each one, row by row, in the file's order.")
      .def_prop_ro("column_weights", [](const Matrix& a) { return int_array(column_weights(a.code())); },
                   nb::rv_policy::move, "The number of ones of each column (n values).")
      .def_prop_ro("row_weights", [](const Matrix& a) { return int_array(row_weights(a.code())); },
                   nb::rv_policy::move, "The number of ones of each row (m values).")
      .def_prop_ro("column_degrees", [](const Matrix& a) { return shares(column_weights(a.code())); },
                   "The columns' degree distribution {degree: share of the columns}, as "
                   "build_matrix and threshold take it.")
      .def_prop_ro("row_degrees", [](const Matrix& a) { return shares(row_weights(a.code())); },
                   "The rows' degree distribution {degree: share of the rows}.")
      .def("girth",
           [](const Matrix& a, int max_length) {
             nb::gil_scoped_release release;
             return code_girth(a.rows(), max_length);
           },
           "max_length"_a = 0,
           "Length of the shortest cycle of the Tanner graph, searching cycles up to "
           "max_length (0: no bound); 0 when there is none within the bound.")
      .def("rank",
           [](const Matrix& a) -> std::optional<long long> {
             long long r;
             {
               nb::gil_scoped_release release;
               r = gf2_rank(a.code().n, a.code().m, a.code().ir.data(), a.code().jc.data());
             }
             if (r < 0) return std::nullopt;
             return r;
           },
           "GF(2) rank (independent checks); None when the matrix is too large for the dense "
           "elimination.")
      .def("_write", &write_matrix, nb::call_guard<nb::gil_scoped_release>(), "path"_a,
           "format"_a);

  mod.def("_matrix_from_dense", &matrix_from_dense, "a"_a.noconvert());
  mod.def("_matrix_from_csr", &matrix_from_csr, "n"_a, "m"_a, "indptr"_a.noconvert(),
          "indices"_a.noconvert(), "data"_a.noconvert());
  mod.def("read_matrix", &read_matrix, nb::call_guard<nb::gil_scoped_release>(), "path"_a, "format"_a = "detect",
          "Reads a row-list or alist matrix file; format is 'detect' (by content), 'rows' or "
          "'alist'. Raises ldpcsw.Error naming the file and the problem.");
  mod.def("threshold", &threshold, "column_weight"_a.none(), "column_degrees"_a.none(),
          "lambda_"_a.none(), "row_weight"_a.none(), "row_degrees"_a.none(), "rho"_a.none(),
          "rate"_a.none(), "step"_a, "range"_a,
          "Threshold p* of belief propagation over the ensemble, by density evolution "
          "(ldpcsw-code threshold).");
  mod.def("simd_targets", &simd_targets,
          "The SIMD targets the fixed-point decoders can run here, widest first.");
  mod.def("set_simd_target", &set_simd_target, "name"_a,
          "Forces the fixed-point decoders onto one SIMD target ('best': the widest).");
  mod.def("build_matrix", &build_matrix, nb::call_guard<nb::gil_scoped_release>(), "n"_a, "m"_a, "column_weight"_a.none(), "seed"_a = 1,
          "method"_a = "peg", "column_degrees"_a.none() = nb::none(), "lambda_"_a.none() = nb::none(),
          "row_degrees"_a.none() = nb::none(), "rho"_a.none() = nb::none(),
          "depth"_a.none() = nb::none(),
          "Builds an n-bit, m-check matrix with the given column weight, or column and row degree "
          "distributions, by progressive edge growth ('peg') or random sockets ('random'). The "
          "same arguments always give the same matrix.");
  mod.def("_decode", &decode, "code"_a, "y"_a.noconvert(), "s"_a.noconvert(), "p"_a, "decoder"_a,
          "threads"_a, "q"_a.none(), "offset"_a.none(), "normalise"_a.none(),
          "iterations"_a.none(), "posterior_bits"_a.none());
  mod.def("_blocks", &sweep_blocks, "code"_a, "seed"_a, "p"_a, "first"_a, "count"_a);
  mod.def("_sweep", &run_sweep, "code"_a, "ps"_a, "blocks"_a, "max_frame_errors"_a, "decoder"_a,
          "seed"_a, "threads"_a, "progress"_a.none(), "q"_a.none(), "offset"_a.none(),
          "normalise"_a.none(), "iterations"_a.none(), "posterior_bits"_a.none(), "device"_a = "cpu");
  mod.def("binary_entropy",
          [](double p) {
            if (!(p >= 0.0 && p <= 1.0))
              throw Refusal("p: " + number_text(p) + " is not a probability in [0, 1]");
            return sweep::binary_entropy(p);
          },
          "p"_a, "H(p) in bits, for p in [0, 1].");
  mod.def("slepian_wolf_limit",
          [](double rate) {
            if (!(rate >= 0.0 && rate <= 1.0))
              throw Refusal("rate: " + number_text(rate) + " is not in [0, 1]");
            return sweep::slepian_wolf_limit(rate);
          },
          "rate"_a,
          "The crossover probability p at which H(p) equals rate = m / n.");
  bind_rate_adaptation(mod);
}
