// A port named by a stable link, as udev makes them under /dev/serial/by-id:
// the run opens the device behind it and names both.
#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

TEST(E2EPortLink, ByIdNameOpensTheDeviceBehindIt)
{
    Fixture fx;
    const fs::path byId = fx.Dir() / "dev/serial/by-id";
    fs::create_directories(byId);
    const std::string link = (byId / "usb-QEX_Board_0001-if00-port0").string();
    ASSERT_TRUE(fx.StartSim(BoardArgs(true, {"--link", link})));
    const std::string device = fx.Sim().PtyPath();
    // The fixture names the pseudo-terminal first; the last --port counts.
    const ProcessResult r = fx.Run({"--port", link, "--device-info"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("] Port " + link + " links to " + device + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("] Complete open port(" + device + ")\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Complete ZOLK\n"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace e2e
