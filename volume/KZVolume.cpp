// The KZVolume base: construction and the operations the base implements itself.
#include "volume/KZVolume.h"
#include "host/EvDebug.h"
#include "host/FXString.h"

void KZVolume::InitCommon() {
    m_pJobCtrlClient = nullptr;
    m_bSkipSnapMount = false;
    m_nBlockSize = 0;
    m_nFirstBlock = 0;
    m_nTotalBlocks = 0;
    m_nPendingIO = 0;
    m_bValid = true;
    m_bVolInfoValid = false;
    m_bLocked = false;
}

KZVolume::KZVolume(int a, int b, int) : m_nId1(a), m_nId2(b), m_bOwnHandle(true) {
    InitCommon();
}

KZVolume::KZVolume(const std::string& name) : m_nId1(-1), m_nId2(-1), m_strVolName(name) {
    FXString::RemoveRight(m_strVolName, "/");
    m_bOwnHandle = true;
    InitCommon();
}

KZVolume::KZVolume() : m_nId1(-1), m_nId2(-1), m_bOwnHandle(false) {
    InitCommon();
}

KZVolume::~KZVolume() = default;

std::string KZVolume::BuildSliceNameForUnixFileLock(std::string&) {
    return std::string();
}
