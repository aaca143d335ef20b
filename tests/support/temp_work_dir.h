#pragma once
// A temporary working directory for tests of files the programs read and write there.
#include <string>

namespace qvx::test {

// Makes a fresh directory, makes it the working directory, and on destruction
// goes back and removes it.
class TempWorkDir {
 public:
  TempWorkDir();
  ~TempWorkDir();
  TempWorkDir(const TempWorkDir&) = delete;
  TempWorkDir& operator=(const TempWorkDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string Read(const std::string& name) const;
  void Write(const std::string& name, const std::string& content) const;
  bool Exists(const std::string& name) const;

 private:
  std::string path_;
  std::string previous_;
};

}  // namespace qvx::test
