#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "metrics/metrics.h"

using namespace orbisk;

TEST(Metrics, Placeholder) { EXPECT_EQ(euclidean_distance(std::vector<double>{0, 0}, std::vector<double>{3, 4}), 5.0); }
