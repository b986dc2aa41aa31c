// Writes seed argument areas for procargs_fuzz into the folder argv[1], laid out as the kernel
// lays out KERN_PROCARGS2: argc, executable path, NUL padding, arguments, environment.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

std::string area(std::int32_t argc, const std::string& exec, std::size_t pad, const std::string& rest) {
    std::string out(4, '\0');
    std::memcpy(out.data(), &argc, 4);  // host order
    return out + exec + std::string(1 + pad, '\0') + rest;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: procargs_seeds FOLDER\n");
        return 2;
    }
    const std::string key = "CLAUDE_CODE_SESSION_ID=";
    const std::string id = "0f0e0d0c-0b0a-0908-0706-050403020100";
    const std::vector<std::string> seeds = {
        std::string("\x01\0\0\0"s),
        area(1, "/bin/x", 0, ""),
        area(2, "/bin/a", 3, "a\0\0X=1\0\0more\0"s),
        area(2, "/usr/local/bin/node", 5,
             "node\0/usr/local/bin/agent\0HOME=/Users/u\0"s + key + id + "\0TERM=xterm\0\0executable_path=/x\0"s),
        area(1, "/bin/sh", 0, "sh\0"s + key + "zz " + key + id + "\0\0"s),
        area(1, "/bin/sh", 0, "sh\0"s + key + "0f0e\0"s + id.substr(4) + "xxxx\0\0"s),
        area(3, "/bin/echo", 2, "echo\0t\tn\nb\\\0caf\xc3\xa9\x7f\x1b\0LANG=C\0\0"s),
    };
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        std::ofstream out(std::string(argv[1]) + "/seed" + std::to_string(i), std::ios::binary);
        out.write(seeds[i].data(), static_cast<std::streamsize>(seeds[i].size()));
        if (!out) return 1;
    }
    return 0;
}
