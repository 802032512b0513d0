// The abstract on-disk directory reader: what every file-system specific reader
// holds (the read callback, the extent size, an optional filter list of directory
// names, the mapping callback once the walk starts) and its two operations.
// Objects are destroyed through their own type, never through this base.
#pragma once

#include <list>
#include <string>

#include "host/Export.h"
#include "rdfd/RDFDCallBacks.h"

class KZVOL_API ReadDirFromDevice {
  public:
    // Throws RDFDException* code 0 when `readCallBack` is null. The filter list is
    // borrowed and may be null.
    ReadDirFromDevice(ReadCallBack readCallBack, void* readContext, unsigned int extentSize,
                      std::list<std::string>* filterList);

    // Reads and checks the file system's geometry; throws RDFDException* on failure.
    virtual void ValidateFileSystem(char* dumpPath, bool* isSupported, std::string* fsType) = 0;
    // Reports every directory, file and link below `rootInode`; 0 on completion,
    // -1 when a lower level gave up; failures are thrown as RDFDException*.
    virtual int GetInodeAnameMapping(GetInodeAnameMappingCallBack callBack, void* context,
                                     char* rootName, unsigned int rootInode) = 0;

    // True when a filter list was given and holds `name` exactly: such a
    // sub-directory is neither reported nor walked.
    bool IsFiltered(const char* name) const;

  protected:
    ~ReadDirFromDevice() = default;

    unsigned int m_nExtentSize;
    ReadCallBack m_pReadCallBack;
    void* m_pReadContext;
    std::list<std::string>* m_pFilterList;
    GetInodeAnameMappingCallBack m_pMapCallBack = nullptr;
    void* m_pMapContext = nullptr;
};
