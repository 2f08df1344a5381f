// How far a code is from the limits: the rate, Slepian-Wolf limit and threshold the sweep
// records in FILE.run and states in its table, and the plot of several CSVs with those marks.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support.h"

using ldpcsw::test::bin;
using ldpcsw::test::read_file;
using ldpcsw::test::run_process;
using ldpcsw::test::TempDir;
using ldpcsw::test::write_file;

namespace {

const std::string MATRIX = std::string(LDPCSW_DATA_DIR) + "/Reg504252.dat";
const std::string SCRIPTS = std::string(LDPCSW_DATA_DIR) + "/../scripts";

std::map<std::string, std::string> settings_of(const std::string& text) {
  std::map<std::string, std::string> kv;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return kv;
}

// The CSV without its seconds and blocks/s, which differ between runs.
std::string counts_of(const std::string& csv_text) {
  std::istringstream in(csv_text);
  std::string line, out;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream s(line);
    std::string field;
    while (std::getline(s, field, ',')) f.push_back(field);
    if (f.size() < 12) return "short row: " + line;
    out += f[0] + "," + f[2] + "," + f[3] + "," + f[4] + "," + f[11] + "\n";
  }
  return out;
}

bool have_matplotlib() {
  return run_process("/usr/bin/python3", {"-c", "import matplotlib"}, "/").exit_code == 0;
}

}  // namespace

// FILE.run carries rate, limit and a given threshold beside the compared settings; the table
// states H(p) - rate per point; adding a threshold on --resume neither breaks the resume nor
// changes a count, and a CSV whose FILE.run has only the earlier keys still resumes.
TEST(SweepLimits, RunFileAndTableCarryTheLimitsAndResumeIgnoresThem) {
  TempDir dir;
  const std::string csv = dir.file("s.csv");
  const std::vector<std::string> base = {"--matrix", MATRIX, "--blocks", "300",
                                         "--max-frame-errors", "20", "--threads", "1", "-q",
                                         "--csv", csv};
  auto args = base;
  for (const char* a : {"--p", "0.05", "--threshold", "0.084"}) args.push_back(a);
  auto r = run_process(bin("ldpcsw-sweep"), args, dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("rate rank(H)/n = 0.50000, Slepian-Wolf limit p = 0.11003, threshold "
                       "p* = 0.08400 (given)"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("H(p)-R"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n0.05     0.2864  -0.2136 "), std::string::npos) << r.out;
  auto kv = settings_of(read_file(csv + ".run"));
  EXPECT_EQ(kv["rank"], "252");
  EXPECT_EQ(kv["rate"], "0.5");
  EXPECT_EQ(kv["sw_limit"].substr(0, 7), "0.11002");
  EXPECT_EQ(kv["threshold"], "0.084");
  EXPECT_EQ(kv["threshold_source"], "given");

  // Resume with another threshold and one more point: accepted, threshold replaced.
  args = base;
  for (const char* a : {"--p", "0.05,0.12", "--resume", "--threshold", "0.09"}) args.push_back(a);
  r = run_process(bin("ldpcsw-sweep"), args, dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("\n0.12     0.5294  +0.0294 "), std::string::npos) << r.out;
  kv = settings_of(read_file(csv + ".run"));
  EXPECT_EQ(kv["threshold"], "0.09");
  EXPECT_EQ(kv["decoder"], "adaptive");
  EXPECT_FALSE(std::filesystem::exists(csv + ".run.new"));

  // The same two points in one fresh run give the same counts.
  const std::string fresh = dir.file("f.csv");
  args = {"--matrix", MATRIX, "--blocks", "300", "--max-frame-errors", "20", "--threads", "2",
          "-q", "--csv", fresh, "--p", "0.05,0.12"};
  ASSERT_EQ(run_process(bin("ldpcsw-sweep"), args, dir.path).exit_code, 0);
  EXPECT_EQ(counts_of(read_file(csv)), counts_of(read_file(fresh)));

  // A settings file of the earlier kind (no rate, limit or threshold) still resumes.
  std::string old = read_file(fresh + ".run");
  for (const char* key : {"rate=", "sw_limit="}) {
    const auto at = old.find(key);
    ASSERT_NE(at, std::string::npos);
    old.erase(at, old.find('\n', at) - at + 1);
  }
  write_file(fresh + ".run", old);
  args.back() = "0.05,0.12,0.2";
  args.push_back("--resume");
  r = run_process(bin("ldpcsw-sweep"), args, dir.path);
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// --threshold refusals, and auto: density evolution of the matrix's own degrees, which for the
// (3,6)-regular matrix is the (3,6) ensemble's threshold; a matrix with an empty column cannot
// have one and says so.
TEST(SweepLimits, ThresholdOptionGivenOrFromTheDegrees) {
  TempDir dir;
  for (const char* bad : {"abc", "0", "0.5", "-0.1", "nan", "0.1x"}) {
    const auto r = run_process(bin("ldpcsw-sweep"),
                               {"--matrix", MATRIX, "--p", "0.05", "--threshold", bad}, dir.path);
    EXPECT_EQ(r.exit_code, 2) << bad;
    EXPECT_EQ(r.err.rfind(std::string("ldpcsw-sweep: --threshold: '") + bad +
                              "' is neither auto nor a number in (0, 0.5)", 0),
              0u)
        << r.err;
  }

  const std::string csv = dir.file("a.csv");
  auto r = run_process(bin("ldpcsw-sweep"),
                       {"--matrix", MATRIX, "--p", "0.05", "--blocks", "50", "--threads", "1",
                        "-q", "--threshold", "auto", "--csv", csv},
                       dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto kv = settings_of(read_file(csv + ".run"));
  EXPECT_EQ(kv.at("threshold_source"), "degrees");
  EXPECT_NEAR(std::stod(kv.at("threshold")), 0.084, 0.002);

  // 24 columns, column 24 in no row.
  write_file(dir.file("hole.dat"),
             "24 2 12\n1 2 3 4 5 6 7 8 9 10 11 12\n12 13 14 15 16 17 18 19 20 21 22 23\n");
  r = run_process(bin("ldpcsw-sweep"),
                  {"--matrix", dir.file("hole.dat"), "--p", "0.05", "--blocks", "10",
                   "--threshold", "auto", "--csv", dir.file("h.csv")},
                  dir.path);
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("--threshold auto: the matrix has a column without ones"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("h.csv")));
}

// A matrix with columns of a single one has threshold p* = 0: --threshold auto says why and
// records none, since neither --threshold nor the plot takes 0.
TEST(SweepLimits, NoThresholdIsRecordedWhenTheEnsembleHasNone) {
  TempDir dir;
  // 22 columns, each in one of two rows.
  write_file(dir.file("single.dat"),
             "22 2 11\n1 2 3 4 5 6 7 8 9 10 11\n12 13 14 15 16 17 18 19 20 21 22\n");
  const std::string csv = dir.file("s.csv");
  const auto r = run_process(bin("ldpcsw-sweep"),
                             {"--matrix", "single.dat", "--p", "0.05", "--blocks", "10",
                              "--threads", "1", "-q", "--threshold", "auto", "--csv", csv},
                             dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "ldpcsw-sweep: --threshold auto: single.dat: 22 columns have a single one, "
                   "and belief propagation leaves their error probability above 0 at every "
                   "p > 0, so the ensemble's threshold p* is 0; no threshold recorded\n");
  const auto kv = settings_of(read_file(csv + ".run"));
  EXPECT_EQ(kv.count("threshold"), 0u);
  EXPECT_EQ(kv.count("threshold_source"), 0u);
  EXPECT_EQ(r.out.find("threshold p*"), std::string::npos) << r.out;
}

// What the plot reads from FILE.run and cannot use is named, not dropped in silence; the
// legend's entry for points without errors appears only when there is such a point.
TEST(SweepLimits, PlotNamesWhatItCannotUse) {
  if (!have_matplotlib()) GTEST_SKIP() << "python3-matplotlib is not installed";
  TempDir dir;
  for (const auto& [name, p, blocks] : {std::tuple{"hot.csv", "0.08", "60"},
                                        std::tuple{"cold.csv", "0.01", "20"}}) {
    const auto r = run_process(bin("ldpcsw-sweep"),
                               {"--matrix", MATRIX, "--p", p, "--blocks", blocks,
                                "--max-frame-errors", "5", "--threads", "1", "-q", "--csv",
                                dir.file(name)},
                               dir.path);
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  auto plot = [&](const std::vector<std::string>& extra) {
    std::vector<std::string> args = {SCRIPTS + "/plot_sweep.py"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_process("/usr/bin/python3", args, dir.path);
  };
  const std::string run = read_file(dir.file("hot.csv.run"));
  write_file(dir.file("hot.csv.run"), run + "threshold=abc\n");
  auto r = plot({"hot.csv", "-o", "a.png"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "plot_sweep.py: hot.csv.run: threshold 'abc' is not a number in (0, 0.5); "
                   "not drawn\n");
  std::string rank0 = run;
  rank0.replace(rank0.find("rank=252"), 8, "rank=0");
  write_file(dir.file("hot.csv.run"), rank0);
  r = plot({"hot.csv", "-o", "a.png"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "plot_sweep.py: hot.csv.run: the rate rank(H)/n = 0 is outside (0, 1], so "
                   "the Slepian-Wolf limit cannot be drawn; give --rate\n");
  write_file(dir.file("hot.csv.run"), run + "seed=1\n");
  r = plot({"hot.csv", "-o", "a.png"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("hot.csv.run: line 11: the key 'seed' is given twice"), std::string::npos)
      << r.err;
  write_file(dir.file("hot.csv.run"), run);

  const std::string script = R"PY(
import sys
sys.path.insert(0, sys.argv[1])
import matplotlib
matplotlib.use("Agg")
import matplotlib.figure
import plot_sweep
labels = []
matplotlib.figure.Figure.savefig = lambda self, *a, **k: labels.extend(
    t.get_text() for t in self.axes[0].get_legend().get_texts())
sys.argv = ["plot_sweep.py"] + sys.argv[2:] + ["-o", "x.png"]
plot_sweep.main()
print(sum("no errors" in label for label in labels))
)PY";
  r = run_process("/usr/bin/python3", {"-c", script, SCRIPTS, "hot.csv", "hot.csv"}, dir.path);
  EXPECT_EQ(r.out, "x.png\n0\n") << r.err;
  r = run_process("/usr/bin/python3", {"-c", script, SCRIPTS, "hot.csv", "cold.csv"}, dir.path);
  EXPECT_EQ(r.out, "x.png\n1\n") << r.err;
}

// Several CSVs in one figure: an exact and a min-sum sweep (whose FILE.run holds decoder
// settings its checks cover), one threshold line per code, one limit line per rate, and the
// refusals in one line.
TEST(SweepLimits, PlotTakesSeveralCsvsAndMarksThresholds) {
  if (!have_matplotlib()) GTEST_SKIP() << "python3-matplotlib is not installed";
  TempDir dir;
  for (const char* decoder : {"adaptive", "minsum-layered"}) {
    const auto r = run_process(bin("ldpcsw-sweep"),
                               {"--matrix", MATRIX, "--p", "0.06,0.08", "--blocks", "200",
                                "--max-frame-errors", "10", "--threads", "1", "-q", "--decoder",
                                decoder, "--threshold", "0.084", "--csv",
                                dir.file(std::string(decoder) + ".csv")},
                               dir.path);
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  auto plot = [&](const std::vector<std::string>& extra) {
    std::vector<std::string> args = {SCRIPTS + "/plot_sweep.py"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_process("/usr/bin/python3", args, dir.path);
  };
  auto r = plot({"adaptive.csv", "minsum-layered.csv", "-o", "both.png"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(read_file(dir.file("both.png")).empty());
  r = plot({"minsum-layered.csv", "-o", "one.png"});  // one min-sum CSV: checks verified
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");

  r = plot({"adaptive.csv", "minsum-layered.csv", "--threshold", "0.08"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind("plot_sweep.py: --threshold applies to one CSV", 0), 0u) << r.err;
  std::string edited = read_file(dir.file("minsum-layered.csv"));
  edited.replace(edited.find(",10,", edited.find('\n')), 4, ",9,");
  write_file(dir.file("minsum-layered.csv"), edited);
  r = plot({"adaptive.csv", "minsum-layered.csv", "-o", "both.png"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("minsum-layered.csv: line 2: the row does not match its check"),
            std::string::npos)
      << r.err;

  const std::string script = R"PY(
import sys
sys.path.insert(0, sys.argv[1])
import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
import plot_sweep

fig, ax = plt.subplots()
plot_sweep.mark_limits(ax, [0.07, 0.08], [(0.5, "rank(H)/n"), (0.5, "rank(H)/n")],
                       [(0.084, "tab:blue", "n = 504"), (0.1054, "tab:red", "n = 10000")])
xs = sorted(l.get_xdata()[0] for l in ax.get_lines())
limit = plot_sweep.slepian_wolf_limit(0.5)
assert xs == [0.084, 0.1054, limit], xs
lo, hi = ax.get_xlim()
assert lo < 0.07 and limit < hi, (lo, hi)
assert sum("Slepian" in t.get_text() for t in ax.texts) == 1
assert sum("p* = 0.1054" in t.get_text() for t in ax.texts) == 1
names = [{"n": "504", "decoder": "adaptive"}, {"n": "504", "decoder": "adaptive"},
         {"n": "10000", "decoder": "minsum-layered", "minsum_q": "4",
          "minsum_correction": "normalise 7/8"}]
plain = [plot_sweep.curve_name("x", s, []) for s in names]
got = [plot_sweep.curve_name(f"d/{i}.csv", s, plain) for i, s in enumerate(names)]
assert got == ["n = 504, adaptive [0.csv]", "n = 504, adaptive [1.csv]",
               "n = 10000, minsum-layered (Q 4, normalise 7/8)"], got
print("ok")
)PY";
  r = run_process("/usr/bin/python3", {"-c", script, SCRIPTS}, "/");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "ok\n") << r.err;
}
