// A folder of its own under the system's temporary folder, removed with everything in it when
// the object goes.
#pragma once

#include <filesystem>
#include <string>

class TempDir {
  public:
    explicit TempDir(const std::string& prefix);  // named prefix-PID-N
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // The path of a file in the folder.
    std::string File(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};
