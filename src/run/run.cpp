// Placeholder until the run order lands.
#include "run/run.h"

int RunMain(int, char**, const BuildForm&)
{
    return kResultEarlyEnd;
}
