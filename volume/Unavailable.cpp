// Operations whose implementation has not landed yet. Each logs that it is not
// available and answers failure; each moves to its own source file when built.
#include "host/EvDebug.h"
#include "volume/KZVolume.h"

namespace {
EvDebug g_log;
}

bool KZVolumeUnix::NotAvailable(const char* context) {
    m_strErrorString.clear();
    g_log.Error(context, "not available in this build of the library\n");
    return false;
}

bool KZVolumeUnix::FSpodSnap(kz_subclient_contentlist*) {
    return NotAvailable("KZVolumeUnix::FSpodSnap:");
}
bool KZVolumeUnix::UnmountUnsnapAll(kz_subclient_contentlist*) {
    return NotAvailable("KZVolumeUnix::UnmountUnsnapAll:");
}
bool KZVolumeUnix::DumpMetadataInformation(char*, char*, char*, char*, char*, char*,
                                           unsigned long) {
    return NotAvailable("KZVolumeUnix::DumpMetadataInformation:");
}
bool KZVolumeUnix::DumpVolumeInfo(char*, char*, unsigned long, int, int) {
    return NotAvailable("DumpVolumeInfo:");
}
bool KZVolumeUnix::DumpACLInfo(char*, unsigned long long, int, int*, unsigned int*) {
    return NotAvailable("KZVolumeUnix::DumpACLInfo:");
}
bool KZVolumeUnix::MountSnap(char*, std::string&) {
    return NotAvailable("KZVolumeUnix::MountSnap:");
}
