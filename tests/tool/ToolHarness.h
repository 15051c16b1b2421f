// Runs the built qelmor program and other programs for the tool tests.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qelmor::tooltest {

struct RunResult {
    int exitCode = -1;
    std::string out, err;
};

struct RunOptions {
    RunOptions(std::string inFolder = {}, std::map<std::string, std::string> withEnvironment = {})
        : folder(std::move(inFolder)), environment(std::move(withEnvironment)) {}
    std::string folder;                              // working folder; empty: a fresh one
    std::map<std::string, std::string> environment;  // added or replaced
};

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = {});
RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options = {});

// A fresh folder under the temporary folder, removed with its contents.
class Folder {
  public:
    Folder();
    ~Folder();
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    const std::string& Path() const { return path_; }
    // Writes the file `leaf`; returns its full name.
    std::string Write(const std::string& leaf, const std::string& content) const;

  private:
    std::string path_;
};

// 32 upper-case hexadecimal digits of MD5(text), by OpenSSL.
std::string Md5UpperHex(const std::string& text);
std::vector<std::string> Lines(const std::string& text);
std::string ReadFile(const std::string& path);

}  // namespace qelmor::tooltest
