// Rate adaptation by row merging: the merged codes against their definition (GF(2) sums of
// dense rows), syndromes released one bit at a time, ranks against a direct elimination, the
// chain file's bytes and refusals, the builder's determinism and balance, and ldpcsw-code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "code/blocks.h"
#include "code/convert.h"
#include "code/load.h"
#include "code/peg.h"
#include "code/rank.h"
#include "code/rate_adapt.h"
#include "tests/support.h"

using namespace ldpcsw;
using namespace ldpcsw::test;

namespace {

using Dense = std::vector<std::vector<int>>;

Dense dense_of(const ParityCheckMatrix& h) {
  Dense d(static_cast<std::size_t>(h.m), std::vector<int>(static_cast<std::size_t>(h.n), 0));
  for (int r = 0; r < h.m; ++r)
    for (int e = h.ir[r]; e < h.ir[r + 1]; ++e) d[r][h.jc[e]] ^= 1;
  return d;
}

// The code after k merges straight from the definition: replay the merges on dense rows.
Dense merged_by_definition(const ParityCheckMatrix& h, const RateAdaptChain& chain, int k) {
  Dense rows = dense_of(h);
  std::vector<char> standing(static_cast<std::size_t>(h.m), 1);
  for (int j = 0; j < k; ++j) {
    for (int c = 0; c < h.n; ++c) rows[chain.kept[j]][c] ^= rows[chain.merged[j]][c];
    standing[chain.merged[j]] = 0;
  }
  Dense code;
  for (int r = 0; r < h.m; ++r)
    if (standing[r]) code.push_back(rows[r]);
  return code;
}

RateAdaptChain built(const ParityCheckMatrix& h, int steps, std::uint64_t seed = 1) {
  RateAdaptOptions options;
  options.steps = steps;
  options.seed = seed;
  RateAdaptChain chain;
  std::string error;
  EXPECT_TRUE(rate_adapt_build(h, options, chain, error)) << error;
  return chain;
}

std::string written(const RateAdaptChain& chain) {
  std::FILE* f = std::tmpfile();
  EXPECT_TRUE(write_rate_adapt(f, chain));
  std::rewind(f);
  std::string text;
  for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
  std::fclose(f);
  return text;
}

bool read_text(const std::string& text, RateAdaptChain& chain, std::string& error) {
  std::FILE* f = std::tmpfile();
  std::fputs(text.c_str(), f);
  std::rewind(f);
  const bool ok = read_rate_adapt(f, chain, error);
  std::fclose(f);
  return ok;
}

std::vector<std::int8_t> syndrome_of(const ParityCheckMatrix& h, const std::vector<std::int8_t>& x) {
  std::vector<std::int8_t> s(static_cast<std::size_t>(h.m));
  compute_syndrome(h.ir.data(), h.jc.data(), h.m, x.data(), s.data());
  return s;
}

// 6 columns, 4 rows; rows 1 and 2 (0-based 0, 1) share column 2, so their sum cancels it.
ParityCheckMatrix small() {
  ParityCheckMatrix h;
  h.n = 6;
  h.m = 4;
  h.ir = {0, 3, 5, 7, 9};
  h.jc = {2, 0, 1, 2, 3, 4, 5, 0, 5};
  return h;
}

// Independent cycles among the degree-2 columns: edges less rows plus components of the graph
// whose nodes are the rows and whose edges are the columns held by two rows. Each such cycle
// is a codeword made of those columns alone.
int degree_two_cycles(const ParityCheckMatrix& h) {
  std::vector<std::vector<int>> rows_of(static_cast<std::size_t>(h.n));
  for (int r = 0; r < h.m; ++r)
    for (int e = h.ir[r]; e < h.ir[r + 1]; ++e) rows_of[h.jc[e]].push_back(r);
  std::vector<int> parent(static_cast<std::size_t>(h.m));
  for (int r = 0; r < h.m; ++r) parent[r] = r;
  const auto find = [&](int r) {
    while (parent[r] != r) r = parent[r] = parent[parent[r]];
    return r;
  };
  int cycles = 0;
  for (const auto& rows : rows_of) {
    if (rows.size() != 2) continue;
    const int a = find(rows[0]), b = find(rows[1]);
    if (a == b) ++cycles;
    else parent[a] = b;
  }
  return cycles;
}

// Codewords of h of weight 1 to 3: sets of at most three columns that every row holds an even
// number of. The rows of a codeword's first column each hold another of its columns, so the
// second is found in that column's first row and the third must hold exactly the rows the
// first two do not share.
int light_codewords(const ParityCheckMatrix& h) {
  std::vector<std::vector<int>> rows_of(static_cast<std::size_t>(h.n));
  for (int r = 0; r < h.m; ++r)
    for (int e = h.ir[r]; e < h.ir[r + 1]; ++e) rows_of[h.jc[e]].push_back(r);
  std::set<std::vector<int>> found;
  std::vector<int> odd;
  for (int c1 = 0; c1 < h.n; ++c1) {
    if (rows_of[c1].empty()) {
      found.insert({c1});
      continue;
    }
    const int g = rows_of[c1][0];
    for (int e = h.ir[g]; e < h.ir[g + 1]; ++e) {
      const int c2 = h.jc[e];
      if (c2 == c1) continue;
      odd.clear();
      std::set_symmetric_difference(rows_of[c1].begin(), rows_of[c1].end(), rows_of[c2].begin(),
                                    rows_of[c2].end(), std::back_inserter(odd));
      if (odd.empty()) {
        found.insert({std::min(c1, c2), std::max(c1, c2)});
        continue;
      }
      for (int f = h.ir[odd[0]]; f < h.ir[odd[0] + 1]; ++f) {
        const int c3 = h.jc[f];
        if (c3 == c1 || c3 == c2 || rows_of[c3] != odd) continue;
        std::vector<int> word{c1, c2, c3};
        std::sort(word.begin(), word.end());
        found.insert(word);
      }
    }
  }
  return static_cast<int>(found.size());
}

// The columns of h of at most `weight` rows, as a matrix of their own.
ParityCheckMatrix light_part(const ParityCheckMatrix& h, int weight) {
  std::vector<int> count(static_cast<std::size_t>(h.n), 0);
  for (int c : h.jc) ++count[c];
  ParityCheckMatrix light;
  light.n = h.n;
  light.m = h.m;
  light.ir.push_back(0);
  for (int r = 0; r < h.m; ++r) {
    for (int e = h.ir[r]; e < h.ir[r + 1]; ++e)
      if (count[h.jc[e]] <= weight) light.jc.push_back(h.jc[e]);
    light.ir.push_back(static_cast<int>(light.jc.size()));
  }
  return light;
}

// n = 1000, m = 600: 150 columns of weight 2, 650 of 3, 200 of 10 (4250 ones); rows of 7 and 8.
ParityCheckMatrix irregular_mother() {
  std::vector<int> columns(150, 2);
  columns.resize(800, 3);
  columns.resize(1000, 10);
  std::vector<int> rows(550, 7);
  rows.resize(600, 8);
  ParityCheckMatrix h;
  std::string error;
  EXPECT_TRUE(build_peg_irregular(columns, rows, 5, PegOptions{}, h, error)) << error;
  return h;
}

}  // namespace

TEST(RateAdaptCode, MergedCodesAreTheGf2SumsOfTheirRows) {
  // A hand-made chain with a cancelling column, then a built chain on a random code.
  const ParityCheckMatrix h = small();
  RateAdaptChain chain{h.n, h.m, rate_adapt_fingerprint(h), {1, 1, 3}, {0, 2, 1}};
  const ParityCheckMatrix one = rate_adapt_code(h, chain, 1);
  EXPECT_EQ(one.ir, (std::vector<int>{0, 3, 5, 7}));
  EXPECT_EQ(one.jc, (std::vector<int>{0, 1, 3, 4, 5, 0, 5}));  // column 2 cancelled
  const ParityCheckMatrix last = rate_adapt_code(h, chain, 3);
  EXPECT_EQ(last.m, 1);
  EXPECT_EQ(last.jc, (std::vector<int>{1, 3, 4}));  // 0, 2 and 5 twice each

  const ParityCheckMatrix r = random_matrix(60, 30, 7);
  const RateAdaptChain long_chain = built(r, 29);
  for (const auto& [mother, c] : {std::pair{h, chain}, std::pair{r, long_chain}})
    for (int k = 0; k <= c.steps(); ++k) {
      const ParityCheckMatrix code = rate_adapt_code(mother, c, k);
      ASSERT_EQ(code.m, mother.m - k);
      for (int i = 0; i < code.m; ++i)
        EXPECT_TRUE(std::is_sorted(code.jc.begin() + code.ir[i], code.jc.begin() + code.ir[i + 1]));
      EXPECT_EQ(dense_of(code), merged_by_definition(mother, c, k)) << "after " << k << " merges";
    }
}

TEST(RateAdaptCode, SyndromeReleasedStepByStepIsTheMergedCodesSyndrome) {
  const ParityCheckMatrix h = random_matrix(200, 120, 3);
  const RateAdaptChain chain = built(h, 100);
  std::uint64_t state = 11;
  for (int block = 0; block < 4; ++block) {
    std::vector<std::int8_t> x(static_cast<std::size_t>(h.n));
    for (auto& bit : x) bit = static_cast<std::int8_t>(next_random(state) & 1);
    const std::vector<std::int8_t> s = syndrome_of(h, x);
    // The most merged code's syndrome, from the mother's.
    const int steps = chain.steps();
    std::vector<std::int8_t> s_k(static_cast<std::size_t>(h.m - steps));
    rate_adapt_syndrome(rate_adapt_row_of(chain, steps), s.data(), h.m, s_k.data(), h.m - steps);
    EXPECT_EQ(s_k, syndrome_of(rate_adapt_code(h, chain, steps), x));
    // Back to the mother one released bit at a time, without the mother's syndrome.
    for (int k = steps; k >= 1; --k) {
      std::int8_t bit = 0;
      for (int r : rate_adapt_released_group(chain, k)) bit ^= s[r];
      std::vector<std::int8_t> s_prev(s_k.size() + 1);
      rate_adapt_unmerge(chain, k, s_k.data(), bit, s_prev.data());
      ASSERT_EQ(s_prev, syndrome_of(rate_adapt_code(h, chain, k - 1), x)) << "step " << k;
      s_k.swap(s_prev);
    }
    EXPECT_EQ(s_k, s);
  }
}

TEST(RateAdaptCode, RanksFollowEveryMergeOfADependentMatrix) {
  // Rows 30 and 31 are sums of earlier rows, so the mother lacks full rank by 2; merges that
  // join dependent groups keep the rank.
  ParityCheckMatrix h = random_matrix(80, 30, 5);
  Dense d = dense_of(h);
  std::vector<int> extra1(80), extra2(80);
  for (int c = 0; c < 80; ++c) extra1[c] = d[0][c] ^ d[1][c], extra2[c] = d[2][c] ^ d[3][c] ^ d[4][c];
  for (const auto& row : {extra1, extra2}) {
    for (int c = 0; c < 80; ++c)
      if (row[c]) h.jc.push_back(c);
    h.ir.push_back(static_cast<int>(h.jc.size()));
    ++h.m;
  }
  // Hand-made merges: the two dependent rows first (the rank stays), then independent ones.
  RateAdaptChain chain{h.n, h.m, rate_adapt_fingerprint(h), {30, 0, 2, 5, 7}, {31, 1, 3, 6, 8}};
  std::vector<long long> ranks;
  ASSERT_TRUE(rate_adapt_ranks(h, chain, ranks, DENSE_RANK_MAX_BITS));
  ASSERT_EQ(ranks.size(), 6u);
  for (int k = 0; k <= chain.steps(); ++k) {
    const ParityCheckMatrix code = rate_adapt_code(h, chain, k);
    EXPECT_EQ(ranks[k], gf2_rank(code.n, code.m, code.ir.data(), code.jc.data())) << k;
  }
  EXPECT_EQ(ranks[0], 30);
  EXPECT_EQ(ranks[1], 30);  // the first merge removed a dependence, not a rank
  EXPECT_EQ(ranks[2], 29);
  const RateAdaptChain long_chain = built(h, 25, 4);
  ASSERT_TRUE(rate_adapt_ranks(h, long_chain, ranks, DENSE_RANK_MAX_BITS));
  for (int k = 0; k <= long_chain.steps(); ++k) {
    const ParityCheckMatrix code = rate_adapt_code(h, long_chain, k);
    EXPECT_EQ(ranks[k], gf2_rank(code.n, code.m, code.ir.data(), code.jc.data())) << k;
  }
  EXPECT_FALSE(rate_adapt_ranks(h, long_chain, ranks, 100));
}

TEST(RateAdaptFile, BytesRoundTripAndFingerprint) {
  const ParityCheckMatrix h = small();
  const RateAdaptChain chain{h.n, h.m, 0x0123456789abcdefull, {1, 1}, {0, 3}};
  const std::string text = written(chain);
  EXPECT_EQ(text, "ldpcsw-rate-adapt 1\nmatrix 6 4 0123456789abcdef\nsteps 2\n2 1\n2 4\n");
  RateAdaptChain back;
  std::string error;
  ASSERT_TRUE(read_text(text, back, error)) << error;
  EXPECT_EQ(back.kept, chain.kept);
  EXPECT_EQ(back.merged, chain.merged);
  EXPECT_EQ(back.fingerprint, chain.fingerprint);
  EXPECT_EQ(written(back), text);
  // The order of the ones inside a row does not matter; anything else does.
  ParityCheckMatrix shuffled = h;
  std::swap(shuffled.jc[0], shuffled.jc[2]);
  EXPECT_EQ(rate_adapt_fingerprint(shuffled), rate_adapt_fingerprint(h));
  ParityCheckMatrix moved = h;
  moved.jc[0] = 3;
  EXPECT_NE(rate_adapt_fingerprint(moved), rate_adapt_fingerprint(h));
  // The shipped matrix read from either layout.
  LoadedCode rows, alist;
  ASSERT_EQ(load_code(LDPCSW_DATA_DIR "/Reg504252.dat", CodeLayout::rows, rows, error), LoadStatus::ok);
  ASSERT_EQ(load_code(LDPCSW_DATA_DIR "/Reg504252.alist", CodeLayout::alist, alist, error), LoadStatus::ok);
  EXPECT_EQ(rate_adapt_fingerprint(rows.rows), rate_adapt_fingerprint(code_rows_of(alist.columns)));
}

TEST(RateAdaptFile, RefusesEveryMalformedOrInconsistentFile) {
  const std::string head = "ldpcsw-rate-adapt 1\nmatrix 30 4 0123456789abcdef\n";
  const struct {
    std::string text, message;
  } cases[] = {
      {"", "line 1: the file is empty"},
      {"ldpcsw-rate-adapt\n", "line 1: 'ldpcsw-rate-adapt' is not the start of a rate adaptation file ('ldpcsw-rate-adapt 1')"},
      {"ldpcsw-rate-adapt 2\n", "line 1: version '2' is not one this build reads (1)"},
      {"ldpcsw-rate-adapt 1\n", "line 2: the file ends early where 'matrix N M FINGERPRINT' should be"},
      {"ldpcsw-rate-adapt 1\nmatrix 30 4\n", "line 2: 'matrix 30 4' is not 'matrix N M FINGERPRINT'"},
      {"ldpcsw-rate-adapt 1\nmatrix 30 0 0123456789abcdef\n", "line 2: m is 0, not positive"},
      {"ldpcsw-rate-adapt 1\nmatrix 30 40 0123456789abcdef\n", "line 2: m = 40 exceeds n = 30"},
      {"ldpcsw-rate-adapt 1\nmatrix 30 4 0123456789abcdeg\n", "line 2: fingerprint '0123456789abcdeg' is not 16 hexadecimal digits"},
      {head + "steps\n", "line 3: 'steps' is not 'steps K'"},
      {head + "steps 4\n", "line 3: steps 4 is outside 0..3 (a merge removes one of the 4 rows and one must remain)"},
      {head + "steps 2\n1 2\n", "line 5: the file ends after 1 of its 2 merges"},
      {head + "steps 1\n1 2 3\n", "line 4: '1 2 3' is not a merge 'A B' of two rows"},
      {head + "steps 1\n1 x\n", "line 4: '1 x' is not a merge 'A B' of two rows"},
      {head + "steps 1\n1 5\n", "line 4: row 5 is outside 1..4"},
      {head + "steps 1\n0 2\n", "line 4: row 0 is outside 1..4"},
      {head + "steps 1\n3 3\n", "line 4: row 3 is merged with itself"},
      {head + "steps 2\n1 2\n3 2\n", "line 5: row 2 is merged away a second time (it was merged into row 1 at line 4)"},
      {head + "steps 2\n1 2\n2 3\n", "line 5: row 2 was merged into row 1 at line 4 and no longer stands for a row"},
      {head + "steps 1\n1 2\n\n", "line 5: the file goes on after its 1 merge, where it should end"},
      {head + "steps 1\n1 2\n3 4\n", "line 5: the file goes on after its 1 merge, where it should end"},
      {head + "steps 1\n" + std::string(5000, '1') + "\n", "line 4: longer than 4096 characters; not a rate adaptation file"},
  };
  for (const auto& c : cases) {
    RateAdaptChain chain;
    std::string error;
    EXPECT_FALSE(read_text(c.text, chain, error)) << c.text;
    EXPECT_EQ(error, c.message);
    EXPECT_EQ(chain.steps(), 0);
  }
  // White space between items and a last line without '\n' are taken.
  RateAdaptChain chain;
  std::string error;
  EXPECT_TRUE(read_text(head + "steps  1\n1\t2", chain, error)) << error;

  // A chain for another matrix.
  const ParityCheckMatrix h = random_matrix(60, 30, 1);
  const RateAdaptChain made = built(h, 5);
  EXPECT_TRUE(rate_adapt_check_matrix(made, h, error)) << error;
  EXPECT_FALSE(rate_adapt_check_matrix(made, random_matrix(60, 30, 2), error));
  EXPECT_EQ(error.rfind("the chain was made for another matrix of the same size (fingerprint ", 0), 0u) << error;
  EXPECT_FALSE(rate_adapt_check_matrix(made, random_matrix(60, 31, 1), error));
  EXPECT_EQ(error, "the chain was made for a matrix of n 60, m 30, not this one of n 60, m 31");
}

TEST(RateAdaptFile, LoaderTellsChainsAndMatricesApart) {
  TempDir dir;
  const ParityCheckMatrix h = random_matrix(60, 30, 1);
  write_file(dir.file("c.txt"), written(built(h, 3)));
  write_file(dir.file("h.dat"), to_row_list(h));
  write_file(dir.file("empty.txt"), "");
  RateAdaptChain chain;
  LoadedCode code;
  std::string error;
  EXPECT_EQ(load_rate_adapt(dir.file("c.txt"), chain, error), LoadStatus::ok) << error;
  EXPECT_EQ(chain.steps(), 3);
  EXPECT_EQ(load_rate_adapt(dir.file("h.dat"), chain, error), LoadStatus::refused);
  EXPECT_EQ(error, "this looks like a matrix file, not a rate adaptation file");
  EXPECT_EQ(load_rate_adapt(dir.file("empty.txt"), chain, error), LoadStatus::refused);
  EXPECT_EQ(error, "the file is empty");
  EXPECT_EQ(load_rate_adapt(dir.path, chain, error), LoadStatus::refused);
  EXPECT_EQ(error, "is a folder, not a rate adaptation file");
  EXPECT_EQ(load_rate_adapt(dir.file("none"), chain, error), LoadStatus::cannot_open);
  for (CodeLayout layout : {CodeLayout::detect, CodeLayout::rows, CodeLayout::alist}) {
    EXPECT_EQ(load_code(dir.file("c.txt"), layout, code, error), LoadStatus::refused);
    EXPECT_EQ(error, "this is a rate adaptation file, not a matrix");
  }
  EXPECT_EQ(load_code(dir.file("h.dat"), CodeLayout::detect, code, error), LoadStatus::ok) << error;
}

TEST(RateAdaptBuild, DeterministicBalancedAndFreeOfShortCycles) {
  ParityCheckMatrix h;
  std::string error;
  ASSERT_TRUE(build_peg_code(1000, 500, 3, 1, h, error)) << error;
  const RateAdaptChain a = built(h, 375, 9), b = built(h, 375, 9), c = built(h, 375, 10);
  EXPECT_EQ(written(a), written(b));
  EXPECT_NE(written(a), written(c));
  EXPECT_EQ(a.fingerprint, rate_adapt_fingerprint(h));
  // Rows of weight 6 are paired first: after m/2 merges nearly every row weighs 12, and no
  // merge joined rows sharing a column (no one cancelled).
  const ParityCheckMatrix half = rate_adapt_code(h, a, 250);
  const CodeWeights w = code_weights(half);
  EXPECT_EQ(half.edges(), h.edges());
  EXPECT_GE(w.min_row, 6);
  EXPECT_LE(w.max_row, 18);
  int heavy = 0;
  for (int r = 0; r < half.m; ++r) heavy += half.ir[r + 1] - half.ir[r] != 12;
  EXPECT_LE(heavy, half.m / 10);
  // The first quarter of the merges closes no 4-cycle on this girth-8 code.
  EXPECT_GE(code_girth(rate_adapt_code(h, a, 125), 0), 6);
  // Steps outside 1..m-1 are refused.
  RateAdaptOptions options;
  RateAdaptChain chain;
  options.steps = 500;
  EXPECT_FALSE(rate_adapt_build(h, options, chain, error));
  EXPECT_EQ(error, "steps 500 is outside 1..499 (a merge removes one of the 500 rows and one must remain)");
  EXPECT_EQ(rate_adapt_steps_for_rate(1000, 500, 0.2), 300);
  EXPECT_EQ(rate_adapt_steps_for_rate(1000, 500, 0.5), 0);
  EXPECT_EQ(rate_adapt_steps_for_rate(1000, 500, 0.2005), 299);
}

// Rows joined by a path of degree-2 columns are not merged while another partner exists: a
// cycle of such columns is a low-weight codeword, and on long irregular codes the decoder
// settled on them, passing the syndrome check with a wrong block.
TEST(RateAdaptBuild, ClosesNoCycleOfDegreeTwoColumnsWhileRowsRemain) {
  const ParityCheckMatrix h = irregular_mother();
  const int mother_cycles = degree_two_cycles(h);
  // A shallow search, as on long codes, where only this rule keeps those cycles out.
  RateAdaptOptions options;
  options.steps = 480;
  options.depth = 2;
  RateAdaptChain chain;
  std::string error;
  ASSERT_TRUE(rate_adapt_build(h, options, chain, error)) << error;
  // Down to 151 rows the 150 degree-2 columns can stay a forest, and they do.
  for (int k : {100, 300, 400, 449})
    EXPECT_EQ(degree_two_cycles(rate_adapt_code(h, chain, k)), mother_cycles) << "k " << k;
  // With 120 rows at least 31 cycles are unavoidable; the chain still goes on to the end.
  EXPECT_GE(degree_two_cycles(rate_adapt_code(h, chain, 480)), 31);
}

// Low in a chain of a mother with heavy columns every partner closes 4-cycles; the builder
// takes the one that closes the fewest, and the codes keep clear of codewords of weight 3 or
// less (columns sharing two rows and a third closing the loop), which the decoders had
// settled on with a wrong block that satisfied the syndrome.
TEST(RateAdaptBuild, KeepsCodewordsOfThreeColumnsOutWhereEveryMergeClosesFourCycles) {
  const ParityCheckMatrix h = irregular_mother();
  ASSERT_EQ(light_codewords(h), 0);
  const RateAdaptChain chain = built(h, 450, 1);
  for (int k : {300, 350, 400, 425, 450})
    EXPECT_EQ(light_codewords(rate_adapt_code(h, chain, k)), 0) << "k " << k;
}

// The search may follow only light columns: the same chain when every column is light, and
// otherwise still no shared column (a heavy one included) and no short cycle among the light.
TEST(RateAdaptBuild, FollowsLightColumnsOnlyWhenAsked) {
  const ParityCheckMatrix h = irregular_mother();
  std::string error;
  const auto chain_of = [&](int follow, int depth) {
    RateAdaptOptions options;
    options.steps = 250;
    options.depth = depth;
    options.follow = follow;
    RateAdaptChain chain;
    EXPECT_TRUE(rate_adapt_build(h, options, chain, error)) << error;
    return chain;
  };
  EXPECT_EQ(written(chain_of(10, 4)), written(chain_of(0, 4)));
  // No column cancelled on the way: every merge found a partner sharing none.
  const RateAdaptChain light = chain_of(3, 3);
  EXPECT_NE(written(light), written(chain_of(0, 3)));
  EXPECT_EQ(rate_adapt_code(h, light, 250).edges(), h.edges());
  // The first 40 merges keep the light columns' girth of 8; a search through the heavy
  // columns finds no far partner on this small graph and lets 6-cycles in at once.
  const int light_girth = code_girth(light_part(rate_adapt_code(h, light, 40), 3), 0);
  EXPECT_GE(light_girth, std::min(8, code_girth(light_part(h, 3), 0)));
  EXPECT_LT(code_girth(light_part(rate_adapt_code(h, chain_of(0, 3), 40), 3), 0), light_girth);
  RateAdaptOptions options;
  options.steps = 10;
  options.follow = -1;
  RateAdaptChain chain;
  EXPECT_FALSE(rate_adapt_build(h, options, chain, error));
  EXPECT_EQ(error, "follow -1 is below 0");
}

// The default search: everything up to n = 20,000; beyond, light columns of a mother with
// heavy ones and a depth its neighbourhoods' growth allows.
TEST(RateAdaptBuild, DefaultSearchFollowsTheMothersDegrees) {
  // A long matrix with given column weights (rows spread by a stride; only degrees matter).
  const auto with_weights = [](int n, int m, const std::vector<int>& weights) {
    std::vector<std::vector<int>> rows(static_cast<std::size_t>(m));
    for (int c = 0; c < n; ++c)
      for (int j = 0; j < weights[c % weights.size()]; ++j)
        rows[(7LL * c + 1013LL * j) % m].push_back(c);
    ParityCheckMatrix h;
    h.n = n;
    h.m = m;
    h.ir.push_back(0);
    for (const auto& row : rows) {
      h.jc.insert(h.jc.end(), row.begin(), row.end());
      h.ir.push_back(static_cast<int>(h.jc.size()));
    }
    return h;
  };
  const ParityCheckMatrix short_heavy = with_weights(20000, 10000, {2, 3, 3, 20});
  EXPECT_EQ(rate_adapt_default_follow(short_heavy), 0);
  EXPECT_EQ(rate_adapt_default_depth(short_heavy, 0), 4);
  // (3,6): growth 2 x 5 a level, a depth-3 ball of about 1000 rows.
  const ParityCheckMatrix regular = with_weights(30000, 15000, {3});
  EXPECT_EQ(rate_adapt_default_follow(regular), 0);
  EXPECT_EQ(rate_adapt_default_depth(regular, 0), 3);
  // (4,8): growth 21, about 9000 rows at depth 3.
  EXPECT_EQ(rate_adapt_default_depth(with_weights(30000, 15000, {4}), 0), 2);
  const ParityCheckMatrix heavy = with_weights(30000, 15000, {2, 3, 3, 20});
  EXPECT_EQ(rate_adapt_default_follow(heavy), 3);
  EXPECT_EQ(rate_adapt_default_depth(heavy, 3), 3);
  EXPECT_EQ(rate_adapt_default_depth(heavy, 0), 2);
  EXPECT_EQ(rate_adapt_default_follow(with_weights(30000, 15000, {4, 4, 12})), 4);
}

TEST(RateAdaptTool, BuildsDescribesAndRefuses) {
  TempDir dir;
  const std::string matrix = LDPCSW_DATA_DIR "/Reg504252.dat";
  const ProcessResult made = run_process(bin("ldpcsw-code"),
      {"rate-adapt", matrix, "--out", "c.txt", "--min-rate", "0.25", "--seed", "3"}, dir.path);
  ASSERT_EQ(made.exit_code, 0) << made.err;
  EXPECT_EQ(made.out, "126 merges, seed 3, depth 4: rows from 252 down to 126 (rows / n from "
                      "0.500000 down to 0.250000)\nwrote c.txt\n");
  const std::string first = read_file(dir.file("c.txt"));
  ASSERT_EQ(run_process(bin("ldpcsw-code"),
                        {"rate-adapt", matrix, "--out", "d.txt", "--steps", "126", "--seed", "3"},
                        dir.path).exit_code, 0);
  EXPECT_EQ(read_file(dir.file("d.txt")), first);

  const ProcessResult info = run_process(bin("ldpcsw-code"),
      {"info", "c.txt", "--matrix", LDPCSW_DATA_DIR "/Reg504252.alist", "--codes", "3"}, dir.path);
  ASSERT_EQ(info.exit_code, 0) << info.err;
  EXPECT_NE(info.out.find("rates (rank / n) from 0.500000 down to 0.250000\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("     63     189     189  0.375000"), std::string::npos) << info.out;

  write_file(dir.file("other.dat"), to_row_list(random_matrix(504, 252, 1)));
  const ProcessResult other = run_process(bin("ldpcsw-code"),
      {"info", "c.txt", "--matrix", "other.dat"}, dir.path);
  EXPECT_EQ(other.exit_code, 1);
  EXPECT_EQ(other.err.rfind("ldpcsw-code: c.txt: the chain was made for another matrix", 0), 0u) << other.err;
  write_file(dir.file("c.dat"), first);
  const ProcessResult as_matrix = run_process(bin("ldpcsw-code"), {"convert", "c.dat", "x.alist"}, dir.path);
  EXPECT_EQ(as_matrix.exit_code, 1);
  EXPECT_EQ(as_matrix.err, "ldpcsw-code: c.dat: this is a rate adaptation file, not a matrix\n");
  const ProcessResult both = run_process(bin("ldpcsw-code"),
      {"rate-adapt", matrix, "--out", "e.txt", "--steps", "3", "--min-rate", "0.3"}, dir.path);
  EXPECT_EQ(both.exit_code, 2);
  EXPECT_EQ(both.err.substr(0, both.err.find('\n')), "ldpcsw-code: --steps and --min-rate exclude each other");
  const ProcessResult follow = run_process(bin("ldpcsw-code"),
      {"rate-adapt", matrix, "--out", "e.txt", "--follow", "-1"}, dir.path);
  EXPECT_EQ(follow.exit_code, 2);
  EXPECT_EQ(follow.err.substr(0, follow.err.find('\n')), "ldpcsw-code: bad value '-1' for --follow");
  const ProcessResult light = run_process(bin("ldpcsw-code"),
      {"rate-adapt", matrix, "--out", "f.txt", "--min-rate", "0.25", "--seed", "3", "--follow", "2"},
      dir.path);
  ASSERT_EQ(light.exit_code, 0) << light.err;
  EXPECT_EQ(light.out.substr(0, light.out.find(':')), "126 merges, seed 3, depth 4 through columns of up to 2 rows");
}

// data/RA10000x6500.chain is what its documented command makes from data/RA10000x6500.dat.
TEST(RateAdaptBuild, ShippedChainIsTheBuildersOutput) {
  std::string error;
  LoadedCode loaded;
  ASSERT_EQ(load_code(LDPCSW_DATA_DIR "/RA10000x6500.dat", CodeLayout::rows, loaded, error),
            LoadStatus::ok)
      << error;
  RateAdaptOptions options;
  options.steps = rate_adapt_steps_for_rate(loaded.rows.n, loaded.rows.m, 0.12);
  options.depth = rate_adapt_default_depth(loaded.rows, 0);
  RateAdaptChain chain;
  ASSERT_TRUE(rate_adapt_build(loaded.rows, options, chain, error)) << error;
  EXPECT_EQ(written(chain), test::read_file(LDPCSW_DATA_DIR "/RA10000x6500.chain"));
}
