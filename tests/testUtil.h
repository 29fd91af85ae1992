// Small helpers shared by the tests.
#ifndef VORLAN_TESTS_TESTUTIL_H
#define VORLAN_TESTS_TESTUTIL_H

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace vorlan::test {

// A fresh directory under the system's temporary directory, removed with
// its content when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vorlan-test-XXXXXX")
            .string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Another process holding a file's advisory lock (the storeLocker helper,
// whose path `locker` names) until release() or destruction.
class LockHolder {
 public:
  LockHolder(const char* locker, const std::string& path) {
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(toChild[0], 0);
      dup2(fromChild[1], 1);
      close(toChild[1]);
      close(fromChild[0]);
      execl(locker, locker, path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fdopen(fromChild[0], "r");
  }
  ~LockHolder() {
    release();
    if (out_ != nullptr) std::fclose(out_);
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  // The helper's next line of output ("locked", "unlocked"), or "".
  std::string nextLine() {
    char line[32] = {};
    if (out_ == nullptr || std::fgets(line, sizeof line, out_) == nullptr)
      return "";
    std::string s = line;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }

  // Tells the helper to unlock; true once it has and has exited cleanly.
  bool release() {
    if (in_ < 0) return false;
    bool told = write(in_, "go\n", 3) == 3;
    close(in_);
    in_ = -1;
    bool unlocked = told && nextLine() == "unlocked";
    int status = 0;
    waitpid(pid_, &status, 0);
    return unlocked && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  FILE* out_ = nullptr;
};

}  // namespace vorlan::test

#endif
