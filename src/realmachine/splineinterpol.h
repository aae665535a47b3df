// Natural cubic spline through strictly increasing x values (at least two),
// for the screw-pitch correction tables. The second derivatives come from a
// tridiagonal system solved as a band matrix (LU without pivoting: the
// system is diagonally dominant). Outside the table the spline continues
// linearly with the slope at its end.
#pragma once

#include <cstddef>
#include <vector>

// A square band matrix with `upper` bands above and `lower` below the
// diagonal.
class BandMatrix {
 public:
  BandMatrix(int dim, int upper, int lower);
  int dim() const { return static_cast<int>(m_upper.empty() ? 0 : m_upper[0].size()); }
  double& operator()(int i, int j);
  double operator()(int i, int j) const;
  // In place; afterwards the matrix holds L (unit diagonal, kept apart) and U.
  void LuDecompose();
  std::vector<double> LSolve(const std::vector<double>& b) const;
  std::vector<double> RSolve(const std::vector<double>& b) const;
  std::vector<double> Solve(const std::vector<double>& b);

 private:
  double& Saved(int i) { return m_lower[0][static_cast<std::size_t>(i)]; }
  double Saved(int i) const { return m_lower[0][static_cast<std::size_t>(i)]; }
  int Upper() const { return static_cast<int>(m_upper.size()) - 1; }
  int Lower() const { return static_cast<int>(m_lower.size()) - 1; }

  std::vector<std::vector<double>> m_upper;  // [0] the diagonal
  std::vector<std::vector<double>> m_lower;  // [0] the saved diagonal of U's inverse
  bool m_decomposed = false;
};

class CubicSpline {
 public:
  CubicSpline() = default;
  // False (and an assertion) when the points do not make a spline; the
  // spline is then the zero function.
  bool SetPoints(const std::vector<double>& x, const std::vector<double>& y);
  double operator()(double x) const;
  bool Empty() const { return m_x.empty(); }
  double MinX() const { return m_x.empty() ? 0 : m_x.front(); }
  double MaxX() const { return m_x.empty() ? 0 : m_x.back(); }

 private:
  std::vector<double> m_x, m_y;
  std::vector<double> m_a, m_b, m_c;  // y = ((a h + b) h + c) h + y_i, h = x - x_i
  double m_slopeLeft = 0, m_slopeRight = 0;
};
