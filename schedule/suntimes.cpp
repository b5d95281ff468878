#include "schedule/suntimes.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace schedule {
namespace {

constexpr double kZenith = 90.833;
constexpr int64_t kDay = 86400;

double rad(double degrees) { return degrees * std::numbers::pi / 180.0; }
double deg(double radians) { return radians * 180.0 / std::numbers::pi; }

struct SunPosition {
  double declination;     // degrees
  double equationOfTime;  // minutes
};

SunPosition sunAt(double t) {
  const double julianDay = t / kDay + 2440587.5;
  const double T = (julianDay - 2451545.0) / 36525.0;  // Julian centuries since J2000.0
  const double meanLongitude = std::fmod(280.46646 + T * (36000.76983 + T * 0.0003032), 360.0);
  const double meanAnomaly = 357.52911 + T * (35999.05029 - 0.0001537 * T);
  const double eccentricity = 0.016708634 - T * (0.000042037 + 0.0000001267 * T);
  const double centre = std::sin(rad(meanAnomaly)) * (1.914602 - T * (0.004817 + 0.000014 * T)) +
                        std::sin(rad(2 * meanAnomaly)) * (0.019993 - 0.000101 * T) +
                        std::sin(rad(3 * meanAnomaly)) * 0.000289;
  const double omega = 125.04 - 1934.136 * T;
  const double apparentLongitude = meanLongitude + centre - 0.00569 - 0.00478 * std::sin(rad(omega));
  const double meanObliquity =
      23.0 + (26.0 + (21.448 - T * (46.815 + T * (0.00059 - T * 0.001813))) / 60.0) / 60.0;
  const double obliquity = meanObliquity + 0.00256 * std::cos(rad(omega));
  const double declination = deg(std::asin(std::sin(rad(obliquity)) * std::sin(rad(apparentLongitude))));
  const double y = std::pow(std::tan(rad(obliquity) / 2), 2);
  const double l0 = rad(meanLongitude);
  const double m = rad(meanAnomaly);
  const double e = eccentricity;
  const double eq = y * std::sin(2 * l0) - 2 * e * std::sin(m) + 4 * e * y * std::sin(m) * std::cos(2 * l0) -
                    0.5 * y * y * std::sin(4 * l0) - 1.25 * e * e * std::sin(2 * m);
  return {declination, 4 * deg(eq)};
}

// The cosine of the hour angle at which the sun's centre reaches the zenith
// angle; beyond [-1, 1] it never does that day.
double cosHourAngle(double latitude, double declination) {
  return std::cos(rad(kZenith)) / (std::cos(rad(latitude)) * std::cos(rad(declination))) -
         std::tan(rad(latitude)) * std::tan(rad(declination));
}

// The solar noon within half a day of `near`, with the given equation of time.
double solarNoon(double near, double longitude, double equationOfTime) {
  const double dayStart = std::floor(near / kDay) * kDay;
  double noon = dayStart + (720.0 - 4.0 * longitude - equationOfTime) * 60.0;
  noon += std::round((near - noon) / kDay) * kDay;
  return noon;
}

// Sunrise (side -1) or sunset (+1), refined with the sun's position at the
// moment itself rather than at noon.
int64_t event(double midday, double noon, double latitude, double longitude, int side) {
  double t = noon;
  for (int i = 0; i < 3; ++i) {
    const SunPosition sun = sunAt(t);
    const double hourAngle = deg(std::acos(std::clamp(cosHourAngle(latitude, sun.declination), -1.0, 1.0)));
    t = solarNoon(midday, longitude, sun.equationOfTime) + side * hourAngle * 4.0 * 60.0;
  }
  return std::llround(t);
}

}  // namespace

SunEvents sunEvents(int64_t midday, double latitude, double longitude) {
  const double near = static_cast<double>(midday);
  double noon = solarNoon(near, longitude, sunAt(near).equationOfTime);
  const SunPosition sun = sunAt(noon);
  noon = solarNoon(near, longitude, sun.equationOfTime);
  const double c = cosHourAngle(latitude, sun.declination);
  SunEvents out;
  if (c > 1.0) {
    out.kind = SunEvents::Kind::PolarNight;
  } else if (c < -1.0) {
    out.kind = SunEvents::Kind::PolarDay;
  } else {
    out.sunrise = event(near, noon, latitude, longitude, -1);
    out.sunset = event(near, noon, latitude, longitude, +1);
  }
  return out;
}

}  // namespace schedule
