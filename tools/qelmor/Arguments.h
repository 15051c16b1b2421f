// The options of one subcommand, and the one-line errors that end the tool
// with exit status 2.
#pragma once

#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qelmor::tool {

inline constexpr int kExitUsage = 2;

// What went wrong with the command line, naming the argument; the tool
// prints it after "qelmor <command>: ".
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct OptionInfo {
    std::string_view name;  // with its dashes, "--ini"
    bool takesValue;
};

class Arguments {
  public:
    // Accepts "--name value" and "--name=value"; "--help" or "-h" anywhere
    // asks for help and nothing else is checked. Throws UsageError.
    Arguments(std::span<const std::string> args, std::span<const OptionInfo> known);

    bool WantsHelp() const { return help_; }
    bool Has(std::string_view name) const { return values_.contains(name); }
    // Null when the option was not given.
    const std::string* Value(std::string_view name) const;

  private:
    std::map<std::string, std::string, std::less<>> values_;
    bool help_ = false;
};

}  // namespace qelmor::tool
