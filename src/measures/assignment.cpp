#include "measures/assignment.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "common/errors.hpp"

namespace mirelo {

int64_t LinearAssignment::augmenting_path(int64_t nc, const double* cost, int64_t i, double& min_val) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  double lowest_so_far = 0;
  int64_t num_remaining = nc;
  // Filled backwards, so that a constant matrix gives the identity.
  for (int64_t it = 0; it < nc; ++it) remaining_[static_cast<size_t>(it)] = nc - it - 1;
  std::fill(sr_.begin(), sr_.end(), 0);
  std::fill(sc_.begin(), sc_.end(), 0);
  std::fill(shortest_.begin(), shortest_.end(), inf);

  int64_t sink = -1;
  while (sink == -1) {
    int64_t index = -1;
    double lowest = inf;
    sr_[static_cast<size_t>(i)] = 1;
    const double* row = cost + i * nc;
    const double ui = u_[static_cast<size_t>(i)];
    for (int64_t it = 0; it < num_remaining; ++it) {
      const size_t j = static_cast<size_t>(remaining_[static_cast<size_t>(it)]);
      const double r = lowest_so_far + row[j] - ui - v_[j];
      if (r < shortest_[j]) {
        path_[j] = i;
        shortest_[j] = r;
      }
      // Among equal costs a column that ends the path is preferred.
      if (shortest_[j] < lowest || (shortest_[j] == lowest && row4col_[j] == -1)) {
        lowest = shortest_[j];
        index = it;
      }
    }
    lowest_so_far = lowest;
    if (lowest_so_far == inf) return -1;
    const int64_t j = remaining_[static_cast<size_t>(index)];
    if (row4col_[static_cast<size_t>(j)] == -1) {
      sink = j;
    } else {
      i = row4col_[static_cast<size_t>(j)];
    }
    sc_[static_cast<size_t>(j)] = 1;
    remaining_[static_cast<size_t>(index)] = remaining_[static_cast<size_t>(--num_remaining)];
  }
  min_val = lowest_so_far;
  return sink;
}

void LinearAssignment::solve(const double* cost, size_t rows, size_t cols) {
  pair_rows_.clear();
  pair_cols_.clear();
  if (rows == 0 || cols == 0) return;
  const bool transpose = cols < rows;
  int64_t nr = static_cast<int64_t>(rows), nc = static_cast<int64_t>(cols);
  if (transpose) {
    transposed_.resize(rows * cols);
    for (size_t r = 0; r < rows; ++r)
      for (size_t c = 0; c < cols; ++c) transposed_[c * rows + r] = cost[r * cols + c];
    std::swap(nr, nc);
    cost = transposed_.data();
  }
  const size_t n = rows * cols;
  for (size_t k = 0; k < n; ++k)
    if (std::isnan(cost[k]) || cost[k] == -std::numeric_limits<double>::infinity())
      throw ValueError("cost matrix contains invalid numeric entries (NaN or -inf)");

  const size_t r_n = static_cast<size_t>(nr), c_n = static_cast<size_t>(nc);
  u_.assign(r_n, 0.0);
  v_.assign(c_n, 0.0);
  shortest_.assign(c_n, 0.0);
  path_.assign(c_n, -1);
  col4row_.assign(r_n, -1);
  row4col_.assign(c_n, -1);
  sr_.assign(r_n, 0);
  sc_.assign(c_n, 0);
  remaining_.assign(c_n, 0);

  for (int64_t cur = 0; cur < nr; ++cur) {
    double min_val = 0;
    const int64_t sink = augmenting_path(nc, cost, cur, min_val);
    if (sink < 0) throw ValueError("cost matrix is infeasible");
    u_[static_cast<size_t>(cur)] += min_val;
    for (size_t i = 0; i < r_n; ++i)
      if (sr_[i] && static_cast<int64_t>(i) != cur)
        u_[i] += min_val - shortest_[static_cast<size_t>(col4row_[i])];
    for (size_t j = 0; j < c_n; ++j)
      if (sc_[j]) v_[j] -= min_val - shortest_[j];
    int64_t j = sink;
    for (;;) {
      const int64_t i = path_[static_cast<size_t>(j)];
      row4col_[static_cast<size_t>(j)] = i;
      std::swap(col4row_[static_cast<size_t>(i)], j);
      if (i == cur) break;
    }
  }

  pair_rows_.resize(r_n);
  pair_cols_.resize(r_n);
  if (transpose) {
    // Each former column's row, ordered by that row.
    std::vector<int64_t> order(r_n);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
      return col4row_[static_cast<size_t>(a)] < col4row_[static_cast<size_t>(b)];
    });
    for (size_t k = 0; k < r_n; ++k) {
      pair_rows_[k] = col4row_[static_cast<size_t>(order[k])];
      pair_cols_[k] = order[k];
    }
  } else {
    for (size_t i = 0; i < r_n; ++i) {
      pair_rows_[i] = static_cast<int64_t>(i);
      pair_cols_[i] = col4row_[i];
    }
  }
}

}  // namespace mirelo
