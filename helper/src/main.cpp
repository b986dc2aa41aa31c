// zelk-helper: the root daemon that applies power profiles and process priorities on request.
// Everything happens in runHelper; main only hands it the command line.
#include <string>
#include <vector>

#include "server.hpp"

int main(int argc, char** argv) {
    return zelk::helper::runHelper(std::vector<std::string>(argv, argv + argc));
}
