// CheckSum: decides per extent of an image backup whether it must be sent, from the
// SHA-512 digest of its data. Every extent checked is recorded in the job's HashTmp
// file; a restarted job skips extents whose digest equals the one its earlier
// attempt put on tape (HashOnTape), and a backup of type 1 skips extents whose digest
// equals the previous backup's (Hash). The files live in "<job results>/CheckSum".
//
// Use: construct, InitializeScan, InitializeBackup, then ShouldThisExtentBeBackedUp
// for every extent in ascending extent order, then destroy (which closes the files).
// The public operations never throw: they answer false and log the cause. When the
// answer is unknown the extent is sent.
//
// Threads: one object per volume and job, used from one thread; files are not locked.
//
// Hash file record: extent name, '\n', 64-byte raw SHA-512 digest, '\n'. The extent
// number of a name is the decimal number after its last 't' ("extent0000000005" is 5).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "checksum/FileIO.h"
#include "host/Export.h"

enum CheckSumBackupType : int32_t {
    // Every extent counts as changed unless a restarted job's tape records vouch for it.
    CHECKSUM_BACKUP_FULL = 0,
    // Extents equal to the previous backup's Hash file are not sent.
    CHECKSUM_BACKUP_COMPARE = 1,
};

class KZVOL_API CheckSum {
  public:
    static constexpr int kDigestSize = 64;

    // Builds the paths; no file is touched. Every "/" of `name` becomes "_".
    CheckSum(std::string name, std::string jobResultsFolder, CheckSumBackupType type,
             unsigned long long tapeFileNumber, bool restarted);
    ~CheckSum();
    CheckSum(const CheckSum&) = delete;
    CheckSum& operator=(const CheckSum&) = delete;

    // Makes sure the CheckSum directory exists; for a restarted job, merges the earlier
    // attempt's HashTmp (extents up to `lastExtent`, -1 for all) into HashOnTape.
    bool InitializeScan(long long lastExtent);
    // Opens HashOnTape (when present), Hash (type 1; it must exist) and a fresh HashTmp.
    bool InitializeBackup();
    // Records the extent's digest in HashTmp and sets *backUp to whether it must be
    // sent. True when *backUp is a real answer; on false *backUp is true.
    bool ShouldThisExtentBeBackedUp(std::string extentName, const char* data, int length,
                                    bool* backUp);
    // The 64-byte digest of the extent last given to ShouldThisExtentBeBackedUp; it
    // describes that extent only when the call answered true.
    const char* LastDigest() const { return m_pDigest.get(); }

    const std::string& CheckSumDir() const { return m_strCheckSumDir; }
    const std::string& HashTmpPath() const { return m_strHashTmpPath; }
    const std::string& HashPath() const { return m_strHashPath; }
    const std::string& HashOnTapePath() const { return m_strHashOnTapePath; }
    const std::string& HashOnTapeTmpPath() const { return m_strHashOnTapeTmpPath; }

  protected:
    // The inner steps; each logs what it throws and rethrows.
    // Compares with the previous backup (type 1) or answers "changed" (type 0).
    bool DidThisExtentChange(std::string extentName, const char* digest, bool* changed);
    // Forward-only lookup of the extent's record in `reader`: true with the digest in
    // *digestOut when found; a record beyond the extent is left for the next lookup.
    bool GetHash(FileIO* reader, std::string extentName, char** digestOut);
    // SHA-512 of the data into the 64 bytes at *digestOut.
    void CalculateHash(const char* data, int length, char** digestOut);
    // Builds this job's HashOnTape from the earlier attempt's HashTmp.
    void UpdateHashOnTape();
    // Extent number of a record name.
    static unsigned long long GetExtent(const char* name);

  private:
    enum class Record { kRead, kEnd, kDamaged };
    // Reads one record into the line and record buffers.
    Record ReadRecord(FileIO& reader);
    void WriteRecord(FileIO& writer, const std::string& name, const char* digest);
    // Copies records of `from` to `to`: those up to the last extent, stopping at the
    // first beyond it (`beyond` false), or only those beyond it (`beyond` true).
    void CopyRecords(FileIO& from, FileIO& to, bool beyond);
    void RenameToHashOnTape(const std::string& source);

    CheckSumBackupType m_eBackupType;
    std::string m_strName;
    std::string m_strJobResultsFolder;
    unsigned long long m_ullTapeFileNumber;
    bool m_bRestarted;
    long long m_llLastExtent;
    std::string m_strCheckSumDir;
    std::string m_strHashTmpPath;
    std::string m_strHashPath;
    std::string m_strHashOnTapePath;
    std::string m_strHashOnTapeTmpPath;
    std::unique_ptr<FileIO> m_pHashTmpWriter;
    std::unique_ptr<FileIO> m_pHashOnTapeReader;
    std::unique_ptr<FileIO> m_pHashReader;
    bool m_bHashOnTapeAvailable;
    // Set while a tape merge is unfinished or after it failed: the HashOnTape on disk
    // then does not describe the tape, and no extent may be skipped because of it.
    bool m_bTapeMergeFailed;
    std::unique_ptr<char[]> m_pLine;       // 4096: a record's extent name
    std::unique_ptr<char[]> m_pDigest;     // 64: digest of the current extent
    std::unique_ptr<char[]> m_pRecord;     // 65: a record's digest and newline
    std::unique_ptr<char[]> m_pFoundHash;  // 64: digest found by a lookup
};
