// The volume interface (KZVolume) and its Linux implementation (KZVolumeUnix).
// One object stands for one block device, or, in driver mode, for one volume under
// the qnbf filter driver reached through "/dev/qnbf/ctrl". The object owns its
// descriptors and the mount-table entry it unmounted; the job control client is
// borrowed. The order of the virtual operations is part of the interface.
//
// Threads: transfers may run on several threads at once (positioned I/O) and Close
// may be called from another thread while they are in flight; nothing else in the
// object is safe for concurrent use.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "host/Export.h"
#include "host/KZJobCtrlClient.h"
// The free functions beside the volume object.
#include "volume/HandlerScript.h"
#include "volume/MountTable.h"

// Records of the driver protocol and of callers, declared in their own headers.
struct qn_getdevicelist_arg;
struct qn_getdatablockbmp_arg;
struct CreateDevArg_t;
struct QNBFVolInfo_t;
struct kz_subclient_contentlist;

// The caller's choice of change bitmap.
enum KZVBitmapType { KZV_BITMAP_INCREMENTAL = 0, KZV_BITMAP_DIFFERENTIAL = 1 };

// Application type handed to SWSnapFreezeSync; not interpreted by the library.
enum KZ_AppType { KZ_APP_NONE = 0 };

// Caller's records for the snapshot queries that Linux does not implement; the
// library never looks inside them.
struct SnapVolInfo_t {
    unsigned long long reserved[4];
};
struct SnapCachedExtent_t {
    unsigned long long offset;
    unsigned long long length;
};

class KZVOL_API KZVolume {
  public:
    KZVolume(int a, int b, int c);
    explicit KZVolume(const std::string& name);
    KZVolume();
    virtual ~KZVolume();

    virtual bool Open() = 0;
    virtual bool Open(int mode) = 0;
    virtual bool Lock() = 0;
    virtual bool Unlock() = 0;
    virtual bool Close() = 0;
    virtual bool Read(unsigned long long offset, unsigned long count, char* buffer,
                      unsigned long& done) = 0;
    virtual bool Write(unsigned long long offset, unsigned long count, char* buffer,
                       unsigned long& done) = 0;
    virtual bool DiskRead(unsigned long long offset, unsigned int count, char* buffer,
                          unsigned int& done) = 0;
    virtual bool DiskWrite(unsigned long long offset, unsigned long count, char* buffer,
                           unsigned long& done) = 0;
    virtual bool IsOpen() = 0;
    virtual bool SWSnapSynchronize(std::string device, short ignored) = 0;
    virtual bool SWSnapUnsynchronize() = 0;
    virtual bool SWSnapSetCacheConfig(int, unsigned long, unsigned long, int) = 0;
    virtual bool SWSnapFreezeSync(std::string source, KZ_AppType type) = 0;
    virtual bool SWSnapGetVolumeInfo(SnapVolInfo_t& info) = 0;
    virtual bool SWSnapGetSnapStatus() = 0;
    virtual bool SWSnapGetCachedExtents(std::vector<SnapCachedExtent_t>& extents,
                                        std::string device) = 0;
    virtual bool SWSnapRead(unsigned long long block, unsigned long count, char* buffer,
                            unsigned long& done) = 0;
    virtual bool QNBFGetVolInfo(QNBFVolInfo_t& info) = 0;
    virtual bool QNBFGetVolBitmap(KZVBitmapType type, unsigned char* buffer, unsigned long size,
                                  bool flag) = 0;
    virtual bool QNBFGetAndClrVolBitmap(KZVBitmapType type, unsigned char* buffer,
                                        unsigned long size, bool flag) = 0;
    virtual bool QNBFSetVolBitmap(KZVBitmapType type, unsigned char* buffer) = 0;
    virtual bool QNBFClearVolBitmap(KZVBitmapType type) = 0;
    virtual bool QNBFMergeVolBitmap(KZVBitmapType type, unsigned char* buffer,
                                    unsigned long size) = 0;
    virtual bool QNBFSaveVolBitmap(KZVBitmapType type) = 0;
    virtual bool QNBFPrepareDataBlock(std::string ignored, qn_getdatablockbmp_arg* arg) = 0;
    virtual bool QNBFDeleteDevice(char* device) = 0;
    virtual bool QNBFCreateDevice(CreateDevArg_t* arg) = 0;
    virtual bool QNBFShowDevList(qn_getdevicelist_arg* list) = 0;
    virtual bool QNBFGetDeviceAttr(void* attr) = 0;
    virtual bool QNBFDumpAndClear(KZVBitmapType type, unsigned char* buffer,
                                  unsigned long size) = 0;
    virtual unsigned long long GetPhysicalOffsetForLogical(unsigned long long offset) = 0;
    virtual unsigned long long GetLogicalOffsetForPhysical(unsigned long long offset) = 0;
    virtual unsigned int GetBlockSize() = 0;
    virtual bool QNBFSetMinorno(std::string device) = 0;
    virtual bool ObtainUnixFileLock();
    virtual bool ReleaseUnixFileLock();
    virtual std::string BuildSliceNameForUnixFileLock(std::string& volume);
    virtual unsigned long long GetTotalVolumeBlocks(std::string volume);
    virtual unsigned long long GetTotalRawVolumeBlocks(std::string volume, std::string raw);
    virtual int GetVolInfo(unsigned long long& size) = 0;
    virtual bool IsDataBlockAvailable(std::string& fsType) = 0;
    virtual unsigned long long GetFsBlockSize() = 0;
    virtual int Seek(unsigned long long offset, int whence) = 0;

    std::string GetErrorString() const { return m_strErrorString; }
    std::string GetVolumeName() const { return m_strVolName; }
    bool IsValid() const { return m_bValid; }
    bool IsPendingIO() const { return m_nPendingIO.load() != 0; }
    void setClntDisplayName(const std::string& name) { m_strClntDisplayName = name; }
    void getClntDisplayName(std::string& out) const { out = m_strClntDisplayName; }

    // True when the device node `volume` belongs to the filter driver: its major
    // number is the admin node's.
    static bool isQNBFDevice(std::string volume);

    std::string m_strLockFilePath;
    KZJobCtrlClient* m_pJobCtrlClient;
    bool m_bSkipSnapMount;
    int m_nId1, m_nId2;
    std::string m_strVolName;
    std::string m_strClntDisplayName;
    unsigned int m_nBlockSize;
    unsigned long long m_nFirstBlock;
    unsigned long long m_nTotalBlocks;
    // Transfers in flight; raised and lowered around each attempt, read by Close
    // on another thread.
    std::atomic<unsigned int> m_nPendingIO;
    bool m_bValid;
    std::string m_strErrorString;
    bool m_bVolInfoValid;
    bool m_bOwnHandle;
    bool m_bLocked;

  private:
    void InitCommon();
};

class KZVOL_API KZVolumeUnix : public KZVolume {
  public:
    KZVolumeUnix(int a, int b, int c);
    explicit KZVolumeUnix(const std::string& name);
    KZVolumeUnix(const std::string& device, const std::string& snapId, bool direct, bool other);
    explicit KZVolumeUnix(int fd);
    ~KZVolumeUnix() override;

    bool Open() override;
    bool Open(int mode) override;
    bool Lock() override;
    bool Unlock() override;
    bool Close() override;
    bool Read(unsigned long long offset, unsigned long count, char* buffer,
              unsigned long& done) override;
    bool Write(unsigned long long offset, unsigned long count, char* buffer,
               unsigned long& done) override;
    bool DiskRead(unsigned long long offset, unsigned int count, char* buffer,
                  unsigned int& done) override;
    bool DiskWrite(unsigned long long offset, unsigned long count, char* buffer,
                   unsigned long& done) override;
    bool IsOpen() override;
    bool SWSnapSynchronize(std::string device, short ignored) override;
    bool SWSnapUnsynchronize() override;
    bool SWSnapSetCacheConfig(int, unsigned long, unsigned long, int) override;
    bool SWSnapFreezeSync(std::string source, KZ_AppType type) override;
    bool SWSnapGetVolumeInfo(SnapVolInfo_t& info) override;
    bool SWSnapGetSnapStatus() override;
    bool SWSnapGetCachedExtents(std::vector<SnapCachedExtent_t>& extents,
                                std::string device) override;
    bool SWSnapRead(unsigned long long block, unsigned long count, char* buffer,
                    unsigned long& done) override;
    bool QNBFGetVolInfo(QNBFVolInfo_t& info) override;
    bool QNBFGetVolBitmap(KZVBitmapType type, unsigned char* buffer, unsigned long size,
                          bool flag) override;
    bool QNBFGetAndClrVolBitmap(KZVBitmapType type, unsigned char* buffer, unsigned long size,
                                bool flag) override;
    bool QNBFSetVolBitmap(KZVBitmapType type, unsigned char* buffer) override;
    bool QNBFClearVolBitmap(KZVBitmapType type) override;
    bool QNBFMergeVolBitmap(KZVBitmapType type, unsigned char* buffer, unsigned long size) override;
    bool QNBFSaveVolBitmap(KZVBitmapType type) override;
    bool QNBFPrepareDataBlock(std::string ignored, qn_getdatablockbmp_arg* arg) override;
    bool QNBFDeleteDevice(char* device) override;
    bool QNBFCreateDevice(CreateDevArg_t* arg) override;
    bool QNBFShowDevList(qn_getdevicelist_arg* list) override;
    bool QNBFGetDeviceAttr(void* attr) override;
    bool QNBFDumpAndClear(KZVBitmapType type, unsigned char* buffer, unsigned long size) override;
    unsigned long long GetPhysicalOffsetForLogical(unsigned long long offset) override;
    unsigned long long GetLogicalOffsetForPhysical(unsigned long long offset) override;
    unsigned int GetBlockSize() override;
    bool QNBFSetMinorno(std::string device) override;
    int GetVolInfo(unsigned long long& size) override;
    bool IsDataBlockAvailable(std::string& fsType) override;
    unsigned long long GetFsBlockSize() override;
    int Seek(unsigned long long offset, int whence) override;
    virtual bool GetVolumeInfo();
    virtual bool OpenPhysicalDisk();
    virtual bool OpenSnapVolume();
    virtual bool FSpodSnap(kz_subclient_contentlist* list);
    virtual bool UnmountUnsnapAll(kz_subclient_contentlist* list);
    virtual bool DumpMetadataInformation(char* rootName, char* mountPath, char* volumeInfoPath,
                                         char* auxPath1, char* auxPath2, char* tablePath,
                                         unsigned long extentSize);
    virtual bool DumpVolumeInfo(char* mountPath, char* volumeInfoPath, unsigned long extentSize,
                                int aclEnabled, int seLinuxLabels);
    virtual bool DumpACLInfo(char* path, unsigned long long inode, int aclType, int* aclFile,
                             unsigned int* aclCount);
    virtual bool MountSnap(char* mountPath, std::string& snapMountPath);

    // Remounts from memory with the given type and options ("nouuid" added for xfs).
    bool Unlock(std::string fsType, std::string options);
    // True when the job has been asked to stop.
    bool QuitNow();

    bool get_job_results_dir(char* buffer, int* length);
    bool get_base_dir(char* buffer, int* length);
    bool get_log_dir(char* buffer, int* length);
    bool get_instance(std::string& name);

    char* m_pszMntFsName;
    char* m_pszMntDir;
    char* m_pszMntType;
    char* m_pszMntOpts;
    int m_hVolume;
    int m_hSnapVolume;
    int m_QnbfNodeMinorno;
    bool m_bDirect;
    std::string m_strDeviceName;
    int m_bExtraMetadataLog;
    std::string m_strSnapId;

  private:
    void InitUnix();
    void ReleaseMountStrings();
    bool OpenWithFlags(int flags, bool reportHandle);
    bool m_bOther;
};

// The reader's quit callback: writes QuitNow() of the KZVolumeUnix `volume` into the
// bool at `quit` and returns 0.
KZVOL_API int QuitFlagCheck(int ignored, void* volume, void* quit);
