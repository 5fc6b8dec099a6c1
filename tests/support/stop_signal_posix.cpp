// The POSIX stop handlers: a signal only records the request, the process
// goes on so that the run can end cleanly.
#include <signal.h>

#include "support/stop_request.h"
#include "support/support_fixture.h"

namespace {

TEST(StopSignal, SignalsAreRecordedNotFatal)
{
    struct Case {
        int signalNumber;
        int exitStatus;
    };
    for (const Case c : {Case{SIGINT, 130}, Case{SIGTERM, 143}, Case{SIGHUP, 129}}) {
        ClearStopRequest();
        InstallStopHandlers();
        ASSERT_EQ(raise(c.signalNumber), 0);
        EXPECT_TRUE(StopRequested()) << c.signalNumber;
        EXPECT_EQ(StopExitStatus(), c.exitStatus);
    }
    ClearStopRequest();
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        signal(signalNumber, SIG_DFL);
    }
}

}  // namespace
