// Degree distributions of irregular codes: reading them, moving between the node and edge
// perspectives, and turning them into whole numbers of columns and rows of each degree.
//
// Two ways of writing a distribution are read, both as a list `degree:value,degree:value`:
// - node perspective: the fraction of the columns (or rows) that have each degree;
// - edge perspective: λ(x) = Σ λ_d x^(d-1) for the columns, ρ(x) = Σ ρ_d x^(d-1) for the rows,
//   λ_d being the fraction of the edges that end in a column of degree d.
// A distribution is kept in the node perspective, degrees ascending, fractions summing to 1.
//
// Error policy: a bad distribution or one that cannot be realised with the given n and m is
// the user's error: false and one line in `error` naming the item and the value. Nothing else
// fails.
#pragma once

#include <string>
#include <vector>

namespace ldpcsw {

struct DegreeDistribution {
  std::vector<int> degrees;       // ascending, distinct, each >= 1
  std::vector<double> fractions;  // node perspective, each > 0, summing to 1
};

// Which perspective the values of a written distribution are in.
enum class DegreePerspective { node, edge };

// Reads `degree:value,...`. Degrees must be whole numbers >= 1, listed once each; values must
// be in (0, 1] and sum to 1 within 1e-6 (they are then divided by their sum). Edge values are
// turned into node fractions (a degree's node share is proportional to λ_d / d).
bool code_parse_degrees(const std::string& text, DegreePerspective perspective,
                        DegreeDistribution& d, std::string& error);

// Mean degree Σ f_d d of a node-perspective distribution.
double code_mean_degree(const DegreeDistribution& d);

// The edge perspective of `d`: λ_d = f_d d / mean degree, for each of d.degrees.
std::vector<double> code_edge_fractions(const DegreeDistribution& d);

// A regular distribution: every node of degree `degree`.
DegreeDistribution code_regular_degrees(int degree);

// Whole node counts of each degree of `d` among `nodes` nodes, by largest remainder: each
// degree first gets floor(nodes * f_d); the nodes left over go one each to the degrees with
// the largest fractional parts, the lower degree first on equal parts. The counts sum to
// `nodes`; a degree may end with none.
std::vector<int> code_node_counts(const DegreeDistribution& d, int nodes);

// The degree of every column and every row of a code with n columns and m rows.
// Columns: code_node_counts over n, columns in ascending degree (low degrees first, as
// progressive edge growth wants them). Rows: when `rows` is empty, every row gets the cap
// ceil(E / m), E the number of ones, and the construction fills them as evenly as it can
// (floor or ceil of E / m each). When `rows` is given: code_node_counts over m, rows in
// ascending degree; when the rows' total S differs from E, the |E - S| lowest-degree rows get
// one more (E > S) or the highest-degree rows one fewer (E < S), so that the totals match.
// Fails when n or m is not positive, a column degree exceeds m, a row degree exceeds n, E is
// beyond the int range, |E - S| exceeds m, or a row would be left with no one.
bool code_realise_degrees(int n, int m, const DegreeDistribution& columns,
                          const DegreeDistribution* rows, std::vector<int>& column_degrees,
                          std::vector<int>& row_degrees, std::string& error);

// How the degrees given to `node_degrees` (one per node) depart from the distribution `asked`
// over as many nodes, beyond the rounding to whole nodes: a degree asked for that got no node,
// a degree that got a node without being asked for, or a count one or more away from
// f_d * nodes. Empty when there is no such departure; otherwise the departures in ascending
// degree, e.g. "degree 6: 500 rows instead of 250, degree 7: 0 rows instead of 250" (`noun`
// names the nodes: "rows", "columns").
std::string code_degree_departures(const DegreeDistribution& asked,
                                   const std::vector<int>& node_degrees, const char* noun);

// `count x degree` groups of a list of node degrees, e.g. "2 x 5000, 3 x 3000, 8 x 2000".
std::string code_describe_degrees(const std::vector<int>& node_degrees);

// Rows for an ensemble of rate `rate` (0 < rate < 1) with column distribution `columns`:
// concentrated on the two degrees around the mean row degree mean(columns) / (1 - rate).
DegreeDistribution code_rows_for_rate(const DegreeDistribution& columns, double rate);

}  // namespace ldpcsw
