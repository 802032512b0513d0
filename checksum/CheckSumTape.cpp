// CheckSum: the tape-hash merge of a restarted job. The earlier attempt's HashTmp
// (still on disk, InitializeBackup has not truncated it yet) gives the digests of the
// extents it wrote to tape; the older HashOnTape gives those beyond. The new file is
// built beside the old one and renamed over it, so a failure leaves the old intact.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>

#include "checksum/CheckSum.h"
#include "checksum/CheckSumInternal.h"

using kzvol::checksum::LogAnyAndRethrow;
using kzvol::checksum::PathExists;

namespace {

EvDebug g_log;

constexpr const char* kCtxTape = "CheckSum :: UpdateHashOnTape";
constexpr int kModeWriteTruncate = O_WRONLY | O_CREAT | O_TRUNC;

}  // namespace

void CheckSum::UpdateHashOnTape() {
    LogAnyAndRethrow(g_log, kCtxTape, [&] {
        g_log.DebugLvl(kCtxTape, 2, "LastExtent=%lld HashOnTape[%s]", m_llLastExtent,
                       m_strHashOnTapePath.c_str());
        if (m_llLastExtent == -1) {
            g_log.DebugLvl(kCtxTape, 2, "LastExtent == -1 , copy TmpHashFile as the HashOnTape");
            RenameToHashOnTape(m_strHashTmpPath);
            return;
        }
        if (!PathExists(m_strHashTmpPath))
            return;
        g_log.DebugLvl(kCtxTape, 2, "Updating Hash On Tape");
        {
            FileIO merged(m_strHashOnTapeTmpPath, kModeWriteTruncate);
            FileIO attempt(m_strHashTmpPath, O_RDONLY);
            CopyRecords(attempt, merged, false);
            attempt.Close();
            if (PathExists(m_strHashOnTapePath)) {
                FileIO older(m_strHashOnTapePath, O_RDONLY);
                CopyRecords(older, merged, true);
                older.Close();
            }
            merged.Close();
        }
        RenameToHashOnTape(m_strHashOnTapeTmpPath);
    });
}

void CheckSum::CopyRecords(FileIO& from, FileIO& to, bool beyond) {
    const auto last = static_cast<unsigned long long>(m_llLastExtent);
    while (ReadRecord(from) == Record::kRead) {
        const bool isBeyond = GetExtent(m_pLine.get()) > last;
        if (isBeyond && !beyond)
            return;
        if (isBeyond == beyond)
            WriteRecord(to, m_pLine.get(), m_pRecord.get());
    }
}

void CheckSum::RenameToHashOnTape(const std::string& source) {
    if (::rename(source.c_str(), m_strHashOnTapePath.c_str()) == 0)
        return;
    g_log.Error(kCtxTape, "Could not rename [%s] to [%s]. errno:%d", source.c_str(),
                m_strHashOnTapePath.c_str(), errno);
    throw KyException(kCtxTape, KY_SYSTEM_EXCEPTION, "Rename of HashOnTape failed");
}
