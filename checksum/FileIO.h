// FileIO: one hash file, opened either for reading, through a 2 MiB read cache that
// serves line and fixed-length record reads, or for writing, with unbuffered appends.
// Every failure is thrown as a KyException (logged first); a false result from a
// read means end of file, never an error.
//
// Threads: an object belongs to one thread of the process that constructed it; a
// child process that inherited it across fork() is refused ("Improper Usage").
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "checksum/KyException.h"
#include "host/Export.h"

// Private helpers marked so stay inside the library: the reads call them directly
// (or inline them) rather than through the dynamic symbol table.
#define KZVOL_FILEIO_LOCAL __attribute__((visibility("hidden")))

class KZVOL_API FileIO {
  public:
    // Bytes of the read cache.
    static constexpr uint32_t kCacheSize = 2097152;

    // `mode` is one of O_RDONLY (0), O_WRONLY | O_CREAT | O_TRUNC (577) or
    // O_WRONLY | O_CREAT (65); files are created with permission bits 0644.
    // Throws when the mode is unsupported, a file to read is missing, or the open fails.
    FileIO(std::string path, int mode);
    // Closes the descriptor if still open; logs, never throws.
    ~FileIO();
    FileIO(const FileIO&) = delete;
    FileIO& operator=(const FileIO&) = delete;

    // Reads the next line, without its newline and NUL-terminated, into *buffer of
    // `size` bytes. False at end of file; a last line without a newline is not
    // delivered. Throws when the line and its NUL do not fit.
    bool ReadLine(char** buffer, int size);
    // Reads exactly `length` bytes into *buffer. False when the file ends first (the
    // bytes read so far stay in the buffer).
    bool ReadData(char** buffer, int length);
    // Writes `length` bytes at the descriptor's position with one write.
    bool WriteData(const char* data, int length);

    // Offset of the next byte a read delivers.
    long long GetCurOffset() const;
    // Positions the next read at `offset` from the start of the file.
    void SetCurOffset(long long offset);
    // Closes the descriptor; a second call only logs "Fd is not valid.".
    void Close();
    // Makes sure unread bytes are in the cache, reading the next 2 MiB when needed.
    // False at end of file. Read mode only.
    bool ValidateCache();

  private:
    void Open();
    bool HasUnreadBytes() const { return !m_bCacheInvalid && m_uCachePos < m_uCacheFill; }
    // Everything but a line found whole in the cache; kept out of line so that
    // ReadLine's common path stays short.
    KZVOL_FILEIO_LOCAL __attribute__((noinline)) bool ReadLineFully(char** buffer, int size);
    KZVOL_FILEIO_LOCAL bool CopyLine(char* out, size_t room);
    KZVOL_FILEIO_LOCAL bool CopyData(char* out, size_t want);

    std::string m_strPath;
    int m_nMode;
    int m_hFile;
    std::unique_ptr<char[]> m_pCache;
    bool m_bCacheInvalid;
    long long m_llFileOffset;
    uint32_t m_uCachePos;
    uint32_t m_uCacheFill;
    pid_t m_nOwnerPid;
    bool m_bEof;
};

#undef KZVOL_FILEIO_LOCAL
