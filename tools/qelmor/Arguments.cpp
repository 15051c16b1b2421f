#include "tools/qelmor/Arguments.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <list>
#include <vector>

#include "text/TextRules.h"

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

// " (did you mean --client?)" for an option one or two letters off.
std::string Suggestion(std::span<const OptionInfo> known, std::string_view typed) {
    const OptionInfo* best = nullptr;
    size_t bestDistance = 3;
    for (const OptionInfo& option : known) {
        const size_t distance = EditDistance(typed, option.name);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = &option;
        }
    }
    return best == nullptr ? std::string() : " (did you mean " + std::string(best->name) + "?)";
}

// What CLI11 cannot say in our words: an option twice, a value that is
// another option, a flag given a value. Checked before CLI11 parses.
void CheckShape(std::span<const std::string> args, std::span<const OptionInfo> known) {
    std::vector<std::string_view> seen;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!arg.starts_with("--")) throw UsageError("unexpected argument \"" + arg + "\"");
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const OptionInfo* option = FindOption(known, name);
        if (option == nullptr) throw UsageError("unknown option " + name + Suggestion(known, name));
        if (std::find(seen.begin(), seen.end(), option->name) != seen.end())
            throw UsageError(name + " is given twice");
        seen.push_back(option->name);
        if (equals != std::string::npos) {
            if (!option->takesValue) throw UsageError(name + " takes no value");
        } else if (option->takesValue) {
            // "--client --at ..." is a forgotten value, not an address.
            const bool missing = i + 1 == args.size() ||
                                 (args[i + 1].starts_with("--") &&
                                  FindOption(known, args[i + 1].substr(0, args[i + 1].find('='))));
            if (missing) throw UsageError(name + " needs a value");
            ++i;
        }
    }
}

}  // namespace

Arguments::Arguments(std::span<const std::string> args, std::span<const OptionInfo> known) {
    if (std::any_of(args.begin(), args.end(), [](const std::string& a) { return IsHelp(a); })) {
        help_ = true;
        return;
    }
    CheckShape(args, known);

    CLI::App app;
    app.set_help_flag();
    std::list<std::string> values;  // stable addresses for CLI11 to fill
    std::list<bool> flags;
    std::vector<std::pair<std::string, CLI::Option*>> options;
    for (const OptionInfo& info : known) {
        const std::string name(info.name);
        CLI::Option* option = nullptr;
        if (info.takesValue) {
            option = app.add_option(name, values.emplace_back())->allow_extra_args(false);
        } else {
            option = app.add_flag(name, flags.emplace_back())->disable_flag_override();
        }
        options.emplace_back(name, option);
    }
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        throw UsageError(error.what());
    }
    auto value = values.begin();
    for (const auto& [name, option] : options) {
        const bool takesValue = FindOption(known, name)->takesValue;
        if (option->count() > 0) values_.emplace(name, takesValue ? *value : std::string());
        if (takesValue) ++value;
    }
}

const std::string* Arguments::Value(std::string_view name) const {
    const auto found = values_.find(name);
    return found == values_.end() ? nullptr : &found->second;
}

}  // namespace qelmor::tool
