#include <gtest/gtest.h>

#include "Lldp/LLDPLimits.h"

TEST(LLDPLimitsShipped, ReadTimeout120sDeadline240s) {
    EXPECT_EQ(kLLDPReadTimeout.tv_sec, 120);
    EXPECT_EQ(kLLDPReadTimeout.tv_usec, 0);
    EXPECT_EQ(kLLDPDecodeDeadlineSeconds, 240);
}
