#include "tessel/link/login_throttle.h"

#include <gtest/gtest.h>

namespace {

// Answers an attempt at `now` when the throttle lets it; whether it did.
bool Try(cLoginThrottle& throttle, const std::string& address, const std::string& account,
         int64_t now, bool failed = true) {
  if (!throttle.MayAnswer(address, account, now)) return false;
  throttle.Begin(address, account, now);
  throttle.Answered(address, account, failed, now);
  return true;
}

// Five failures within a minute slow their address and their account: attempts are answered one
// at a time, 1, 2 and 4 s after the answer before, then after the cap, whoever sends them, and a
// right password too (no lockout). Other pairs go at once. A minute without failures forgets a
// key; one summary line per address tells what the minute held.
TEST(LoginThrottle, FiveFailuresSlowTheAddressAndTheAccountUntilAQuietMinute) {
  cLoginThrottle throttle(5000);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Try(throttle, "10.0.0.1", "ops", 100 * i));
  std::vector<int64_t> answered;
  for (int64_t now = 400; now <= 20000; now += 100)
    if (Try(throttle, "10.0.0.1", "ops", now)) answered.push_back(now);
  EXPECT_EQ(answered, (std::vector<int64_t>{1400, 3400, 7400, 12400, 17400}));
  EXPECT_FALSE(throttle.MayAnswer("10.0.0.2", "ops", 22399));
  EXPECT_FALSE(throttle.MayAnswer("10.0.0.1", "other", 22399));
  EXPECT_TRUE(throttle.MayAnswer("10.0.0.2", "other", 22399));
  // While one attempt is being answered the next waits, even once its delay has passed.
  throttle.Begin("10.0.0.2", "ops", 22400);
  EXPECT_FALSE(throttle.MayAnswer("10.0.0.3", "ops", 30000));
  throttle.Answered("10.0.0.2", "ops", false, 30000);
  EXPECT_FALSE(throttle.MayAnswer("10.0.0.3", "ops", 34999));
  EXPECT_TRUE(throttle.MayAnswer("10.0.0.3", "ops", 35000));
  throttle.Unanswered("10.0.0.1", 40000);
  EXPECT_EQ(throttle.TakeSummaries(59999), std::vector<std::string>{});
  EXPECT_EQ(throttle.TakeSummaries(60000),
            std::vector<std::string>{"login failures from 10.0.0.1 in the last minute: 10 "
                                     "failed, 1 not taken, accounts ops"});
  for (int64_t now = 77400; now < 77404; ++now) EXPECT_TRUE(Try(throttle, "10.0.0.1", "ops", now));
}

}  // namespace
