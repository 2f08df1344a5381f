// The GF(2) rank of a parity-check matrix: against a plain elimination on random matrices,
// on matrices whose rows are dependent, beyond the dense limit, and in `ldpcsw-code info`.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "code/rank.h"
#include "tests/support.h"

using namespace ldpcsw;

namespace {

// Row lists (0-based columns) as the row pointers and columns gf2_rank takes.
struct Rows {
  int n = 0;
  std::vector<int> ir{0}, jc;
  void add(const std::vector<int>& columns) {
    jc.insert(jc.end(), columns.begin(), columns.end());
    ir.push_back(static_cast<int>(jc.size()));
  }
  int m() const { return static_cast<int>(ir.size()) - 1; }
  long long rank(std::uint64_t max_bits = DENSE_RANK_MAX_BITS) const {
    return gf2_rank(n, m(), ir.data(), jc.data(), max_bits);
  }
};

// Gaussian elimination on rows held as 64-bit words, one pivot column at a time.
long long reference_rank(const Rows& h) {
  const int words = (h.n + 63) / 64;
  std::vector<std::vector<std::uint64_t>> rows(h.m(), std::vector<std::uint64_t>(words, 0));
  for (int r = 0; r < h.m(); ++r)
    for (int e = h.ir[r]; e < h.ir[r + 1]; ++e) rows[r][h.jc[e] / 64] |= 1ull << (h.jc[e] % 64);
  long long rank = 0;
  for (int c = 0; c < h.n && rank < h.m(); ++c) {
    const std::uint64_t bit = 1ull << (c % 64);
    int pivot = -1;
    for (int r = static_cast<int>(rank); r < h.m() && pivot < 0; ++r)
      if (rows[r][c / 64] & bit) pivot = r;
    if (pivot < 0) continue;
    std::swap(rows[pivot], rows[rank]);
    for (int r = 0; r < h.m(); ++r)
      if (r != rank && (rows[r][c / 64] & bit))
        for (int w = 0; w < words; ++w) rows[r][w] ^= rows[rank][w];
    ++rank;
  }
  return rank;
}

}  // namespace

TEST(CodeRank, AgreesWithPlainEliminationOnRandomMatrices) {
  std::uint64_t state = 12345;
  auto next = [&state] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<int>(state >> 33);
  };
  int deficient = 0;
  for (int trial = 0; trial < 60; ++trial) {
    Rows h;
    h.n = 1 + next() % 150;
    const int m = 1 + next() % 100;  // wider and taller than n both occur
    const int weight = 1 + next() % 4;
    for (int r = 0; r < m; ++r) {
      std::vector<int> columns;
      for (int k = 0; k < weight; ++k) columns.push_back(next() % h.n);
      h.add(columns);  // a column drawn twice in a row counts once
    }
    const long long expect = reference_rank(h);
    EXPECT_EQ(h.rank(), expect) << "trial " << trial << ": n " << h.n << ", m " << m;
    deficient += expect < std::min(h.n, m);
  }
  EXPECT_GT(deficient, 5);  // the draw exercises dependent rows, not only full rank
}

TEST(CodeRank, EvenColumnWeightsMakeRowsDependent) {
  // Every column has two ones (rows j % m and (j + 1) % m): all rows sum to zero, and any
  // m - 1 of them are independent.
  for (const int m : {2, 5, 64, 65, 200}) {
    Rows h;
    h.n = 3 * m;
    std::vector<std::vector<int>> rows(m);
    for (int j = 0; j < h.n; ++j) {
      rows[j % m].push_back(j);
      rows[(j + 1) % m].push_back(j);
    }
    for (const auto& r : rows) h.add(r);
    EXPECT_EQ(h.rank(), m - 1) << "m " << m;
  }
  Rows twice;  // a row listed twice adds nothing
  twice.n = 30;
  twice.add({1, 4, 9});
  twice.add({1, 4, 9});
  twice.add({2});
  EXPECT_EQ(twice.rank(), 2);
}

TEST(CodeRank, BeyondTheDenseLimitIsNotComputed) {
  Rows h;
  h.n = 100;
  for (int r = 0; r < 10; ++r) h.add({r});
  EXPECT_EQ(h.rank(1000), 10);
  EXPECT_EQ(h.rank(999), -1);
  EXPECT_EQ(gf2_rank(0, 0, h.ir.data(), h.jc.data()), 0);
}

TEST(CodeRank, InfoPrintsTheRank) {
  ldpcsw::test::TempDir dir;
  auto r = ldpcsw::test::run_process(ldpcsw::test::bin("ldpcsw-code"),
                                     {"info", std::string(LDPCSW_DATA_DIR) + "/Reg504252.dat"},
                                     dir.path);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("\nrank 252 over GF(2) (0 of the 252 rows depend on the others)\n"),
            std::string::npos)
      << r.out;

  // n = 24, m = 4, every column of weight 2: the four rows sum to zero.
  std::string text = "24 4 12\n";
  for (int row = 0; row < 4; ++row) {
    for (int j = 0; j < 24; ++j)
      if (j % 4 == row || (j + 1) % 4 == row) text += std::to_string(j + 1) + " ";
    text.back() = '\n';
  }
  ldpcsw::test::write_file(dir.file("even.dat"), text);
  r = ldpcsw::test::run_process(ldpcsw::test::bin("ldpcsw-code"), {"info", "even.dat"}, dir.path);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("rank 3 over GF(2) (1 of the 4 rows depend on the others)"),
            std::string::npos)
      << r.out;
}
