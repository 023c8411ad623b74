// What every vemoctl command shares: its diagnostics and its option parser.

#include <charconv>
#include <cstdio>

#include "tools/command.h"

namespace vemo::tools {

int Fail(const std::string& message) {
    std::fprintf(stderr, "vemoctl: %s\n", message.c_str());
    return kExitFailed;
}

int UsageError(const std::string& message) {
    Fail(message);
    return kExitUsage;
}

void PrintLine(const std::string& line) {
    std::printf("%s\n", line.c_str());
}

bool ParsedCommand::has(std::string_view name) const {
    for (const auto& [option, value] : options_) {
        if (option == name) return true;
    }
    return false;
}

std::optional<std::string> ParsedCommand::value(std::string_view name) const {
    std::optional<std::string> found;
    for (const auto& [option, value] : options_) {
        if (option == name) found = value;
    }
    return found;
}

namespace {

bool IsOptionWord(std::string_view word) {
    // "-" is standard input or output, "--" the end of the options, and "-5"
    // a number (a camera control's value): vemoctl's options are all long.
    return word.size() > 1 && word[0] == '-' && word != "--" && (word[1] < '0' || word[1] > '9');
}

int UnknownOption(std::string_view command, const std::string& word) {
    const std::string name(command);
    return UsageError(name + ": unknown option '" + word + "' (see vemoctl " +
                      name.substr(0, name.find(' ')) + " --help)");
}

}  // namespace

int UnknownAction(const Arguments& arguments, const std::string& expected) {
    if (arguments.size() > 1 && IsOptionWord(arguments[1])) {
        return UnknownOption(arguments[0], arguments[1]);
    }
    return UsageError(expected);
}

std::optional<ParsedCommand> ParseAction(const Arguments& arguments,
                                         std::initializer_list<OptionSpec> options,
                                         std::size_t min_positional, std::size_t max_positional) {
    const Arguments words(arguments.begin() + 1, arguments.end());  // from the action on
    return ParseCommand(arguments[0] + " " + arguments[1], words, options, min_positional,
                        max_positional);
}

std::optional<ParsedCommand> ParseCommand(std::string_view command, const Arguments& arguments,
                                          std::initializer_list<OptionSpec> options,
                                          std::size_t min_positional, std::size_t max_positional) {
    const std::string name(command);
    ParsedCommand parsed;
    bool options_ended = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (!options_ended && word == "--") {
            options_ended = true;
            continue;
        }
        if (options_ended || !IsOptionWord(word)) {
            parsed.positional_.push_back(word);
            continue;
        }
        // Long options only: --name, --name VALUE or --name=VALUE.
        const std::string_view text = std::string_view(word).substr(word.starts_with("--") ? 2 : 1);
        const std::size_t equals = text.find('=');
        const std::string_view option_name = text.substr(0, equals);
        const OptionSpec* spec = nullptr;
        for (const OptionSpec& candidate : options) {
            if (word.starts_with("--") && candidate.name == option_name) spec = &candidate;
        }
        if (spec == nullptr) {
            UnknownOption(command, word);
            return std::nullopt;
        }
        std::string value;
        if (equals != std::string_view::npos) {
            if (!spec->takes_value) {
                UsageError(name + ": --" + std::string(spec->name) + " takes no value");
                return std::nullopt;
            }
            value = std::string(text.substr(equals + 1));
        } else if (spec->takes_value) {
            if (i + 1 == arguments.size()) {
                UsageError(name + ": --" + std::string(spec->name) + " needs a value");
                return std::nullopt;
            }
            value = arguments[++i];
        }
        parsed.options_.emplace_back(spec->name, std::move(value));
    }
    const std::size_t count = parsed.positional_.size();
    if (count < min_positional || count > max_positional) {
        UsageError(name + ": wrong number of arguments (see vemoctl " +
                   name.substr(0, name.find(' ')) + " --help)");
        return std::nullopt;
    }
    return parsed;
}

std::optional<std::uint64_t> ParseUnsigned(std::string_view text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    if (text.empty() || text[0] == '+' || text[0] == '-') return std::nullopt;
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || stop != end) return std::nullopt;
    return value;
}

std::optional<double> ParseDecimal(std::string_view text) {
    double value = 0;
    const char* end = text.data() + text.size();
    if (text.empty() || text[0] == '+') return std::nullopt;
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || stop != end) return std::nullopt;
    return value;
}

}  // namespace vemo::tools
