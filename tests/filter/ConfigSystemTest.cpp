// The driver configuration file at its real place, /etc/qnbf.conf, in a private
// overlay of /etc.
#include <gtest/gtest.h>
#include <unistd.h>

#include "filter/QnbfConfig.h"
#include "tests/support/SystemHarness.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

class QnbfConfSystem : public SystemTest {};

TEST_F(QnbfConfSystem, ReadsTheDriverConfigurationFile) {
    std::string error;
    ASSERT_TRUE(OverlayDirectory("/etc", &error)) << error;
    char key[] = "SHARED_DIRECTORY=";
    char value[1024] = "untouched";
    ::unlink("/etc/qnbf.conf");
    EXPECT_FALSE(search_qnbf_config(key, value));
    EXPECT_STREQ(value, "untouched");

    ASSERT_EQ(RunCommandLine("printf 'QNBF_LOG_DIRECTORY=/var/log\\nSHARED_DIRECTORY=  /shared\\n'"
                             " > /etc/qnbf.conf"),
              0);
    ASSERT_TRUE(search_qnbf_config(key, value));
    EXPECT_STREQ(value, "/shared");
    ::unlink("/etc/qnbf.conf");
}

}  // namespace
}  // namespace kzvol::testing
