#include "tests/tool/ToolHarness.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace qelmor::tooltest {

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
    Folder scratch;
    const std::string outPath = scratch.Write("stdout", ""), errPath = scratch.Write("stderr", "");
    const std::string folder = options.folder.empty() ? scratch.Path() : options.folder;
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        // setenv is safe here: the test process runs no other threads.
        const int out = open(outPath.c_str(), O_WRONLY), err = open(errPath.c_str(), O_WRONLY);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(folder.c_str()) != 0) {
            _exit(127);
        }
        for (const auto& [name, value] : options.environment)
            setenv(name.c_str(), value.c_str(), 1);
        execv(program.c_str(), pointers.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0) waitpid(pid, &status, 0);
    RunResult run;
    run.exitCode = pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadFile(outPath);
    run.err = ReadFile(errPath);
    return run;
}

RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options) {
    return RunProgram(QELMOR_TOOL_PROGRAM, args, options);
}

Folder::Folder() {
    std::random_device seed;
    const auto base = std::filesystem::temp_directory_path();
    do {
        path_ = (base / ("qelmor-tool-test-" + std::to_string(seed()))).string();
    } while (!std::filesystem::create_directory(path_));
}

Folder::~Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string Folder::Write(const std::string& leaf, const std::string& content) const {
    const std::string path = path_ + "/" + leaf;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string Md5UpperHex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    static const char kHex[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i)
        hex += {kHex[digest[i] >> 4], kHex[digest[i] & 15]};
    return hex;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

}  // namespace qelmor::tooltest
