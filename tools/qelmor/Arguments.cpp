#include "tools/qelmor/Arguments.h"

#include <algorithm>

namespace qelmor::tool {
namespace {

const OptionInfo* FindOption(std::span<const OptionInfo> known, std::string_view name) {
    const auto found = std::find_if(known.begin(), known.end(),
                                    [&](const OptionInfo& option) { return option.name == name; });
    return found == known.end() ? nullptr : &*found;
}

bool IsHelp(std::string_view arg) {
    return arg == "--help" || arg == "-h";
}

}  // namespace

Arguments::Arguments(std::span<const std::string> args, std::span<const OptionInfo> known) {
    if (std::any_of(args.begin(), args.end(), [](const std::string& a) { return IsHelp(a); })) {
        help_ = true;
        return;
    }
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!arg.starts_with("--")) throw UsageError("unexpected argument \"" + arg + "\"");

        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const OptionInfo* option = FindOption(known, name);
        if (option == nullptr) throw UsageError("unknown option " + name);
        if (values_.contains(name)) throw UsageError(name + " is given twice");

        std::string value;
        if (equals != std::string::npos) {
            if (!option->takesValue) throw UsageError(name + " takes no value");
            value = arg.substr(equals + 1);
        } else if (option->takesValue) {
            // "--client --at ..." is a forgotten value, not an address.
            const bool missing = i + 1 == args.size() ||
                                 (args[i + 1].starts_with("--") &&
                                  FindOption(known, args[i + 1].substr(0, args[i + 1].find('='))));
            if (missing) throw UsageError(name + " needs a value");
            value = args[++i];
        }
        values_.emplace(name, std::move(value));
    }
}

const std::string* Arguments::Value(std::string_view name) const {
    const auto found = values_.find(name);
    return found == values_.end() ? nullptr : &found->second;
}

}  // namespace qelmor::tool
