// Sleep through the current Env.
#include "host/Sleep.h"

#include "host/Env.h"

void UXSLEEP_InTeRnAl(unsigned long milliseconds, const char* file, int line) {
    kzvol::CurrentEnv()->SleepMs(milliseconds, file, line);
}
