// The one command-line parser of every subcommand: options as `--opt value` or `--opt=value`,
// -h/--help, and numbers checked whole. A bad command line throws UsageError, which the frame
// reports as one line naming the option, with exit status 2.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelk::tool {

// A bad command line: the message names the option or argument at fault.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// -h or --help was given: the subcommand's help went to standard output.
struct HelpShown {};

// Standard output could not be written (a full disk, a closed pipe).
struct WriteFailed : std::runtime_error {
    WriteFailed(const std::string& what, int error) : std::runtime_error(what), error(error) {}
    int error;  // the errno: EPIPE when the reader went away
};

struct OptionSpec {
    const char* name;   // "--rows"
    const char* value;  // "N" when it takes a value, nullptr for a flag
    const char* help;
};

struct CommandSpec {
    const char* synopsis;  // "zelk top [OPTIONS] [SECONDS]"
    const char* about;     // what the command does, a sentence or two
    std::vector<OptionSpec> options;
    std::size_t max_positional = 0;
    const char* positional = nullptr;  // the positional arguments' name, for the help
};

class Parsed {
public:
    bool has(const std::string& name) const { return values_.count(name) != 0; }
    // The last value given for the option, or nullptr.
    const std::string* value(const std::string& name) const;
    // A decimal number within [min, max]; `fallback` when the option is absent.
    double number(const std::string& name, double fallback, double min, double max) const;
    // A whole decimal number within [min, max]; `fallback` when the option is absent.
    std::int64_t whole(const std::string& name, std::int64_t fallback, std::int64_t min, std::int64_t max) const;
    std::vector<std::string> positional;

private:
    friend Parsed parse_args(const CommandSpec&, const std::vector<std::string>&);
    std::map<std::string, std::string> values_;
};

// Parses a subcommand's arguments. Prints the help and throws HelpShown on -h/--help; throws
// UsageError on an unknown option, a missing value, a value given to a flag or too many
// positional arguments. "--" ends the options.
Parsed parse_args(const CommandSpec& command, const std::vector<std::string>& args);

// The help text of a subcommand.
std::string help_text(const CommandSpec& command);

// A number in `text` (the whole of it: plain decimal digits, a point, a minus; no exponent or
// plus sign), for `what` (an option name) within [min, max].
double parse_number(const std::string& what, const std::string& text, double min, double max);
std::int64_t parse_whole(const std::string& what, const std::string& text, std::int64_t min, std::int64_t max);

// Flushes standard output; throws WriteFailed when it or an earlier write failed.
void flush_out();

}  // namespace zelk::tool
