// Entry point: runs with the build form this executable was built for.
#include "run/run.h"

#ifndef ZOLK_CHIP_VALUE
#define ZOLK_CHIP_VALUE 0
#endif

int main(int argc, char** argv)
{
    return RunMain(argc, argv, BuildForm{ZOLK_CHIP_VALUE});
}
