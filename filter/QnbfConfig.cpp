// The cluster test, the serial-number lookup and the /etc/qnbf.conf reader.
#include "filter/QnbfConfig.h"

#include "filter/FilterInternal.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "host/EvDebug.h"
#include "host/KZPlatformInfo.h"
#include "host/KzProcess.h"
#include "host/NoThrow.h"
#include "host/ShellQuote.h"

namespace {
EvDebug g_log;
constexpr size_t kValueBytes = 1024;
}  // namespace

bool is_VM(const std::string& displayName) {
    static const char kContext[] = "is_VM";
    if (displayName.empty())
        return false;
    g_log.Debug(kContext, "Display Name is %s \n", displayName.c_str());
    return kzvol::FalseOnThrow(g_log, kContext, [&] {
        KZPlatformInfo info;
        if (info.isClusterGroupClient(displayName)) {
            g_log.Debug(kContext, "Detected a VM. \n");
            return true;
        }
        g_log.Debug(kContext, "Detected a PM. \n");
        return false;
    });
}

namespace {

bool SerialNumber(char* device, const std::string& instance, const std::string& displayName,
                  std::string& serial) {
    char base[1024] = {0};
    int length = sizeof base;
    KZPlatformInfo info;
    if (!info.getString("Base", "dBASEHOME", base, &length))
        return false;

    using kzvol::ShellQuote;
    std::string command = ShellQuote(std::string(base) + "/kzclx.sh") + " uuid " +
                          ShellQuote(instance) + " " + ShellQuote(displayName) + " " +
                          ShellQuote(device);
    std::string output;
    KzProcess process;
    int rc = process.system(command, &output, nullptr, 0, false);
    if (rc != 0) {
        g_log.Error("get_serial_number", "execution of %s failed errno=%d\n", command.c_str(), rc);
        return false;
    }
    size_t end = output.find_last_not_of(" \n\r\t");
    serial = end == std::string::npos ? std::string() : output.substr(0, end + 1);
    return true;
}

}  // namespace

bool get_serial_number(char* device, const std::string& instance, const std::string& displayName,
                       std::string& serial) {
    return kzvol::FalseOnThrow(g_log, "get_serial_number",
                               [&] { return SerialNumber(device, instance, displayName, serial); });
}

bool search_qnbf_config_in(const char* path, const char* key, char* value) {
    std::ifstream in(path);
    if (!in)
        return false;
    const size_t keyLength = std::strlen(key);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, keyLength, key) != 0)
            continue;
        size_t eq = line.find('=');
        size_t start = eq == std::string::npos ? 0 : eq + 1;
        start = line.find_first_not_of(" \t", start);
        std::string text = start == std::string::npos ? std::string() : line.substr(start);
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        std::snprintf(value, kValueBytes, "%s", text.c_str());
        return true;
    }
    return false;
}

bool search_qnbf_config(char* key, char* value) {
    return search_qnbf_config_in("/etc/qnbf.conf", key, value);
}
