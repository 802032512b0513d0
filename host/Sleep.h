// The host sleep. The file name and line only label the wait for diagnostics.
#pragma once

void UXSLEEP_InTeRnAl(unsigned long milliseconds, const char* file, int line);

#define UXSLEEP(ms) UXSLEEP_InTeRnAl((ms), __FILE__, __LINE__)
