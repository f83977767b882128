#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "detailed_world.h"
#include "freezing_in_place.h"
#include "tests/engine_access.h"

using namespace korvex::testing;

namespace {

// Both ways of freezing must leave a pile that behaves the same; only their bookkeeping differs.
struct Freezing {
    const char* name;
    bool inPlace;
    /// Whether two frozen neighbours still share a broadphase pair.
    bool frozenPairsKept;
};

void PrintTo(const Freezing& freezing, std::ostream* out) { *out << freezing.name; }

class DetailedFreezing : public ::testing::TestWithParam<Freezing> {
protected:
    DetailedFreezing() : simulator(pileOfMetreBoxes()) {
        if (GetParam().inPlace) {
            FreezingInPlace::use(simulator);
        }
    }

    int pairs() const { return simulator.broadphase().getOverlappingPairCache()->getNumOverlappingPairs(); }

    Detailed simulator;
};

TEST_P(DetailedFreezing, FrozenBoxHoldsStillAndCarriesABoxDroppedOnIt) {
    DetailedParticle& frozen = placeSettled(simulator, 5.0f, 3.0f, 5.0f, material(1.0, {1.0}));
    const btTransform frozenAt = frozen.body.body().getWorldTransform();
    DetailedParticle& dropped =
        placeParticle(simulator, 5.1f, 5.0f, 4.9f, material(1.0, {2.0}), btVector3(0.0f, -2.0f, 0.0f));
    simulator.finishStacking();

    EXPECT_TRUE(dropped.settled);
    EXPECT_NEAR(centreOf(dropped).y(), 4.0f, 0.05f);
    EXPECT_NEAR(centreOf(dropped).x(), 5.1f, 0.1f);
    EXPECT_EQ(frozen.body.body().getWorldTransform().getOrigin(), frozenAt.getOrigin());
    EXPECT_EQ(centreOf(frozen), btVector3(5.0f, 3.0f, 5.0f));
    EXPECT_EQ(frozen.settledCentre, centreOf(frozen));
    EXPECT_EQ(simulator.heightAt(5, 5), centreOf(dropped).y());
}

// Two frozen boxes, one low and one high; a box lands on each, a third on the first of those, a fourth on
// the ground. Returns the four, and when each settled.
struct LandedBoxes {
    std::vector<btVector3> centres;
    std::vector<std::uint64_t> settledAt;
};

LandedBoxes landBoxesOnFrozenOnes(Detailed& simulator) {
    placeSettled(simulator, 3.0f, 0.5f, 3.0f, material(1.0, {1.0}));
    placeSettled(simulator, 7.0f, 2.5f, 3.0f, material(1.0, {1.0}));
    const btVector3 falling(0.0f, -2.0f, 0.0f);
    const std::vector<DetailedParticle*> landing{
        &placeParticle(simulator, 3.0f, 2.0f, 3.0f, material(1.0, {2.0}), falling),
        &placeParticle(simulator, 3.0f, 3.5f, 3.0f, material(1.0, {3.0}), falling),
        &placeParticle(simulator, 7.0f, 4.0f, 3.0f, material(1.0, {4.0}), falling),
        &placeParticle(simulator, 5.0f, 1.0f, 7.0f, material(1.0, {5.0}), falling)};
    LandedBoxes landed{{}, std::vector<std::uint64_t>(landing.size(), 0)};
    while (simulator.particlesInMotion()) {
        const std::uint64_t stepStart = simulator.simulationTime();
        simulator.simulateStep();
        for (std::size_t k = 0; k < landing.size(); ++k) {
            if (landing[k]->settled && landed.settledAt[k] == 0) {
                landed.settledAt[k] = stepStart;
            }
        }
    }
    for (const DetailedParticle* particle : landing) {
        landed.centres.push_back(centreOf(*particle));
    }
    return landed;
}

TEST_P(DetailedFreezing, BoxesComeToRestOnFrozenOnesOnEachOtherAndOnTheGround) {
    const LandedBoxes landed = landBoxesOnFrozenOnes(simulator);
    const std::vector<float> heights{1.5f, 2.5f, 3.5f, 0.5f};
    for (std::size_t k = 0; k < heights.size(); ++k) {
        EXPECT_NEAR(landed.centres[k].y(), heights[k], 0.05f) << "box " << k;
    }
}

// Walking only the bodies that can move numbers their islands, and so decides when they sleep, as Bullet's
// walks over every object do.
TEST(DetailedFrozenBody, BoxesLandingOnItSettleAsWithBulletsOwnBookkeeping) {
    Detailed rejoining(pileOfMetreBoxes());
    Detailed inPlace(pileOfMetreBoxes());
    FreezingInPlace::use(inPlace);
    const LandedBoxes expected = landBoxesOnFrozenOnes(inPlace);
    const LandedBoxes landed = landBoxesOnFrozenOnes(rejoining);
    EXPECT_EQ(landed.settledAt, expected.settledAt);
    for (std::size_t k = 0; k < landed.centres.size(); ++k) {
        EXPECT_LT(landed.centres[k].distance(expected.centres[k]), 0.01f) << "box " << k;
    }
}

TEST_P(DetailedFreezing, FrozenNeighboursShareNoPairOnceTheyRest) {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            placeSettled(simulator, 4.0f + static_cast<float>(i), 0.5f, 4.0f + static_cast<float>(j),
                         material(1.0, {1.0}));
        }
    }
    for (int step = 0; step < 5; ++step) {
        simulator.simulateStep();
    }
    EXPECT_EQ(pairs() > 0, GetParam().frozenPairsKept);

    // A box falling onto the layer meets it; every pair it brings has the moving box on one side.
    DetailedParticle& falling =
        placeParticle(simulator, 5.0f, 1.6f, 5.0f, material(1.0, {2.0}), btVector3(0.0f, -1.0f, 0.0f));
    for (int step = 0; step < 3; ++step) {
        simulator.simulateStep();
    }
    const btBroadphaseProxy* movingProxy = falling.body.body().getBroadphaseHandle();
    btBroadphaseInterface& broadphase = korvex::testing::EngineAccess::broadphaseOf(simulator);
    const btBroadphasePairArray& all = broadphase.getOverlappingPairCache()->getOverlappingPairArray();
    int withMovingBox = 0;
    for (int k = 0; k < all.size(); ++k) {
        withMovingBox += all[k].m_pProxy0 == movingProxy || all[k].m_pProxy1 == movingProxy;
    }
    EXPECT_GE(withMovingBox, 1);
    if (!GetParam().frozenPairsKept) {
        EXPECT_EQ(withMovingBox, all.size());
    }

    // Once nothing moves, reclaiming starts from a world without pairs, whichever way bodies froze.
    simulator.finishStacking();
    EXPECT_EQ(simulator.reclaim(-100.0f).volume, 0.0);
    EXPECT_EQ(pairs(), 0);
    EXPECT_EQ(simulator.reclaim(100.0f).volume, 10.0);
    EXPECT_EQ(bodiesInWorld(simulator), 1u);
}

INSTANTIATE_TEST_SUITE_P(Ways, DetailedFreezing,
                         ::testing::Values(Freezing{"rejoiningAsStatic", false, false},
                                           Freezing{"inPlace", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DetailedFrozenBody, RejoinsTheWorldAsASleepingStaticObject) {
    Detailed simulator(pileOfMetreBoxes());
    DetailedParticle& particle = placeParticle(simulator, 5.0f, 0.5f, 5.0f, material(1.0, {1.0}));
    simulator.simulateStep();
    btRigidBody& body = particle.body.body();
    const auto& moving = simulator.dynamicsWorld().getNonStaticRigidBodies();
    ASSERT_EQ(moving.size(), 1);
    EXPECT_EQ(body.getBroadphaseHandle()->m_collisionFilterGroup, btBroadphaseProxy::DefaultFilter);

    simulator.settleParticle(particle);
    EXPECT_TRUE(particle.inWorld());
    EXPECT_EQ(bodiesInWorld(simulator), 2u);
    EXPECT_EQ(moving.size(), 0);
    EXPECT_TRUE(body.isStaticObject());
    EXPECT_EQ(body.getInvMass(), 0.0f);
    EXPECT_EQ(body.getActivationState(), ISLAND_SLEEPING);
    EXPECT_EQ(body.getBroadphaseHandle()->m_collisionFilterGroup, btBroadphaseProxy::StaticFilter);
    EXPECT_EQ(body.getBroadphaseHandle()->m_collisionFilterMask,
              btBroadphaseProxy::AllFilter ^ btBroadphaseProxy::StaticFilter);
    // Its last island and solver body must not be lent to the boxes that come to touch it.
    EXPECT_EQ(body.getIslandTag(), -1);
    EXPECT_LT(body.getCompanionId(), 0);
}

}  // namespace
