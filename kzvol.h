// Umbrella header: everything a caller of libkzvol.so can use.
#pragma once

#include "host/AtomicFile.h"
#include "host/Env.h"
#include "host/EvDebug.h"
#include "host/EvEvent.h"
#include "host/FXString.h"
#include "host/KZJobCtrlClient.h"
#include "host/KZPI_Focus.h"
#include "host/KZPlatformInfo.h"
#include "host/KzException.h"
#include "host/KzMntTab.h"
#include "host/KzProcess.h"
#include "host/KzcSHA512.h"
#include "host/ShellQuote.h"
#include "host/Sleep.h"
#include "host/TraceFile.h"
#include "volume/KZVolume.h"
