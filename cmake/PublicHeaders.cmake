# The public interface: the one list of installed headers. kzvol.h includes them;
# the version script (libkzvol.sym) exports what they declare, plus the directory
# reader's classes, and scripts/check-exports.sh holds the two to each other.
set(KZVOL_PUBLIC_HEADERS
  checksum/CheckSum.h
  checksum/FileIO.h
  checksum/KyException.h
  filter/CreateDevArg.h
  filter/DriverChannel.h
  filter/FstabRewrite.h
  filter/QnbfConfig.h
  filter/QnbfLookup.h
  filter/QnbfProtocol.h
  filter/QnbfVolInfo.h
  filter/SnapFiles.h
  host/CCreateUNIXFSTree.h
  host/Env.h
  host/Export.h
  host/KZJobCtrlClient.h
  metadata/AclDump.h
  metadata/ContentList.h
  metadata/ContentSnap.h
  metadata/DirectoryWalk.h
  metadata/MountProbes.h
  metadata/ReaderCallBacks.h
  rdfd/RDFD.h
  rdfd/RDFDCallBacks.h
  rdfd/RDFDException.h
  volume/DeviceProbe.h
  volume/HandlerScript.h
  volume/KZVolume.h
  volume/MountTable.h
)

foreach(header IN LISTS KZVOL_PUBLIC_HEADERS)
  get_filename_component(subdir ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kzvol/${subdir} COMPONENT dev)
endforeach()
