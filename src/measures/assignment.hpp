#pragma once
// Minimum-cost assignment of a rectangular cost matrix: the shortest
// augmenting path method (Jonker-Volgenant without initialisation, as Crouse
// describes it), written so that every choice among equal costs falls as in
// scipy.optimize.linear_sum_assignment. The tracking scores resolve ties
// exactly as the reference evaluation does, and that one calls scipy.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace mirelo {

/// Solves assignments of rows x cols cost matrices, reusing its buffers
/// from one call to the next.
///
/// The pairs are those scipy gives for the same matrix, ties included:
/// rows are added one at a time in order; each finds its shortest augmenting
/// path by scanning the unvisited columns from the last to the first, taking
/// the first column of least reduced cost met, unless a later one of the same
/// cost is still unassigned (an unassigned column ends the path at once). A
/// matrix with more rows than columns is solved transposed, as scipy solves it.
class LinearAssignment {
 public:
  /// Assigns min(rows, cols) pairs of least total cost. `cost` is row-major,
  /// rows x cols doubles. Afterwards row_of()/col_of() hold the pairs sorted
  /// by row. Throws ValueError for a NaN or -inf entry and for a matrix that
  /// has no finite assignment.
  void solve(const double* cost, size_t rows, size_t cols);

  /// Rows and columns of the pairs, sorted by row.
  const std::vector<int64_t>& row_of() const { return pair_rows_; }
  const std::vector<int64_t>& col_of() const { return pair_cols_; }

 private:
  int64_t augmenting_path(int64_t nc, const double* cost, int64_t i, double& min_val);

  std::vector<double> transposed_, u_, v_, shortest_;
  std::vector<int64_t> path_, col4row_, row4col_, remaining_;
  std::vector<char> sr_, sc_;
  std::vector<int64_t> pair_rows_, pair_cols_;
};

}  // namespace mirelo
