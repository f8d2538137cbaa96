// The metrics' address: only what the exposer takes as written is served on.
#include "tessel/host/metrics.h"

#include <gtest/gtest.h>

namespace {

TEST(Metrics, OnlyAnAddressWithAPortIsServedOnAsWritten) {
  for (const char* good : {"127.0.0.1:9464", "0.0.0.0:0", "[::1]:9464", "10.1.2.3:65535"})
    EXPECT_TRUE(cMetrics::IsAddress(good)) << good;
  for (const char* bad : {"9464", ":9464", "999.1.1.1:5", "127.0.0.1:65536", "127.0.0.1:",
                          "127.0.0.1:9x", "localhost:9464", "[::1:9464", "127.0.0.1 :9464"})
    EXPECT_FALSE(cMetrics::IsAddress(bad)) << bad;
}

}  // namespace
