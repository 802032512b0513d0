// The reader's two exported entry points.
#include "host/EvDebug.h"
#include "rdfd/RDFD.h"

bool RDFDInterfaceForImgPod(char*, ReadCallBack, void*, GetInodeAnameMappingCallBack, void*, char*,
                            char*, char*, unsigned int, int, int, bool, QuitCheckCallBack, void*) {
    EvDebug().Error("RDFDInterfaceForImgPod", "not available");
    return false;
}

bool RDFDInterfaceForVirtualPod(char*, ReadCallBack, void*, GetInodeAnameMappingCallBack, void*,
                                char*, std::string*, char*, unsigned int, char*, char*, bool*,
                                QuitCheckCallBack, int, void*) {
    EvDebug().Error("RDFDInterfaceForVirtualPod", "not available");
    return false;
}
