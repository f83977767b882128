#pragma once

#include "core/settings.h"

namespace korvex {

/// How far the reclaimer has to advance to reach a point of the pile: the distance along the reclaim
/// direction (x on a straight pile, the arc of the circle on a circular one), corrected for the slope
/// of the reclaim face so that the top of the pile is cut ahead of its foot.
class ReclaimGeometry {
public:
    explicit ReclaimGeometry(const KorvexConfiguration& configuration);

    /// The reclaim coordinate of a point (x, y, z) of the pile.
    double coordinate(double x, double y, double z) const;

    /// tan of the face angle; +infinity for a vertical face (see isVerticalFace).
    double slope() const { return slope_; }
    /// Length of the reclaim circle of a circular pile.
    double circleLength() const { return circleLength_; }

private:
    double slope_;
    double circleLength_;
    double length_;
    double depth_;
    float reclaimAngle_;
    bool circular_;
};

}  // namespace korvex
