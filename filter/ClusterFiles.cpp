// The files a cluster client keeps for its filter devices in the shared directory
// (its job results directory): qnbf.conf, the shared_disks list and one state
// directory per device, written at creation and removed again at deletion.
#include "filter/ClusterFiles.h"

#include <unistd.h>

#include <cstdio>

#include "filter/FilterFiles.h"
#include "filter/QnbfConfig.h"
#include "host/EvDebug.h"
#include "host/Handles.h"

namespace kzvol {
namespace {

EvDebug g_log;
const char kCreateContext[] = "KZVolumeUnix::QNBFCreateDevice:";
const char kDeleteContext[] = "KZVolumeUnix::QNBFDeleteDevice:";
constexpr int kPathBytes = 1024;
const char* const kStateFiles[] = {"volume",      "node", "qnbf_minor",
                                   "extent_size", "mnt",  "inkernel_incr_bmap"};

std::string StateDirectory(const std::string& shared, int minor) {
    return shared + "/qnbf/qnbf" + std::to_string(minor);
}

// A file created new holding `text` (no newline); write failures are not reported.
void WriteValueFile(const std::string& path, const std::string& text) {
    g_log.Debug(kCreateContext, "Will attempt to create [%s] file\n", path.c_str());
    UniqueFile out(std::fopen(path.c_str(), "we"));
    if (out)
        std::fputs(text.c_str(), out.get());
}

// The first line of the state directory's "volume" file, without its line end.
bool ReadVolumeName(const std::string& state, std::string* name) {
    std::string path = state + "/volume";
    UniqueFile in(std::fopen(path.c_str(), "re"));
    if (!in) {
        g_log.Debug(kDeleteContext, "Failed to open [%s] file\n", path.c_str());
        return false;
    }
    char line[kPathBytes];
    if (!std::fgets(line, sizeof line, in.get())) {
        g_log.Debug(kDeleteContext, "Failed to read Device name from [%s] file\n", path.c_str());
        return false;
    }
    *name = line;
    while (!name->empty() && (name->back() == '\n' || name->back() == '\r'))
        name->pop_back();
    return true;
}

// qnbf.conf in the shared directory, made new; lines written before a failed
// lookup stay.
bool WriteQnbfConf(KZVolumeUnix& vol, const std::string& shared) {
    std::string conf = shared + "/qnbf/qnbf.conf";
    if (::access(conf.c_str(), F_OK) == 0)
        ::unlink(conf.c_str());
    if (!EnsureDirectory(kCreateContext, shared + "/qnbf"))
        return false;
    UniqueFile out(std::fopen(conf.c_str(), "we"));
    if (!out) {
        g_log.Error(kCreateContext, "Failed to open [%s] file", conf.c_str());
        return false;
    }
    char dir[kPathBytes] = {0};
    int length = sizeof dir;
    if (!vol.get_base_dir(dir, &length)) {
        g_log.Error(kCreateContext, "Failed to get the base directory");
        return false;
    }
    std::fprintf(out.get(), "QNBF_INSTANCE_DIRECTORY=%s\n", dir);
    length = sizeof dir;
    if (!vol.get_log_dir(dir, &length)) {
        g_log.Error(kCreateContext, "Failed to get the log directory");
        return false;
    }
    std::fprintf(out.get(), "QNBF_LOG_DIRECTORY=%s\n", dir);
    std::fprintf(out.get(), "SHARED_DIRECTORY=%s\n", shared.c_str());
    std::fprintf(out.get(), "CLUSTER_DISPLAY_NAME=%s\n", vol.m_strClntDisplayName.c_str());
    return true;
}

bool SharedDirectory(KZVolumeUnix& vol, std::string* shared) {
    char dir[kPathBytes] = {0};
    int length = sizeof dir;
    if (!vol.get_job_results_dir(dir, &length))
        return false;
    *shared = dir;
    return true;
}

}  // namespace

bool PrepareClusterClient(KZVolumeUnix& vol, std::string& device, qn_addnode_arg* add,
                          std::string* shared) {
    if (!SharedDirectory(vol, shared)) {
        g_log.Error(kCreateContext, "Failed to determine job results directory");
        return false;
    }
    if (!WriteQnbfConf(vol, *shared))
        return false;
    std::string instance, serial;
    if (!vol.get_instance(instance)) {
        g_log.Error(kCreateContext, "Failed to get instance\n");
        return false;
    }
    if (!get_serial_number(device.data(), instance, vol.m_strClntDisplayName, serial)) {
        g_log.Error(kCreateContext, "Unable to get serial number for %s \n", device.c_str());
        return false;
    }
    std::snprintf(add->serial, sizeof add->serial, "%s", serial.c_str());
    return true;
}

bool RecordClusterDevice(const std::string& shared, std::string& device, int minor,
                         const std::string& serial, unsigned long extentBytes) {
    std::string list = shared + "/shared_disks";
    g_log.Debug(kCreateContext, "Determined %s as shared_disks file\n", list.c_str());
    if (!string_exists_in_file(list.data(), device.data()) &&
        !add_string_to_file(list.data(), device.data())) {
        g_log.Error(kCreateContext, "Unable to add volume to shared disks file\n");
        return false;
    }
    g_log.Debug(kCreateContext, "Volume is [%s]\n", device.c_str());
    std::string state = StateDirectory(shared, minor);
    g_log.Debug(kCreateContext, "%s directory will contain qnbf details\n", state.c_str());
    if (!EnsureDirectory(kCreateContext, state))
        return false;
    WriteValueFile(state + "/volume", device);
    WriteValueFile(state + "/node", serial);
    WriteValueFile(state + "/qnbf_minor", std::to_string(minor));
    WriteValueFile(state + "/extent_size", std::to_string(extentBytes));
    return true;
}

bool ForgetClusterDevice(KZVolumeUnix& vol, int minor) {
    char dir[kPathBytes] = {0};
    int length = sizeof dir;
    if (!vol.get_job_results_dir(dir, &length)) {
        g_log.Debug(kDeleteContext, "Failed to determine job results directory \n");
        return true;
    }
    std::string list = std::string(dir) + "/shared_disks";
    g_log.Error(kDeleteContext, "Determined %s as shared_disks file\n", list.c_str());
    std::string state = StateDirectory(dir, minor);
    if (::access(state.c_str(), F_OK) != 0) {
        g_log.Debug(kDeleteContext, "[%s] directory does not exist\n", state.c_str());
        return true;
    }
    std::string device;
    if (!ReadVolumeName(state, &device))
        return false;
    for (const char* name : kStateFiles) {
        std::string file = state + "/" + name;
        g_log.Debug(kDeleteContext, "Will remove [%s] file\n", file.c_str());
        if (::unlink(file.c_str()) != 0)
            g_log.Debug(kDeleteContext, "Failed to remove [%s] file\n", file.c_str());
    }
    g_log.Debug(kDeleteContext, "Will remove [%s] directory \n", state.c_str());
    if (::rmdir(state.c_str()) != 0)
        g_log.Debug(kDeleteContext, "Failed to remove [%s] directory\n", state.c_str());
    g_log.Debug(kDeleteContext, "Will remove [%s] Device Entry from [%s] file\n", device.c_str(),
                list.c_str());
    if (!delete_string_from_file(list.data(), device.data()))
        g_log.Debug(kDeleteContext, "Failed to remove [%s] Device Entry from [%s] file\n",
                    device.c_str(), list.c_str());
    return true;
}

}  // namespace kzvol
