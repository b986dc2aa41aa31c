// Writes the seed corpus of request_fuzz into the folder named by argv[1]: one file per request
// of every kind, each behind a control byte (root peer, tools succeed).
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: request_seeds FOLDER\n");
        return 2;
    }
    const std::vector<std::string> requests = {
        "{\"verb\":\"ping\"}\n",
        "{\"verb\":\"PING\"}",
        "{\"verb\":\"power\",\"profile\":\"awake\"}",
        "{\"verb\":\"power\",\"profile\":\"ac-boost\"}",
        "{\"verb\":\"power\",\"profile\":5}",
        "{\"verb\":\"power\"}",
        "{\"verb\":\"ease\",\"pid\":4242}",
        "{\"verb\":\"ease\",\"pid\":\"+42\"}",
        "{\"verb\":\"restore\",\"pid\":42.9}",
        "{\"verb\":\"restore\",\"pid\":4294967301}",
        "{\"verb\":\"ease\",\"pid\":1e300}",
        "{\"verb\":\"ease\",\"pid\":[1]}",
        "[{\"verb\":\"ping\"}]",
        "{\"verb\":\"x\\ny\\u0000\"}",
        "{\"verb\":\"ping\",\"a\":{\"b\":[null,true,false,-1.5e-3]}}",
    };
    int n = 0;
    for (const auto& r : requests) {
        for (const char control : {'\0', '\x1d'}) {  // root with working tools; console user, tools failing
            std::ofstream out(std::string(argv[1]) + "/seed-" + std::to_string(n++), std::ios::binary);
            out.put(control);
            out << r;
        }
    }
    return 0;
}
