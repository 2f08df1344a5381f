#include "code/degrees.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <numeric>

namespace ldpcsw {

namespace {

std::string trimmed(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return std::string(s);
}

std::string format_double(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

}  // namespace

bool code_parse_degrees(const std::string& text, DegreePerspective perspective,
                        DegreeDistribution& d, std::string& error) {
  std::map<int, double> values;
  if (trimmed(text).empty()) {
    error = "the degree distribution is empty";
    return false;
  }
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::string item = trimmed(std::string_view(text).substr(
        start, comma == std::string::npos ? std::string::npos : comma - start));
    const std::size_t colon = item.find(':');
    if (colon == std::string::npos) {
      error = "'" + item + "' is not degree:value";
      return false;
    }
    const std::string degree_text = trimmed(std::string_view(item).substr(0, colon));
    const std::string value_text = trimmed(std::string_view(item).substr(colon + 1));
    long long degree = 0;
    double value = 0;
    {
      const char* end = degree_text.data() + degree_text.size();
      auto [ptr, ec] = std::from_chars(degree_text.data(), end, degree);
      if (ec != std::errc() || ptr != end || degree_text.empty()) {
        error = "degree '" + degree_text + "' is not a whole number";
        return false;
      }
    }
    if (degree < 1 || degree > INT_MAX) {
      error = "degree " + degree_text + " is outside 1.." + std::to_string(INT_MAX);
      return false;
    }
    {
      const char* end = value_text.data() + value_text.size();
      auto [ptr, ec] = std::from_chars(value_text.data(), end, value);
      if (ec != std::errc() || ptr != end || value_text.empty() || !std::isfinite(value)) {
        error = "value '" + value_text + "' of degree " + degree_text + " is not a number";
        return false;
      }
    }
    if (!(value > 0 && value <= 1)) {
      error = "value " + value_text + " of degree " + degree_text + " is outside (0, 1]";
      return false;
    }
    if (!values.emplace(static_cast<int>(degree), value).second) {
      error = "degree " + degree_text + " is listed twice";
      return false;
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  double sum = 0;
  for (const auto& [degree, value] : values) sum += value;
  if (std::fabs(sum - 1) > 1e-6) {
    error = "the values sum to " + format_double(sum) + ", not 1";
    return false;
  }
  d.degrees.clear();
  d.fractions.clear();
  double total = 0;
  for (const auto& [degree, value] : values) {
    const double node_share = perspective == DegreePerspective::edge ? value / degree : value;
    d.degrees.push_back(degree);
    d.fractions.push_back(node_share);
    total += node_share;
  }
  for (double& f : d.fractions) f /= total;
  return true;
}

double code_mean_degree(const DegreeDistribution& d) {
  double mean = 0;
  for (std::size_t i = 0; i < d.degrees.size(); ++i) mean += d.fractions[i] * d.degrees[i];
  return mean;
}

std::vector<double> code_edge_fractions(const DegreeDistribution& d) {
  const double mean = code_mean_degree(d);
  std::vector<double> edge(d.degrees.size());
  for (std::size_t i = 0; i < d.degrees.size(); ++i) edge[i] = d.fractions[i] * d.degrees[i] / mean;
  return edge;
}

DegreeDistribution code_regular_degrees(int degree) { return {{degree}, {1.0}}; }

std::vector<int> code_node_counts(const DegreeDistribution& d, int nodes) {
  const std::size_t k = d.degrees.size();
  std::vector<int> counts(k);
  if (k == 0) return counts;
  std::vector<double> remainder(k);
  std::int64_t given = 0;
  for (std::size_t i = 0; i < k; ++i) {
    const double exact = d.fractions[i] * nodes;
    counts[i] = static_cast<int>(std::floor(exact));
    remainder[i] = exact - counts[i];
    given += counts[i];
  }
  std::vector<std::size_t> order(k);
  std::iota(order.begin(), order.end(), 0);
  // Stable: on equal remainders the lower degree (earlier index) comes first.
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return remainder[a] > remainder[b]; });
  for (std::size_t i = 0; given < nodes; i = (i + 1) % k, ++given) ++counts[order[i]];
  // Rounding error in the fractions could in principle leave one node too many.
  for (std::size_t i = k; given > nodes && i-- > 0;)
    while (given > nodes && counts[order[i]] > 0) --counts[order[i]], --given;
  return counts;
}

bool code_realise_degrees(int n, int m, const DegreeDistribution& columns,
                          const DegreeDistribution* rows, std::vector<int>& column_degrees,
                          std::vector<int>& row_degrees, std::string& error) {
  if (n <= 0 || m <= 0) {
    error = "n = " + std::to_string(n) + " and m = " + std::to_string(m) + " must be positive";
    return false;
  }
  const std::vector<int> column_counts = code_node_counts(columns, n);
  column_degrees.clear();
  std::int64_t edges = 0;
  for (std::size_t i = 0; i < columns.degrees.size(); ++i) {
    if (column_counts[i] == 0) continue;
    if (columns.degrees[i] > m) {
      error = "column degree " + std::to_string(columns.degrees[i]) + " is outside 1.." +
              std::to_string(m);
      return false;
    }
    edges += static_cast<std::int64_t>(column_counts[i]) * columns.degrees[i];
    if (edges > INT_MAX) {
      error = "the columns hold more than " + std::to_string(INT_MAX) + " ones";
      return false;
    }
    column_degrees.insert(column_degrees.end(), column_counts[i], columns.degrees[i]);
  }
  if (rows == nullptr) {
    row_degrees.assign(m, static_cast<int>((edges + m - 1) / m));
    return true;
  }
  const std::vector<int> row_counts = code_node_counts(*rows, m);
  row_degrees.clear();
  std::int64_t sockets = 0;
  for (std::size_t i = 0; i < rows->degrees.size(); ++i) {
    row_degrees.insert(row_degrees.end(), row_counts[i], rows->degrees[i]);
    sockets += static_cast<std::int64_t>(row_counts[i]) * rows->degrees[i];
  }
  const std::int64_t difference = edges - sockets;
  if (difference > m || -difference > m) {
    error = "the rows' degrees give " + std::to_string(sockets) + " ones but the columns' give " +
            std::to_string(edges) + "; the mean row degree must be within 1 of " +
            format_double(static_cast<double>(edges) / m);
    return false;
  }
  if (difference > 0)
    for (std::int64_t i = 0; i < difference; ++i) ++row_degrees[static_cast<std::size_t>(i)];
  else
    for (std::int64_t i = 0; i < -difference; ++i)
      --row_degrees[m - 1 - static_cast<std::size_t>(i)];
  std::sort(row_degrees.begin(), row_degrees.end());
  if (row_degrees.front() < 1) {
    error = "matching the columns' " + std::to_string(edges) + " ones leaves a row with none";
    return false;
  }
  if (row_degrees.back() > n) {
    error =
        "row degree " + std::to_string(row_degrees.back()) + " is outside 1.." + std::to_string(n);
    return false;
  }
  return true;
}

std::string code_degree_departures(const DegreeDistribution& asked,
                                   const std::vector<int>& node_degrees, const char* noun) {
  std::map<int, std::pair<double, int>> by_degree;  // degree: (asked count, realised count)
  const double nodes = static_cast<double>(node_degrees.size());
  for (std::size_t i = 0; i < asked.degrees.size(); ++i)
    by_degree[asked.degrees[i]].first = asked.fractions[i] * nodes;
  for (int d : node_degrees) ++by_degree[d].second;
  std::string text;
  for (const auto& [degree, counts] : by_degree) {
    const auto [ideal, got] = counts;
    const bool lost = ideal > 0.0 && got == 0;
    const bool added = ideal == 0.0 && got > 0;
    if (!lost && !added && std::fabs(got - ideal) < 1.0) continue;
    if (!text.empty()) text += ", ";
    std::string nodes = noun;
    if (got == 1 && !nodes.empty() && nodes.back() == 's') nodes.pop_back();
    text += "degree " + std::to_string(degree) + ": " + std::to_string(got) + " " + nodes +
            " instead of " + format_double(ideal);
  }
  return text;
}

std::string code_describe_degrees(const std::vector<int>& node_degrees) {
  std::map<int, int> counts;
  for (int d : node_degrees) ++counts[d];
  std::string text;
  for (const auto& [degree, count] : counts) {
    if (!text.empty()) text += ", ";
    text += std::to_string(count) + " x " + std::to_string(degree);
  }
  return text;
}

DegreeDistribution code_rows_for_rate(const DegreeDistribution& columns, double rate) {
  const double mean = code_mean_degree(columns) / (1 - rate);
  const int low = static_cast<int>(std::floor(mean));
  const double high_share = mean - low;
  if (high_share < 1e-12) return code_regular_degrees(low);
  if (low < 1) return code_regular_degrees(1);
  return {{low, low + 1}, {1 - high_share, high_share}};
}

}  // namespace ldpcsw
