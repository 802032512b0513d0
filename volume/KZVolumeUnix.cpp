// KZVolumeUnix: construction, destruction, the quit flag and the installation lookups.
#include <cstdlib>

#include "filter/DriverChannel.h"
#include "host/EvDebug.h"
#include "host/KZPI_Focus.h"
#include "host/KZPlatformInfo.h"
#include "volume/KZVolume.h"

void KZVolumeUnix::InitUnix() {
    m_pszMntFsName = m_pszMntDir = m_pszMntType = m_pszMntOpts = nullptr;
    m_hVolume = -1;
    m_hSnapVolume = -1;
    m_QnbfNodeMinorno = -1;
    m_bDirect = false;
    m_bExtraMetadataLog = 0;
    m_bOther = false;
}

KZVolumeUnix::KZVolumeUnix(int a, int b, int c) : KZVolume(a, b, c) {
    InitUnix();
}

KZVolumeUnix::KZVolumeUnix(const std::string& name) : KZVolume(name) {
    InitUnix();
}

KZVolumeUnix::KZVolumeUnix(const std::string& device, const std::string& snapId, bool direct,
                           bool other)
    : KZVolume(direct ? device : std::string(kzvol::kQnbfAdminNode)) {
    InitUnix();
    m_bDirect = direct;
    m_bOther = other;
    m_strSnapId = snapId;
    if (!direct)
        QNBFSetMinorno(device);
    m_strDeviceName = device;
}

KZVolumeUnix::KZVolumeUnix(int fd) : KZVolume() {
    InitUnix();
    m_hVolume = fd;
    if (fd == -1)
        m_bValid = false;
}

KZVolumeUnix::~KZVolumeUnix() {
    // The remembered mount is dropped first, so the Unlock below never mounts.
    ReleaseMountStrings();
    Unlock();
    Close();
    m_QnbfNodeMinorno = -1;
}

void KZVolumeUnix::ReleaseMountStrings() {
    for (char** s : {&m_pszMntFsName, &m_pszMntDir, &m_pszMntType, &m_pszMntOpts}) {
        std::free(*s);
        *s = nullptr;
    }
}

bool KZVolumeUnix::QuitNow() {
    return m_pJobCtrlClient && m_pJobCtrlClient->checkQuitFlag();
}

int QuitFlagCheck(int, void* volume, void* quit) {
    auto* vol = static_cast<KZVolumeUnix*>(volume);
    *static_cast<bool*>(quit) = vol->QuitNow();
    return 0;
}

namespace {
bool LookUp(const std::string& section, const char* key, char* buffer, int* length) {
    KZPlatformInfo info;
    return info.getString(section.c_str(), key, buffer, length) != 0;
}
}  // namespace

bool KZVolumeUnix::get_job_results_dir(char* buffer, int* length) {
    return LookUp("Machines/" + m_strClntDisplayName, "dJOBRESULTSDIR", buffer, length);
}

bool KZVolumeUnix::get_base_dir(char* buffer, int* length) {
    return LookUp("Base", "dBASEHOME", buffer, length);
}

bool KZVolumeUnix::get_log_dir(char* buffer, int* length) {
    return LookUp("EventManager", "dEVLOGDIR", buffer, length);
}

bool KZVolumeUnix::get_instance(std::string& name) {
    name = KZPI_Focus::getFocus();
    return !name.empty();
}
