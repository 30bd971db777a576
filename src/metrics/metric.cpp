#include "metrics/metric.h"

#include <limits>

namespace orbisk {

double abandoning_bound(double distance) {
    if (std::isnan(distance)) return std::numeric_limits<double>::quiet_NaN();
    double t = distance * distance;
    while (t > 0.0 && std::sqrt(std::nextafter(t, 0.0)) >= distance) t = std::nextafter(t, 0.0);
    while (std::sqrt(t) < distance) t = std::nextafter(t, std::numeric_limits<double>::infinity());
    return t;
}

}  // namespace orbisk
