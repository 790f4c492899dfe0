// A scratch folder for one test, removed with everything in it when the test
// is done.
#pragma once

#include <string>

class TempDir
{
public:
    // A new folder under $TMPDIR (or /tmp); throws std::runtime_error.
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    // The path of `name` in the folder.
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // Writes `bytes` to `name` in the folder; returns its path.
    std::string Write(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};
