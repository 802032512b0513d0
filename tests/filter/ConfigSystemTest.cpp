// The driver configuration file at its real place, in a private overlay of /etc.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "filter/QnbfConfig.h"
#include "tests/support/SystemHarness.h"

namespace kzvol::testing {
namespace {

class QnbfConfSystem : public SystemTest {};

TEST_F(QnbfConfSystem, ReadsTheDriverConfigurationFile) {
    std::string error;
    ASSERT_TRUE(OverlayDirectory("/etc", &error)) << error;
    char key[] = "SHARED_DIRECTORY=", value[1024] = "untouched";
    ::unlink("/etc/qnbf.conf");
    EXPECT_FALSE(search_qnbf_config(key, value) || std::string(value) != "untouched");
    ASSERT_TRUE(std::ofstream("/etc/qnbf.conf")
                << "QNBF_LOG_DIRECTORY=/var/log\nSHARED_DIRECTORY=  /shared\n");
    EXPECT_TRUE(search_qnbf_config(key, value) && std::string(value) == "/shared");
    ::unlink("/etc/qnbf.conf");
}

}  // namespace
}  // namespace kzvol::testing
