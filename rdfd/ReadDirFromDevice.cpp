// The abstract reader's construction check and directory filter.
#include "rdfd/ReadDirFromDevice.h"

#include <algorithm>

#include "host/EvDebug.h"
#include "rdfd/RDFDException.h"

ReadDirFromDevice::ReadDirFromDevice(ReadCallBack readCallBack, void* readContext,
                                     unsigned int extentSize, std::list<std::string>* filterList)
    : m_nExtentSize(extentSize),
      m_pReadCallBack(readCallBack),
      m_pReadContext(readContext),
      m_pFilterList(filterList) {
    if (readCallBack == nullptr) {
        auto* e =
            new RDFDException(RDFD_EXC_APPLICATION, "Improper usage . ReadCallBack cannot be NULL");
        EvDebug().Error("ReadDirFromDevice :: ReadDirFromDevice", "%s", e->GetErrorMsg());
        throw e;
    }
}

bool ReadDirFromDevice::IsFiltered(const char* name) const {
    if (m_pFilterList == nullptr)
        return false;
    return std::find(m_pFilterList->begin(), m_pFilterList->end(), name) != m_pFilterList->end();
}
