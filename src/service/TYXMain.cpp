#include "service/TYXMain.h"

#include "service/TYXMainRun.h"

int32_t TYXMain(stServiceRun &run)
{
    CTYXMainRun mainRun(run);
    return mainRun.Run();
}
