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

bool KZVolumeUnix::SWSnapSynchronize(std::string, short) {
    return NotAvailable("KZVolumeUnix::SWSnapSynchronize:");
}
bool KZVolumeUnix::SWSnapUnsynchronize() {
    return NotAvailable("KZVolumeUnix::SWSnapUnsynchronize:");
}
bool KZVolumeUnix::SWSnapSetCacheConfig(int, unsigned long, unsigned long, int) {
    return NotAvailable("KZVolumeUnix::SWSnapSetCacheConfig:");
}
bool KZVolumeUnix::SWSnapFreezeSync(std::string, KZ_AppType) {
    return NotAvailable("KZVolumeUnix::SWSnapFreezeSync:");
}
bool KZVolumeUnix::SWSnapGetVolumeInfo(SnapVolInfo_t&) {
    return NotAvailable("KZVolumeUnix::SWSnapGetVolumeInfo:");
}
bool KZVolumeUnix::SWSnapGetSnapStatus() {
    return NotAvailable("KZVolumeUnix::SWSnapGetSnapStatus:");
}
bool KZVolumeUnix::SWSnapGetCachedExtents(std::vector<SnapCachedExtent_t>&, std::string) {
    return NotAvailable("KZVolumeUnix::SWSnapGetCachedExtents");
}
bool KZVolumeUnix::SWSnapRead(unsigned long long, unsigned long, char*, unsigned long&) {
    return NotAvailable("KZVolumeUnix::SWSnapRead:");
}
bool KZVolumeUnix::QNBFGetVolInfo(QNBFVolInfo_t&) {
    return NotAvailable("KZVolumeUnix::QNBFGetVolInfo");
}
bool KZVolumeUnix::QNBFGetVolBitmap(KZVBitmapType, unsigned char*, unsigned long, bool) {
    return NotAvailable("KZVolumeUnix::QNBFGetVolBitmap");
}
bool KZVolumeUnix::QNBFGetAndClrVolBitmap(KZVBitmapType, unsigned char*, unsigned long, bool) {
    return NotAvailable("KZVolumeUnix::QNBFGetAndClrVolBitmap");
}
bool KZVolumeUnix::QNBFSetVolBitmap(KZVBitmapType, unsigned char*) {
    return NotAvailable("KZVolumeUnix::QNBFSetVolBitmap");
}
bool KZVolumeUnix::QNBFClearVolBitmap(KZVBitmapType) {
    return NotAvailable("KZVolumeUnix::QNBFClearVolBitmap");
}
bool KZVolumeUnix::QNBFMergeVolBitmap(KZVBitmapType, unsigned char*, unsigned long) {
    return NotAvailable("KZVolumeUnix::QNBFMergeVolBitmap");
}
bool KZVolumeUnix::QNBFSaveVolBitmap(KZVBitmapType) {
    return NotAvailable("KZVolumeUnix::QNBFSaveVolBitmap");
}
bool KZVolumeUnix::QNBFPrepareDataBlock(std::string, qn_getdatablockbmp_arg*) {
    return NotAvailable("KZVolumeUnix::QNBFPrepareDataBlock:");
}
bool KZVolumeUnix::QNBFDeleteDevice(char*) {
    return NotAvailable("KZVolumeUnix::QNBFDeleteDevice:");
}
bool KZVolumeUnix::QNBFCreateDevice(CreateDevArg_t*) {
    return NotAvailable("KZVolumeUnix::QNBFCreateDevice:");
}
bool KZVolumeUnix::QNBFDumpAndClear(KZVBitmapType, unsigned char*, unsigned long) {
    return NotAvailable("KZVolumeUnix::QNBFDumpAndClear:");
}
bool KZVolumeUnix::OpenSnapVolume() {
    return NotAvailable("KZVolumeUnix::OpenSnapVolume:");
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
