// A private directory beside an output, in which a command builds files that
// replace their targets only once complete (fsync, then rename in the same file
// system). Whatever is left in it is removed with it, so a failed or stopped
// command leaves the targets as they were.
#pragma once

#include <string>

namespace kzvol::cli {

class StagingDir {
  public:
    // Creates ".kzvol-stage.XXXXXX" in the directory of `target`.
    explicit StagingDir(const std::string& target);
    ~StagingDir();
    StagingDir(const StagingDir&) = delete;
    StagingDir& operator=(const StagingDir&) = delete;

    bool ok() const { return !path_.empty(); }
    // Why the directory could not be made.
    const std::string& error() const { return error_; }
    // The staged counterpart of a file named like `target` (its last component
    // plus `suffix`).
    std::string PathFor(const std::string& target, const std::string& suffix = "") const;
    // Syncs `staged` and renames it over `target`. False with *error set.
    bool Commit(const std::string& staged, const std::string& target, std::string* error) const;

  private:
    std::string path_, error_;
};

}  // namespace kzvol::cli
