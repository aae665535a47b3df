// Nine axis values X Y Z A B C U V W (index 0..8), in mm or degrees.
#pragma once

#include "base/assertion.h"

constexpr int kAxisCount = 9;

struct Coordinates {
  double v[kAxisCount] = {0, 0, 0, 0, 0, 0, 0, 0, 0};

  Coordinates() = default;
  Coordinates(double x, double y, double z, double a = 0, double b = 0, double c = 0, double u = 0, double v_ = 0,
              double w = 0)
      : v{x, y, z, a, b, c, u, v_, w} {}

  double& operator[](int ix) {
    QASSERT(ix >= 0 && ix < 9, "Coordinates index");
    return v[Clamp(ix)];
  }
  double operator[](int ix) const {
    QASSERT(ix >= 0 && ix < 9, "Coordinates index");
    return v[Clamp(ix)];
  }

  Coordinates& operator+=(const Coordinates& o) {
    for (int i = 0; i < kAxisCount; ++i) v[i] += o.v[i];
    return *this;
  }
  Coordinates& operator-=(const Coordinates& o) {
    for (int i = 0; i < kAxisCount; ++i) v[i] -= o.v[i];
    return *this;
  }
  friend Coordinates operator+(Coordinates a, const Coordinates& b) { return a += b; }
  friend Coordinates operator-(Coordinates a, const Coordinates& b) { return a -= b; }
  friend bool operator==(const Coordinates& a, const Coordinates& b) {
    for (int i = 0; i < kAxisCount; ++i)
      if (a.v[i] != b.v[i]) return false;
    return true;
  }

  void Clear() {
    for (double& d : v) d = 0;
  }

 private:
  // A bad index has been reported; keep the access inside the array.
  static int Clamp(int ix) { return ix < 0 ? 0 : (ix >= kAxisCount ? kAxisCount - 1 : ix); }
};

// Axis letters in index order.
constexpr char kAxisLetters[kAxisCount + 1] = "XYZABCUVW";
