#include "detailed/reclaim_geometry.h"

#include <algorithm>
#include <cmath>

namespace korvex {

namespace {

constexpr double steepest = 1e10;
constexpr double flattest = 1e-10;

}  // namespace

ReclaimGeometry::ReclaimGeometry(const KorvexConfiguration& configuration)
    : slope_(faceSlope(configuration.reclaimAngle)),
      circleLength_(reclaimCircleLength(configuration.length, configuration.depth)),
      length_(configuration.length),
      depth_(configuration.depth),
      reclaimAngle_(configuration.reclaimAngle),
      circular_(configuration.circular) {}

double ReclaimGeometry::coordinate(double x, double y, double z) const {
    if (circular_) {
        // Arc length from the direction of -x as seen from the centre, growing through +z, +x, -z.
        const double theta = std::atan2(z - depth_ * 0.5, x - length_ * 0.5);
        double d = (1.0 - theta / 3.1415927410125732) * 0.5 * circleLength_;
        if (slope_ >= flattest && slope_ <= steepest) {
            d -= y / slope_;
        }
        return d;
    }
    if (slope_ > steepest) {
        return x;
    }
    if (slope_ >= flattest) {
        return x - y / slope_;
    }
    // A face that is flat or leans back over the pile reaches everything at once: at the first
    // position for a face below 90 degrees, beyond the end of the pile otherwise.
    return reclaimAngle_ < 90.0f ? 0.0 : length_;
}

}  // namespace korvex
