#include "realmachine/splineinterpol.h"

#include <algorithm>

#include "base/assertion.h"

BandMatrix::BandMatrix(int dim, int upper, int lower) {
  QASSERT(dim>0, "band matrix without rows");
  if (dim <= 0) dim = 1;
  m_upper.assign(static_cast<size_t>(upper + 1), std::vector<double>(static_cast<size_t>(dim), 0.0));
  m_lower.assign(static_cast<size_t>(lower + 1), std::vector<double>(static_cast<size_t>(dim), 0.0));
}

double& BandMatrix::operator()(int i, int j) {
  const int k = j - i;
  QASSERT((i>=0) && (i<dim()), "band matrix row out of range");
  i = std::clamp(i, 0, dim() - 1);
  if (k >= 0) return m_upper[static_cast<size_t>(std::min(k, Upper()))][static_cast<size_t>(i)];
  return m_lower[static_cast<size_t>(std::min(-k, Lower()))][static_cast<size_t>(i)];
}

double BandMatrix::operator()(int i, int j) const { return const_cast<BandMatrix&>(*this)(i, j); }

void BandMatrix::LuDecompose() {
  const int n = dim();
  // Each row scaled so that its diagonal is 1; the factors are kept for
  // the left solve.
  for (int i = 0; i < n; ++i) {
    if (!QASSERT(this->operator()(i,i)!=0.0, "singular band matrix")) return;
    Saved(i) = 1.0 / (*this)(i, i);
    const int jMin = std::max(0, i - Lower());
    const int jMax = std::min(n - 1, i + Upper());
    for (int j = jMin; j <= jMax; ++j) (*this)(i, j) *= Saved(i);
    (*this)(i, i) = 1.0;
  }
  for (int k = 0; k < n; ++k) {
    const int iMax = std::min(n - 1, k + Lower());
    for (int i = k + 1; i <= iMax; ++i) {
      if (!QASSERT(this->operator()(k,k)!=0.0, "singular band matrix")) return;
      const double x = -(*this)(i, k) / (*this)(k, k);
      (*this)(i, k) = -x;
      const int jMax = std::min(n - 1, k + Upper());
      for (int j = k + 1; j <= jMax; ++j) (*this)(i, j) += x * (*this)(k, j);
    }
  }
  m_decomposed = true;
}

std::vector<double> BandMatrix::LSolve(const std::vector<double>& b) const {
  QASSERT(this->dim()==(int)b.size(), "right-hand side of the wrong size");
  const int n = std::min(dim(), static_cast<int>(b.size()));
  std::vector<double> x(static_cast<size_t>(dim()), 0.0);
  for (int i = 0; i < n; ++i) {
    double sum = 0;
    for (int j = std::max(0, i - Lower()); j < i; ++j) sum += (*this)(i, j) * x[static_cast<size_t>(j)];
    x[static_cast<size_t>(i)] = b[static_cast<size_t>(i)] * Saved(i) - sum;
  }
  return x;
}

std::vector<double> BandMatrix::RSolve(const std::vector<double>& b) const {
  QASSERT(this->dim()==(int)b.size(), "right-hand side of the wrong size");
  const int n = std::min(dim(), static_cast<int>(b.size()));
  std::vector<double> x(static_cast<size_t>(dim()), 0.0);
  for (int i = n - 1; i >= 0; --i) {
    double sum = 0;
    for (int j = i + 1; j <= std::min(n - 1, i + Upper()); ++j) sum += (*this)(i, j) * x[static_cast<size_t>(j)];
    x[static_cast<size_t>(i)] = (b[static_cast<size_t>(i)] - sum) / (*this)(i, i);
  }
  return x;
}

std::vector<double> BandMatrix::Solve(const std::vector<double>& b) {
  if (!m_decomposed) LuDecompose();
  return RSolve(LSolve(b));
}

bool CubicSpline::SetPoints(const std::vector<double>& x, const std::vector<double>& y) {
  m_x.clear();
  m_y.clear();
  if (!QASSERT(x.size()==y.size(), "spline values do not match the positions")) return false;
  if (!QASSERT(x.size()>=2, "spline needs two points")) return false;
  const int n = static_cast<int>(x.size());
  for (int i = 0; i < n - 1; ++i) {
    const std::vector<double>& m_x = x;
    if (!QASSERT(m_x[i]<m_x[i+1], "spline positions must increase")) return false;
  }
  BandMatrix a(n, 1, 1);
  std::vector<double> rhs(static_cast<size_t>(n), 0.0);
  for (int i = 1; i < n - 1; ++i) {
    const double h0 = x[static_cast<size_t>(i)] - x[static_cast<size_t>(i - 1)];
    const double h1 = x[static_cast<size_t>(i + 1)] - x[static_cast<size_t>(i)];
    a(i, i - 1) = h0 / 3.0;
    a(i, i) = 2.0 * (h0 + h1) / 3.0;
    a(i, i + 1) = h1 / 3.0;
    rhs[static_cast<size_t>(i)] = (y[static_cast<size_t>(i + 1)] - y[static_cast<size_t>(i)]) / h1 -
                                  (y[static_cast<size_t>(i)] - y[static_cast<size_t>(i - 1)]) / h0;
  }
  // Natural ends: no curvature.
  a(0, 0) = 2.0;
  a(n - 1, n - 1) = 2.0;
  m_b = a.Solve(rhs);
  m_a.assign(static_cast<size_t>(n), 0.0);
  m_c.assign(static_cast<size_t>(n), 0.0);
  for (int i = 0; i < n - 1; ++i) {
    const size_t k = static_cast<size_t>(i);
    const double h = x[k + 1] - x[k];
    m_a[k] = (m_b[k + 1] - m_b[k]) / (3.0 * h);
    m_c[k] = (y[k + 1] - y[k]) / h - (2.0 * m_b[k] + m_b[k + 1]) * h / 3.0;
  }
  const size_t last = static_cast<size_t>(n - 1);
  const double h = x[last] - x[last - 1];
  m_slopeLeft = m_c[0];
  m_slopeRight = 3.0 * m_a[last - 1] * h * h + 2.0 * m_b[last - 1] * h + m_c[last - 1];
  m_x = x;
  m_y = y;
  return true;
}

double CubicSpline::operator()(double x) const {
  if (m_x.empty()) return 0;
  if (x <= m_x.front()) return m_y.front() + m_slopeLeft * (x - m_x.front());
  if (x >= m_x.back()) return m_y.back() + m_slopeRight * (x - m_x.back());
  const size_t i = static_cast<size_t>(std::upper_bound(m_x.begin(), m_x.end(), x) - m_x.begin()) - 1;
  const double h = x - m_x[i];
  return ((m_a[i] * h + m_b[i]) * h + m_c[i]) * h + m_y[i];
}
