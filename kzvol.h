// Umbrella header: everything a caller of libkzvol.so can use. The volume object
// and its free functions, the filter driver's records and requests, the directory
// reader's entry points and the callbacks that feed the file-index table, the
// extent checksums, and the host services interface (kzvol::Env) a caller may
// replace.
#pragma once

#include "checksum/CheckSum.h"
#include "checksum/FileIO.h"
#include "checksum/KyException.h"
#include "filter/CreateDevArg.h"
#include "filter/DriverChannel.h"
#include "filter/FstabRewrite.h"
#include "filter/QnbfConfig.h"
#include "filter/QnbfLookup.h"
#include "filter/QnbfProtocol.h"
#include "filter/QnbfVolInfo.h"
#include "filter/SnapFiles.h"
#include "host/CCreateUNIXFSTree.h"
#include "host/Env.h"
#include "host/Export.h"
#include "host/KZJobCtrlClient.h"
#include "metadata/AclDump.h"
#include "metadata/ContentList.h"
#include "metadata/ContentSnap.h"
#include "metadata/DirectoryWalk.h"
#include "metadata/MountProbes.h"
#include "metadata/ReaderCallBacks.h"
#include "rdfd/RDFD.h"
#include "rdfd/RDFDCallBacks.h"
#include "rdfd/RDFDException.h"
#include "volume/DeviceProbe.h"
#include "volume/HandlerScript.h"
#include "volume/KZVolume.h"
#include "volume/MountTable.h"
