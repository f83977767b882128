#pragma once

#include <btBulletDynamicsCommon.h>

#include <cstddef>
#include <vector>

#include "core/averaged_parameters.h"
#include "core/configuration.h"
#include "detailed/korvex_detailed.h"

namespace korvex::testing {

using Detailed = KorvexDetailed<AveragedParameters>;
using DetailedParticle = Detailed::ParticleType;

/// A straight 10 x 10 m pile of 1 m boxes (one particle per cubic metre, drop interval 1000 ms).
inline KorvexConfiguration pileOfMetreBoxes() {
    KorvexConfiguration configuration;
    configuration.length = 10.0f;
    configuration.depth = 10.0f;
    configuration.reclaimAngle = 90.0f;
    configuration.particlesPerCubicMeter = 1.0f;
    configuration.particleVolumeFactor = 1.0f;
    configuration.dropHeight = 2.0f;
    return configuration;
}

inline AveragedParameters material(double volume, std::vector<double> values) {
    return AveragedParameters(volume, values);
}

inline std::size_t bodiesInWorld(const Detailed& simulator) {
    return static_cast<std::size_t>(simulator.dynamicsWorld().getNumCollisionObjects());
}

/// An unrotated box of the nominal size centred at (x, y, z), not yet settled. A box that starts
/// slower than about 0.7 m/s is damped to a crawl, as the particles' damping intends.
inline DetailedParticle& placeParticle(Detailed& simulator, float x, float y, float z,
                                       AveragedParameters particle,
                                       const btVector3& velocity = btVector3(0.0f, 0.0f, 0.0f)) {
    const float size = simulator.particleSize();
    return simulator.createParticle(btVector3(x, y, z), std::move(particle), btQuaternion::getIdentity(),
                                    velocity, btVector3(size, size, size));
}

/// A box frozen at (x, y, z) without any physics; retired by the next step.
inline DetailedParticle& placeSettled(Detailed& simulator, float x, float y, float z,
                                      AveragedParameters particle) {
    DetailedParticle& placed = placeParticle(simulator, x, y, z, std::move(particle));
    simulator.settleParticle(placed);
    return placed;
}

/// Makes the motion state report the centre (x, y, z) without moving the body in the world.
inline void moveCentre(DetailedParticle& particle, float x, float y, float z) {
    btTransform transform = particle.body.transform();
    transform.setOrigin(btVector3(x, y, z));
    particle.body.motionState().setWorldTransform(transform);
}

inline btVector3 centreOf(const DetailedParticle& particle) { return particle.body.transform().getOrigin(); }

}  // namespace korvex::testing
