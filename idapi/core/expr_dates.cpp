// Dates of key expressions: Julian day numbers of the proleptic Gregorian calendar.
#include "idapi/core/expr.h"

namespace idapi::core {

int32_t julianDay(int y, int m, int d) {
  const int a = (14 - m) / 12;
  const int64_t y2 = int64_t{y} + 4800 - a;
  const int64_t m2 = m + 12 * a - 3;
  return static_cast<int32_t>(d + (153 * m2 + 2) / 5 + 365 * y2 + y2 / 4 - y2 / 100 + y2 / 400 - 32045);
}

void civilDate(int32_t jd, int& year, int& month, int& day) {
  int64_t a = int64_t{jd} + 32044;
  int64_t b = (4 * a + 3) / 146097;
  int64_t c = a - 146097 * b / 4;
  int64_t d = (4 * c + 3) / 1461;
  int64_t e = c - 1461 * d / 4;
  int64_t m = (5 * e + 2) / 153;
  day = static_cast<int>(e - (153 * m + 2) / 5 + 1);
  month = static_cast<int>(m + 3 - 12 * (m / 10));
  year = static_cast<int>(100 * b + d - 4800 + m / 10);
}

static bool leapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int32_t julianFromText(const char* t) {
  int v[8];
  for (int i = 0; i < 8; ++i) {
    if (t[i] < '0' || t[i] > '9') return 0;
    v[i] = t[i] - '0';
  }
  const int y = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
  const int m = v[4] * 10 + v[5];
  const int d = v[6] * 10 + v[7];
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || m < 1 || m > 12 || d < 1) return 0;
  if (d > days[m - 1] + (m == 2 && leapYear(y) ? 1 : 0)) return 0;
  return julianDay(y, m, d);
}

}  // namespace idapi::core
