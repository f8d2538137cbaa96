// The host links fixture with the mark group at level 3 and the launch parameters emptied; what
// the start and the login printed is kept.
#pragma once

#include <string>

#include "cmd_group_util.h"
#include "tessel/core/config_stores.h"
#include "testkit/host_links_fixture.h"

namespace grouplink {

class LinkHostTest : public hostlinks::HostLinksTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    // Launch parameters would override the login file.
    for (const char* key : {"serverip", "serverip2", "account", "password"})
      GetExeParamStore().SetStringString(key, "");
    testkit::cStdoutCapture capture;
    StartLinks(100, 3, "s3cretpw");
    m_started = capture.Text();
  }
  void TearDown() override {
    testkit::cStdoutCapture quiet;
    HostLinksTest::TearDown();
  }

  std::string m_started;  // what the start and the login printed
};

}  // namespace grouplink
