// CheckSum: construction, the three public operations and the per-extent decision.
#include "checksum/CheckSum.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "checksum/CheckSumInternal.h"
#include "host/KzcSHA512.h"

using kzvol::checksum::AnswerFalseOnThrow;
using kzvol::checksum::IsDirectory;
using kzvol::checksum::kLineSize;
using kzvol::checksum::kRecordTail;
using kzvol::checksum::LogAnyAndRethrow;
using kzvol::checksum::PathExists;

namespace kzvol::checksum {

bool PathExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace kzvol::checksum

namespace {

EvDebug g_log;

constexpr const char* kCtxScan = "CheckSum :: InitializeScan";
constexpr const char* kCtxBackup = "CheckSum :: InitializeBackup";
constexpr const char* kCtxShould = "CheckSum :: ShouldThisExtentBeBackedUp";
constexpr const char* kCtxChanged = "CheckSum :: DidThisExtentChange";
constexpr const char* kCtxHash = "CheckSum :: CalculateHash";

constexpr int kModeWriteTruncate = O_WRONLY | O_CREAT | O_TRUNC;
// Search permission is needed to reach the hash files inside.
constexpr mode_t kCheckSumDirBits = 0755;

bool SameDigest(const char* a, const char* b) {
    return std::memcmp(a, b, CheckSum::kDigestSize) == 0;
}

// A name holding a newline, or too long for a reader's line buffer, would corrupt
// every record after its own.
void RequireRecordableName(const std::string& name) {
    if (name.size() < static_cast<size_t>(kLineSize) && name.find('\n') == std::string::npos)
        return;
    g_log.Error(kCtxShould,
                "Extent name [%.64s] cannot be recorded: it holds a newline or is "
                "longer than 4095 bytes",
                name.c_str());
    throw KyException(kCtxShould, KY_APPLICATION_EXCEPTION, "Improper Usage: ExtentName");
}

}  // namespace

CheckSum::CheckSum(std::string name, std::string jobResultsFolder, CheckSumBackupType type,
                   unsigned long long tapeFileNumber, bool restarted)
    : m_eBackupType(type),
      m_strName(std::move(name)),
      m_strJobResultsFolder(std::move(jobResultsFolder)),
      m_ullTapeFileNumber(tapeFileNumber),
      m_bRestarted(restarted),
      m_llLastExtent(-1),
      m_bHashOnTapeAvailable(false),
      m_bTapeMergeFailed(false),
      m_pLine(new char[kLineSize]),
      m_pDigest(new char[kDigestSize]),
      m_pRecord(new char[kRecordTail]),
      m_pFoundHash(new char[kDigestSize]) {
    std::replace(m_strName.begin(), m_strName.end(), '/', '_');
    m_strCheckSumDir = m_strJobResultsFolder + "/CheckSum";
    const std::string tape = "_" + std::to_string(m_ullTapeFileNumber);
    m_strHashTmpPath = m_strCheckSumDir + "/HashTmp" + m_strName;
    m_strHashPath = m_strCheckSumDir + "/Hash" + m_strName;
    m_strHashOnTapePath = m_strCheckSumDir + "/HashOnTape" + m_strName + tape;
    m_strHashOnTapeTmpPath = m_strCheckSumDir + "/HashOnTapeTmp" + m_strName + tape;
}

CheckSum::~CheckSum() = default;

bool CheckSum::InitializeScan(long long lastExtent) {
    return AnswerFalseOnThrow(g_log, kCtxScan, [&] {
        if (!IsDirectory(m_strJobResultsFolder)) {
            g_log.Error(kCtxScan, "JobResults folder [%s]  does not exist",
                        m_strJobResultsFolder.empty() ? "NULL" : m_strJobResultsFolder.c_str());
            return false;
        }
        if (!PathExists(m_strCheckSumDir)) {
            g_log.Debug(kCtxScan, "CheckSumDir [%s]  does not exist.", m_strCheckSumDir.c_str());
            if (::mkdir(m_strCheckSumDir.c_str(), kCheckSumDirBits) != 0) {
                // Another process may have created it meanwhile; anything else there fails.
                const int err = errno;
                if (!(err == EEXIST && IsDirectory(m_strCheckSumDir))) {
                    g_log.Error(kCtxScan, "Could not create CheckSumDir[%s]. errno:%d",
                                m_strCheckSumDir.c_str(), err);
                    return false;
                }
            }
        }
        if (!m_bRestarted)
            return true;
        g_log.DebugLvl(kCtxScan, 2,
                       "This is a restarted job. Updating hash on tape.LastExtent:%lld",
                       lastExtent);
        m_llLastExtent = lastExtent;
        m_bTapeMergeFailed = true;
        UpdateHashOnTape();
        m_bTapeMergeFailed = false;
        return true;
    });
}

bool CheckSum::InitializeBackup() {
    return AnswerFalseOnThrow(g_log, kCtxBackup, [&] {
        m_bHashOnTapeAvailable = false;
        m_pHashOnTapeReader.reset();
        m_pHashReader.reset();
        m_pHashTmpWriter.reset();
        if (!m_bTapeMergeFailed && PathExists(m_strHashOnTapePath)) {
            m_pHashOnTapeReader = std::make_unique<FileIO>(m_strHashOnTapePath, O_RDONLY);
            m_bHashOnTapeAvailable = true;
        }
        if (m_eBackupType == CHECKSUM_BACKUP_COMPARE) {
            if (!PathExists(m_strHashPath)) {
                g_log.Error(kCtxBackup, "Hash File does not exist for [%s]", m_strName.c_str());
                return false;
            }
            m_pHashReader = std::make_unique<FileIO>(m_strHashPath, O_RDONLY);
        }
        m_pHashTmpWriter = std::make_unique<FileIO>(m_strHashTmpPath, kModeWriteTruncate);
        return true;
    });
}

bool CheckSum::ShouldThisExtentBeBackedUp(std::string extentName, const char* data, int length,
                                          bool* backUp) {
    if (backUp)
        *backUp = true;
    return AnswerFalseOnThrow(g_log, kCtxShould, [&] {
        if (!backUp || !m_pHashTmpWriter) {
            g_log.Error(kCtxShould, "Called without an answer or before InitializeBackup");
            throw KyException(kCtxShould, KY_APPLICATION_EXCEPTION, "Improper Usage");
        }
        RequireRecordableName(extentName);
        char* digest = m_pDigest.get();
        CalculateHash(data, length, &digest);
        WriteRecord(*m_pHashTmpWriter, extentName, digest);
        if (m_bRestarted && m_bHashOnTapeAvailable) {
            char* found = m_pFoundHash.get();
            if (GetHash(m_pHashOnTapeReader.get(), extentName, &found)) {
                if (SameDigest(found, digest)) {
                    g_log.DebugLvl(kCtxShould, 2,
                                   "Hash of [%s] did not change after the last attempt",
                                   extentName.c_str());
                    *backUp = false;
                } else {
                    g_log.DebugLvl(kCtxShould, 2, "Hahs of [%s] has changed from the last attempt",
                                   extentName.c_str());
                }
                return true;
            }
            g_log.DebugLvl(kCtxShould, 2, "Hash for [%s] is not avilable in the HashOnTape",
                           extentName.c_str());
        }
        return DidThisExtentChange(extentName, digest, backUp);
    });
}

bool CheckSum::DidThisExtentChange(std::string extentName, const char* digest, bool* changed) {
    return LogAnyAndRethrow(g_log, kCtxChanged, [&] {
        switch (m_eBackupType) {
            case CHECKSUM_BACKUP_FULL:
                *changed = true;
                return true;
            case CHECKSUM_BACKUP_COMPARE: {
                char* found = m_pFoundHash.get();
                const bool known = GetHash(m_pHashReader.get(), extentName, &found);
                *changed = !(known && SameDigest(found, digest));
                return true;
            }
        }
        g_log.Error(kCtxChanged, "Unsupported backup type .");
        throw KyException(kCtxChanged, KY_APPLICATION_EXCEPTION,
                          "Improper Usage: Backuptype not supported");
    });
}

void CheckSum::CalculateHash(const char* data, int length, char** digestOut) {
    LogAnyAndRethrow(
        g_log, kCtxHash,
        [&] {
            if (length < 0 || (!data && length > 0) || !digestOut || !*digestOut) {
                g_log.Error(kCtxHash, "No data to hash. Length:%d", length);
                throw KyException(kCtxHash, KY_APPLICATION_EXCEPTION, "Improper Usage");
            }
            KzcSHA512 sha;
            sha.reset();
            sha.addData(data, static_cast<size_t>(length));
            sha._finish(reinterpret_cast<unsigned char*>(*digestOut), kDigestSize);
        },
        "eRRoR -- %s");
}
