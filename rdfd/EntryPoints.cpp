// The reader's exported entry points. Each builds its reader, validates the file
// system, runs the walk and destroys the reader before it returns; every exception
// ends here as a false result (reader exceptions with their text logged and, when
// the caller asks, handed back).
#include <cstring>
#include <memory>

#include "rdfd/OptimizedExt3Parser.h"
#include "rdfd/RDFD.h"
#include "rdfd/ReadExt3DirFromDevice.h"
#include "rdfd/ReaderSupport.h"

using kzvol::rdfd::ReaderLog;
using kzvol::rdfd::Throw;

namespace {

const char kImgPodContext[] = "RDFDInterfaceForImgPod";
const char kVirtualPodContext[] = "RDFDInterfaceForVirtualPod";
constexpr unsigned int kRootInode = 2;
constexpr unsigned int kImgPodCacheSize = 4194304;
constexpr unsigned int kImgPodCacheBuffers = 512;
constexpr unsigned int kVirtualPodCacheSize = 131072;
constexpr unsigned int kVirtualPodCacheBuffers = 2;

bool Is(const char* text, const char* expected) {
    return text != nullptr && std::strcmp(text, expected) == 0;
}

// Runs `walk`, answering true when it returns. A reader exception is logged under
// `context`, copied to `failure` (may be null) and released; any other exception
// is answered with false and no log line, `failure` then saying "UnHandled Exception".
template <typename Walk>
bool Guarded(const char* context, RDFDException* failure, Walk&& walk) {
    try {
        return walk();
    } catch (RDFDException* e) {
        ReaderLog().Error(context, "%s", e->GetErrorMsg());
        if (failure != nullptr)
            *failure = *e;
        delete e;
    } catch (...) {
        if (failure != nullptr)
            *failure = RDFDException(RDFD_EXC_SYSTEM, "UnHandled Exception");
    }
    return false;
}

}  // namespace

bool RDFDInterfaceForImgPod(char* rootName, ReadCallBack readCallBack, void* readContext,
                            GetInodeAnameMappingCallBack mapCallBack, void* mapContext,
                            char* dumpPath, char* fsTypeName, char* platform,
                            unsigned int extentSize, int aclEnabled, int seLinuxEnabled,
                            bool namesOnly, QuitCheckCallBack quitCallBack, void* quitContext,
                            RDFDException* failure, ReadAheadCallBack readAhead,
                            ResidentCallBack resident) {
    std::unique_ptr<ReadExt3DirFromDevice> reader;  // outlives the failure's log line
    return Guarded(kImgPodContext, failure, [&] {
        if (!Is(platform, "linux")) {
            ReaderLog().Error(kImgPodContext, "UnSupported Platform");
            Throw(RDFD_EXC_APPLICATION, "UnSupported Platform");
        }
        if (!Is(fsTypeName, "ext3")) {
            ReaderLog().Error(kImgPodContext, "Only ext3 is supported ");
            Throw(RDFD_EXC_APPLICATION, "Only ext3 is supported");
        }
        reader = std::make_unique<ReadExt3DirFromDevice>(
            readCallBack, readContext, quitCallBack, 0, quitContext, extentSize, namesOnly,
            kImgPodCacheSize, kImgPodCacheBuffers, nullptr);
        reader->SetReadAhead(readAhead, resident);
        reader->SetAclEnabled(static_cast<unsigned int>(aclEnabled));
        reader->SetSELinuxEnabled(static_cast<unsigned int>(seLinuxEnabled));
        reader->ValidateFileSystem(dumpPath, nullptr, nullptr);
        reader->GetInodeAnameMapping(mapCallBack, mapContext, rootName, kRootInode);
        reader.reset();
        return true;
    });
}

bool RDFDInterfaceForImgPod(char* rootName, ReadCallBack readCallBack, void* readContext,
                            GetInodeAnameMappingCallBack mapCallBack, void* mapContext,
                            char* dumpPath, char* fsTypeName, char* platform,
                            unsigned int extentSize, int aclEnabled, int seLinuxEnabled,
                            bool namesOnly, QuitCheckCallBack quitCallBack, void* quitContext) {
    return RDFDInterfaceForImgPod(rootName, readCallBack, readContext, mapCallBack, mapContext,
                                  dumpPath, fsTypeName, platform, extentSize, aclEnabled,
                                  seLinuxEnabled, namesOnly, quitCallBack, quitContext, nullptr);
}

bool RDFDInterfaceForVirtualPod(char* rootName, ReadCallBack readCallBack, void* readContext,
                                GetInodeAnameMappingCallBack mapCallBack, void* mapContext,
                                char* dumpPath, std::string* fsType, char*, unsigned int extentSize,
                                char*, char*, bool* isSupported, QuitCheckCallBack quitCallBack,
                                int quitArgument, void* quitContext, RDFDException* failure,
                                ReadAheadCallBack readAhead, ResidentCallBack resident) {
    std::unique_ptr<OptimizedExt3Parser> parser;  // outlives the failure's log line
    return Guarded(kVirtualPodContext, failure, [&] {
        parser = std::make_unique<OptimizedExt3Parser>(
            readCallBack, readContext, quitCallBack, quitArgument, quitContext, extentSize, false,
            kVirtualPodCacheSize, kVirtualPodCacheBuffers, nullptr);
        parser->SetReadAhead(readAhead, resident);
        parser->ValidateFileSystem(dumpPath, isSupported, fsType);
        if (parser->GetInodeAnameMapping(mapCallBack, mapContext, rootName, kRootInode) == -1)
            return false;
        parser.reset();
        if (fsType != nullptr)
            *fsType = "ext3";
        return true;
    });
}

bool RDFDInterfaceForVirtualPod(char* rootName, ReadCallBack readCallBack, void* readContext,
                                GetInodeAnameMappingCallBack mapCallBack, void* mapContext,
                                char* dumpPath, std::string* fsType, char* unused1,
                                unsigned int extentSize, char* unused2, char* unused3,
                                bool* isSupported, QuitCheckCallBack quitCallBack, int quitArgument,
                                void* quitContext) {
    return RDFDInterfaceForVirtualPod(rootName, readCallBack, readContext, mapCallBack, mapContext,
                                      dumpPath, fsType, unused1, extentSize, unused2, unused3,
                                      isSupported, quitCallBack, quitArgument, quitContext,
                                      nullptr);
}
