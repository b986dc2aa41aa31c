// The reference host tool's frame: the loaded library, the subcommand registry and the exit
// statuses shared by every subcommand.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zelk_core.h"

namespace zelk::tool {

// Exit statuses of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;           // a failure reply, a failed check
inline constexpr int kExitUsage = 2;             // bad command line
inline constexpr int kExitNoSuchInterface = 3;   // code 1
inline constexpr int kExitMeasurementFailed = 4; // code -4
inline constexpr int kExitPanic = 5;             // code -1
inline constexpr int kExitNullPointer = 6;       // code -3 (a bug in the tool)
inline constexpr int kExitLibrary = 7;           // the library could not be loaded or is incompatible

// libzelk_core, loaded at run time and checked against the contract version.
class Library {
public:
    explicit Library(const std::string& path);  // throws std::runtime_error with a clear text
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    zelk_core_contract_fn contract = nullptr;
    zelk_core_free_fn free = nullptr;
    zelk_core_snapshot_fn snapshot = nullptr;
    zelk_core_gpu_clients_fn gpu_clients = nullptr;
    zelk_core_gpu_stats_fn gpu_stats = nullptr;
    zelk_core_iface_bytes_fn iface_bytes = nullptr;
    zelk_core_selftest_fn selftest = nullptr;
    std::string file;  // the file the library was loaded from, as the loader found it

private:
    void* handle_ = nullptr;
};

struct Context {
    std::string command;       // the subcommand's name
    std::string library_path;  // --lib, or the library built beside the tool
    std::vector<std::string> args;  // the subcommand's own arguments
    std::string program_dir;   // where the zelk executable lives (to find vintrel, zelk-helper)
    Library& library();        // loaded on first use
private:
    std::unique_ptr<Library> library_;
};

struct Command {
    const char* name;
    const char* usage;  // one line, shown by `zelk help`; each subcommand's --help says more
    int (*run)(Context&);
};

// Registers a subcommand; each subcommand file holds one static Registration.
struct Registration {
    explicit Registration(Command command);
};

// A message for a library return code, and the exit status that goes with it.
const char* code_text(std::int32_t code);
int exit_for_code(std::int32_t code);

// The subcommand being run ("top"): code that several subcommands share names it in messages.
std::string& running_command();

// Prints "zelk: <message>" to standard error and returns `status`.
int fail(int status, const std::string& message);

// A JSON string literal for arbitrary bytes (control and non-ASCII bytes escaped).
std::string json_string(const std::string& bytes);

}  // namespace zelk::tool
