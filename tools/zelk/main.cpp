// zelk: a host for libzelk_core, the helper and the probe, used to try them by hand.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>
#ifdef __APPLE__
#include <mach-o/dyld.h>
#include <stdlib.h>  // realpath
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "args.hpp"
#include "zelk.hpp"

namespace zelk::tool {
namespace {

std::map<std::string, Command>& registry() {
    static std::map<std::string, Command> commands;
    return commands;
}

template <class F>
F symbol(void* handle, const char* name) {
    void* p = ::dlsym(handle, name);
    if (p == nullptr) throw std::runtime_error(std::string("the library has no export ") + name);
    return reinterpret_cast<F>(p);
}

int usage(FILE* out) {
    std::fprintf(out, "usage: zelk [--lib PATH] COMMAND [ARGS...]\n       zelk [--lib PATH] --version\n\ncommands (zelk COMMAND --help says more):\n");
    for (const auto& [name, command] : registry()) std::fprintf(out, "  %s\n", command.usage);
    std::fprintf(out,
                 "\n--lib PATH loads libzelk_core from PATH (default: %s, found through the tool's\n"
                 "  run path: the installed library folder beside the tool's own, or the build tree's core/)\n"
                 "--version prints this tool's version and the loaded library's contract and file\n"
                 "\nOptions take their value as --opt VALUE or --opt=VALUE. --json, where a command has it, writes\n"
                 "JSON Lines: one JSON object per line. Exit status 2 means a bad command line; a failed write to\n"
                 "standard output (a full disk) is reported and exits with status 1; a closed pipe ends quietly.\n",
                 ZELK_DEFAULT_LIBRARY);
    if (out != stdout) return kExitUsage;
    try {
        flush_out();
    } catch (const WriteFailed& e) {
        return e.error == EPIPE ? kExitOk : fail(kExitFailure, e.what());
    }
    return kExitOk;
}

// The folder of this executable: macOS has no /proc, so it asks dyld for the path, which may be
// relative or go through a symbolic link, and resolves it.
std::string own_directory() {
    char buf[PATH_MAX];
#ifdef __APPLE__
    std::uint32_t size = sizeof buf;
    char resolved[PATH_MAX];
    if (::_NSGetExecutablePath(buf, &size) != 0 || ::realpath(buf, resolved) == nullptr) return ".";
    std::string path(resolved);
#else
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<std::size_t>(n));
#endif
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

Registration::Registration(Command command) { registry().emplace(command.name, command); }

std::string& running_command() {
    static std::string name;
    return name;
}

Library::Library(const std::string& path) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = ::dlerror();
        throw std::runtime_error("cannot load " + path + ": " + (why ? why : "unknown error"));
    }
    try {
        contract = symbol<zelk_core_contract_fn>(handle_, "zelk_core_contract");
        Dl_info info{};
        file = ::dladdr(reinterpret_cast<void*>(contract), &info) != 0 && info.dli_fname != nullptr
                   ? std::filesystem::path(info.dli_fname).lexically_normal().string()
                   : path;
        free = symbol<zelk_core_free_fn>(handle_, "zelk_core_free");
        snapshot = symbol<zelk_core_snapshot_fn>(handle_, "zelk_core_snapshot");
        gpu_clients = symbol<zelk_core_gpu_clients_fn>(handle_, "zelk_core_gpu_clients");
        gpu_stats = symbol<zelk_core_gpu_stats_fn>(handle_, "zelk_core_gpu_stats");
        iface_bytes = symbol<zelk_core_iface_bytes_fn>(handle_, "zelk_core_iface_bytes");
        selftest = symbol<zelk_core_selftest_fn>(handle_, "zelk_core_selftest");
        const auto version = contract();
        if (version != ZELK_CORE_CONTRACT)
            throw std::runtime_error(path + " speaks contract " + std::to_string(version) + ", this tool needs " +
                                     std::to_string(ZELK_CORE_CONTRACT));
    } catch (...) {
        ::dlclose(handle_);
        throw;
    }
}

Library::~Library() { ::dlclose(handle_); }

Library& Context::library() {
    if (!library_) library_ = std::make_unique<Library>(library_path);
    return *library_;
}

const char* code_text(std::int32_t code) {
    switch (code) {
        case ZELK_CORE_OK: return "success";
        case ZELK_CORE_NO_SUCH_INTERFACE: return "no such network interface";
        case ZELK_CORE_PANIC: return "internal fault in the library (contained)";
        case ZELK_CORE_NULL_POINTER: return "null pointer argument";
        case ZELK_CORE_MEASUREMENT_FAILED: return "the measurement failed (a platform query failed)";
        default: return "unknown return code";
    }
}

int exit_for_code(std::int32_t code) {
    switch (code) {
        case ZELK_CORE_OK: return kExitOk;
        case ZELK_CORE_NO_SUCH_INTERFACE: return kExitNoSuchInterface;
        case ZELK_CORE_PANIC: return kExitPanic;
        case ZELK_CORE_NULL_POINTER: return kExitNullPointer;
        case ZELK_CORE_MEASUREMENT_FAILED: return kExitMeasurementFailed;
        default: return kExitFailure;
    }
}

int fail(int status, const std::string& message) {
    std::fprintf(stderr, "zelk: %s\n", message.c_str());
    return status;
}

std::string json_string(const std::string& bytes) {
    std::string out = "\"";
    for (const unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace zelk::tool

int main(int argc, char** argv) {
    using namespace zelk::tool;
    // A closed pipe shows as EPIPE on a write, so the tool ends in its own way (quietly, status 0)
    // rather than by the signal.
    ::signal(SIGPIPE, SIG_IGN);
    Context ctx;
    ctx.library_path = ZELK_DEFAULT_LIBRARY;
    ctx.program_dir = own_directory();
    bool version = false;
    int i = 1;
    while (i < argc && argv[i][0] == '-') {
        const std::string opt = argv[i];
        if (opt == "--lib" || opt.rfind("--lib=", 0) == 0) {
            if (opt == "--lib" && i + 1 >= argc) return fail(kExitUsage, "--lib needs a value (PATH)");
            ctx.library_path = opt == "--lib" ? argv[++i] : opt.substr(6);
            ++i;
        } else if (opt == "--version") {
            version = true;
            ++i;
        } else if (opt == "--help" || opt == "-h") {
            return usage(stdout);
        } else {
            return fail(kExitUsage, "unknown option " + opt + " (see zelk --help)");
        }
    }
    int status = kExitOk;
    try {
        if (version && i < argc) {
            return fail(kExitUsage, "--version takes no argument: \"" + std::string(argv[i]) + "\" (see zelk --help)");
        } else if (version) {
            std::printf("zelk %s\n", ZELK_VERSION);
            try {
                Library& lib = ctx.library();
                std::printf("libzelk_core contract %d: %s\n", lib.contract(), lib.file.c_str());
            } catch (const std::exception& e) {
                status = fail(kExitLibrary, e.what());
            }
        } else if (i >= argc) {
            return usage(stderr);
        } else if (const std::string name = argv[i]; name == "help") {
            status = usage(stdout);
        } else {
            const auto it = registry().find(name);
            if (it == registry().end()) return fail(kExitUsage, "unknown command " + name + " (see zelk help)");
            ctx.command = running_command() = name;
            ctx.args.assign(argv + i + 1, argv + argc);
            try {
                status = it->second.run(ctx);
            } catch (const UsageError& e) {
                return fail(kExitUsage, name + ": " + e.what() + " (see zelk " + name + " --help)");
            } catch (const HelpShown&) {
                status = kExitOk;
            } catch (const WriteFailed&) {
                throw;
            } catch (const std::exception& e) {
                status = fail(kExitLibrary, name + ": " + e.what());
            }
        }
        flush_out();
    } catch (const WriteFailed& e) {
        // A reader that went away (`zelk snapshot | head -1`) has all it wanted: a normal end.
        if (e.error == EPIPE) return kExitOk;
        return fail(kExitFailure, (ctx.command.empty() ? "" : ctx.command + ": ") + e.what());
    }
    return status;
}
