// The command-line parser shared by every subcommand, and the check of standard output.
#include "args.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zelk::tool {

const std::string* Parsed::value(const std::string& name) const {
    const auto it = values_.find(name);
    return it == values_.end() ? nullptr : &it->second;
}

double Parsed::number(const std::string& name, double fallback, double min, double max) const {
    const std::string* v = value(name);
    return v ? parse_number(name, *v, min, max) : fallback;
}

std::int64_t Parsed::whole(const std::string& name, std::int64_t fallback, std::int64_t min, std::int64_t max) const {
    const std::string* v = value(name);
    return v ? parse_whole(name, *v, min, max) : fallback;
}

namespace {

std::string range_text(double min, double max) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g to %g", min, max);
    return buf;
}

}  // namespace

double parse_number(const std::string& what, const std::string& text, double min, double max) {
    // strtod would skip leading blanks and accept "inf", "nan", exponents and hexadecimal: a plain
    // decimal only, as the manual page writes numbers.
    const std::size_t sign = !text.empty() && text[0] == '-';
    const bool plain = text.find_first_of("0123456789") != std::string::npos &&
                       text.find_first_not_of("0123456789.", sign) == std::string::npos &&
                       std::count(text.begin(), text.end(), '.') <= 1;
    char* end = nullptr;
    errno = 0;
    const double v = plain ? std::strtod(text.c_str(), &end) : 0.0;
    if (!plain || end != text.c_str() + text.size() || errno != 0 || !std::isfinite(v))
        throw UsageError(what + ": not a number: \"" + text + "\"");
    if (v < min || v > max) throw UsageError(what + ": " + text + " is out of range (" + range_text(min, max) + ")");
    return v;
}

std::int64_t parse_whole(const std::string& what, const std::string& text, std::int64_t min, std::int64_t max) {
    const std::size_t sign = !text.empty() && text[0] == '-';
    const bool plain = text.size() > sign && text.find_first_not_of("0123456789", sign) == std::string::npos;
    char* end = nullptr;
    errno = 0;
    const long long v = plain ? std::strtoll(text.c_str(), &end, 10) : 0;
    if (!plain || end != text.c_str() + text.size() || errno != 0)
        throw UsageError(what + ": not a whole number: \"" + text + "\"");
    if (v < min || v > max)
        throw UsageError(what + ": " + text + " is out of range (" + std::to_string(min) + " to " + std::to_string(max) + ")");
    return v;
}

std::string help_text(const CommandSpec& command) {
    std::string text = std::string("usage: ") + command.synopsis + "\n\n" + command.about + "\n";
    std::vector<OptionSpec> all = command.options;
    all.push_back({"--help", nullptr, "this help (also -h)"});
    std::size_t width = 0;
    for (const auto& o : all) width = std::max(width, std::strlen(o.name) + (o.value ? std::strlen(o.value) + 1 : 0));
    text += "\noptions (--opt VALUE or --opt=VALUE):\n";
    for (const auto& o : all) {
        std::string left = std::string(o.name) + (o.value ? std::string(" ") + o.value : "");
        left.resize(width, ' ');
        text += "  " + left + "  " + o.help + "\n";
    }
    return text;
}

Parsed parse_args(const CommandSpec& command, const std::vector<std::string>& args) {
    Parsed out;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!options_done && (a == "-h" || a == "--help")) {
            std::fputs(help_text(command).c_str(), stdout);
            flush_out();
            throw HelpShown{};
        }
        if (!options_done && a == "--") {
            options_done = true;
            continue;
        }
        // Options are long ones; "-5" is an argument (a pid that the helper is to judge).
        if (options_done || a.rfind("--", 0) != 0) {
            if (out.positional.size() >= command.max_positional)
                throw UsageError(command.max_positional == 0 ? "unexpected argument \"" + a + "\""
                                                          : "too many arguments: \"" + a + "\"");
            out.positional.push_back(a);
            continue;
        }
        const auto eq = a.find('=');
        const std::string name = a.substr(0, eq);
        const OptionSpec* o = nullptr;
        for (const auto& candidate : command.options)
            if (name == candidate.name) o = &candidate;
        if (o == nullptr) throw UsageError("unknown option " + name);
        if (o->value == nullptr) {
            if (eq != std::string::npos) throw UsageError(name + " takes no value");
            out.values_[name] = "";
        } else if (eq != std::string::npos) {
            out.values_[name] = a.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            out.values_[name] = args[++i];
        } else {
            throw UsageError(name + " needs a value (" + o->value + ")");
        }
    }
    return out;
}

void flush_out() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        int err = errno;
        // An earlier write failed and nothing was left to write now: a pipe without a reader
        // still says so when polled.
        pollfd out{STDOUT_FILENO, POLLOUT, 0};
        if (err == 0 && ::poll(&out, 1, 0) == 1 && (out.revents & POLLERR)) err = EPIPE;
        throw WriteFailed(std::string("cannot write standard output: ") + (err != 0 ? std::strerror(err) : "write error"),
                          err);
    }
}

}  // namespace zelk::tool
