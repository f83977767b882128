#include "core/averaged_parameters.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

using korvex::AveragedParameters;

namespace {

AveragedParameters material(double volume, std::vector<double> values) {
    return AveragedParameters(volume, values);
}

}  // namespace

TEST(AveragedParameters, ConstructsSumsFromVolumeAndValues) {
    const auto record = material(2.0, {0.5, 10.0});
    EXPECT_EQ(record.volume, 2.0);
    EXPECT_EQ(record.sums, (std::vector<double>{1.0, 20.0}));
    EXPECT_EQ(record.averages(), (std::vector<double>{0.5, 10.0}));
}

TEST(AveragedParameters, StoresZeroAndNegativeVolumesUnchanged) {
    EXPECT_EQ(material(0.0, {3.0}).sums, (std::vector<double>{0.0}));
    const auto negative = material(-1.0, {3.0});
    EXPECT_EQ(negative.volume, -1.0);
    EXPECT_EQ(negative.sums, (std::vector<double>{-3.0}));
}

TEST(AveragedParameters, AddMergesVolumesAndSums) {
    AveragedParameters accumulator;
    accumulator.add(material(1.0, {1.0}));
    EXPECT_EQ(accumulator.volume, 1.0);
    EXPECT_EQ(accumulator.sums, (std::vector<double>{1.0}));
    accumulator.add(material(3.0, {5.0}));
    EXPECT_EQ(accumulator.volume, 4.0);
    EXPECT_EQ(accumulator.sums, (std::vector<double>{16.0}));
    EXPECT_EQ(accumulator.averages(), (std::vector<double>{4.0}));
}

TEST(AveragedParameters, AddingAnEmptyRecordChangesNothing) {
    auto record = material(2.0, {1.0, 2.0});
    record.add(AveragedParameters{});
    EXPECT_EQ(record.volume, 2.0);
    EXPECT_EQ(record.sums, (std::vector<double>{2.0, 4.0}));

    AveragedParameters empty;
    empty.add(AveragedParameters{});
    EXPECT_TRUE(empty.sums.empty());
}

TEST(AveragedParameters, ZeroVolumeWithParametersFixesTheCount) {
    AveragedParameters accumulator;
    accumulator.add(material(0.0, {1.0, 2.0}));
    EXPECT_EQ(accumulator.sums.size(), 2u);
    EXPECT_THROW(accumulator.add(material(1.0, {1.0})), std::runtime_error);
}

TEST(AveragedParameters, VolumeWithoutParametersAddsToRecordWithoutParameters) {
    AveragedParameters accumulator;
    AveragedParameters volumeOnly;
    volumeOnly.volume = 2.5;
    accumulator.add(volumeOnly);
    accumulator.add(volumeOnly);
    EXPECT_EQ(accumulator.volume, 5.0);
    EXPECT_TRUE(accumulator.sums.empty());
}

TEST(AveragedParameters, AddWithOtherParameterCountThrowsAndChangesNothing) {
    auto record = material(1.0, {1.0, 2.0, 3.0});
    try {
        record.add(material(5.0, {1.0, 2.0}));
        FAIL() << "expected invalid parameter count";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "invalid parameter count");
    }
    EXPECT_EQ(record.volume, 1.0);
    EXPECT_EQ(record.sums, (std::vector<double>{1.0, 2.0, 3.0}));
}

TEST(AveragedParameters, PopTakesVolumeWithTheCurrentAverages) {
    AveragedParameters record;
    record.volume = 4.0;
    record.sums = {16.0};
    const auto popped = record.pop(1.5);
    EXPECT_EQ(popped.volume, 1.5);
    EXPECT_EQ(popped.sums, (std::vector<double>{6.0}));
    EXPECT_EQ(record.volume, 2.5);
    EXPECT_EQ(record.sums, (std::vector<double>{10.0}));
    EXPECT_EQ(record.averages(), (std::vector<double>{4.0}));
}

TEST(AveragedParameters, PopOfTheWholeVolumeLeavesZeroSums) {
    auto record = material(4.0, {2.0, -1.0});
    const auto popped = record.pop(4.0);
    EXPECT_EQ(popped.averages(), (std::vector<double>{2.0, -1.0}));
    EXPECT_EQ(record.volume, 0.0);
    EXPECT_EQ(record.sums, (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(record.averages(), (std::vector<double>{0.0, 0.0}));
}

TEST(AveragedParameters, PopOfMoreThanTheVolumeThrowsAndChangesNothing) {
    auto record = material(4.0, {4.0});
    try {
        record.pop(4.0000001);
        FAIL() << "expected a failed pop";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "could not pop volume, not enough volume left");
    }
    EXPECT_EQ(record.volume, 4.0);
    EXPECT_EQ(record.sums, (std::vector<double>{16.0}));
}

TEST(AveragedParameters, PopOfNothingFromAnEmptiedRecordStaysFinite) {
    auto record = material(1.0, {7.0});
    record.pop(1.0);
    const auto popped = record.pop(0.0);
    EXPECT_EQ(popped.volume, 0.0);
    EXPECT_EQ(popped.sums, (std::vector<double>{0.0}));
    EXPECT_EQ(record.volume, 0.0);
    EXPECT_EQ(record.sums, (std::vector<double>{0.0}));
}

TEST(AveragedParameters, AveragesOfATinyVolumeAreNotDivided) {
    AveragedParameters record;
    record.volume = 1e-101;
    record.sums = {3.0};
    EXPECT_EQ(record.averages(), (std::vector<double>{3.0}));
}

TEST(AveragedParameters, PoppedPartAndRemainderAddUpToTheOriginal) {
    auto record = material(3.7, {1.3, 250.0, -4.0});
    const auto before = record;
    auto popped = record.pop(1.1);
    popped.add(record);
    EXPECT_NEAR(popped.volume, before.volume, 1e-12);
    for (std::size_t k = 0; k < before.sums.size(); ++k) {
        EXPECT_NEAR(popped.sums[k], before.sums[k], 1e-9);
    }
}

// The stacking loop pops every particle into one part: whatever the part held before, it comes out as a
// freshly popped record would.
TEST(AveragedParameters, PopIntoAReusedPartEqualsAFreshPop) {
    for (std::size_t held : {0u, 1u, 3u, 5u}) {
        auto record = material(3.7, {1.3, 250.0, -4.0});
        auto reference = record;
        AveragedParameters part = material(9.0, std::vector<double>(held, 7.0));
        record.pop(1.1, part);
        const auto fresh = reference.pop(1.1);
        EXPECT_EQ(part.volume, fresh.volume) << held;
        EXPECT_EQ(part.sums, fresh.sums) << held;
        EXPECT_EQ(record.volume, reference.volume) << held;
        EXPECT_EQ(record.sums, reference.sums) << held;
    }
}
