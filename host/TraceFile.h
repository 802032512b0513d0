// Support-engineer trace files. Tracing is on while the switch file "debugkzvol"
// exists in the trace directory (/tmp) as a regular file owned by root or by the
// running user. Trace files are opened without following symlinks, mode 0600, and
// only when they are regular files of the running user, so a planted link or a
// foreign file is never truncated or written.
#pragma once

#include <cstdio>
#include <string>

#include "host/Handles.h"

namespace kzvol {

const std::string& TraceDirectory();
// Moves the switch and the trace files elsewhere (tests); returns the old directory.
std::string SetTraceDirectory(const std::string& dir);
// True while the switch file is present and trustworthy.
bool TraceEnabled();

class TraceFile {
  public:
    enum Mode { Truncate, Append };
    // Opens TraceDirectory()/name when tracing is on; otherwise stays closed.
    TraceFile(const char* name, Mode mode = Truncate);
    bool open() const { return file_ != nullptr; }
    void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Close() { file_.reset(); }

  private:
    UniqueFile file_;
};

}  // namespace kzvol
