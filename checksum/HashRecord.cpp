// Hash file records: reading and writing one record, the extent number of a record
// name, and the forward-only lookup of an extent.
#include <cstdlib>
#include <cstring>

#include "checksum/CheckSum.h"
#include "checksum/CheckSumInternal.h"

using kzvol::checksum::kLineSize;
using kzvol::checksum::kRecordTail;
using kzvol::checksum::LogAnyAndRethrow;

namespace {

EvDebug g_log;

constexpr const char* kCtxGetExtent = "CheckSum ::  GetExtent";
constexpr const char* kCtxGetHash = "CheckSum :: GetHash";
constexpr size_t kShortestName = 10;

}  // namespace

unsigned long long CheckSum::GetExtent(const char* name) {
    return LogAnyAndRethrow(g_log, kCtxGetExtent, [&] {
        if (!name || std::strlen(name) < kShortestName) {
            g_log.Error(kCtxGetExtent, "Size of ExtentName is less than 10.%s",
                        name ? name : "NULL");
            throw KyException(kCtxGetExtent, KY_APPLICATION_EXCEPTION,
                              "Size of ExtentName is less than 10");
        }
        const char* t = std::strrchr(name, 't');
        const char* digits = t ? t + 1 : name;
        if (*digits == '\0') {
            g_log.Error(kCtxGetExtent, "Size of Number is zero.%s", name);
            throw KyException(kCtxGetExtent, KY_APPLICATION_EXCEPTION, "Size of Number is zero");
        }
        // Like atol into a 32-bit int, widened with its sign.
        const auto number = static_cast<int32_t>(std::strtol(digits, nullptr, 10));
        return static_cast<unsigned long long>(static_cast<long long>(number));
    });
}

CheckSum::Record CheckSum::ReadRecord(FileIO& reader) {
    char* line = m_pLine.get();
    char* tail = m_pRecord.get();
    if (!reader.ReadLine(&line, kLineSize) || !reader.ReadData(&tail, kRecordTail))
        return Record::kEnd;
    if (tail[kDigestSize] == '\n')
        return Record::kRead;
    g_log.Error(kCtxGetHash, "Record of [%s] does not end in a newline: the hash file is damaged",
                line);
    return Record::kDamaged;
}

void CheckSum::WriteRecord(FileIO& writer, const std::string& name, const char* digest) {
    writer.WriteData(name.data(), static_cast<int>(name.size()));
    writer.WriteData("\n", 1);
    writer.WriteData(digest, kDigestSize);
    writer.WriteData("\n", 1);
}

bool CheckSum::GetHash(FileIO* reader, std::string extentName, char** digestOut) {
    return LogAnyAndRethrow(g_log, kCtxGetHash, [&] {
        if (!reader || !digestOut || !*digestOut) {
            g_log.Error(kCtxGetHash, "No hash file to look [%s] up in", extentName.c_str());
            throw KyException(kCtxGetHash, KY_APPLICATION_EXCEPTION, "Improper Usage");
        }
        const unsigned long long target = GetExtent(extentName.c_str());
        for (;;) {
            const long long at = reader->GetCurOffset();
            // A damaged record cannot vouch for anything: the extent is not found.
            if (ReadRecord(*reader) != Record::kRead)
                return false;
            const unsigned long long extent = GetExtent(m_pLine.get());
            if (extent > target) {
                reader->SetCurOffset(at);
                return false;
            }
            if (extent == target) {
                std::memcpy(*digestOut, m_pRecord.get(), kDigestSize);
                return true;
            }
        }
    });
}
