// A tool runner that runs nothing: it records each tool and argument list and answers with the
// result set for that tool (success unless told otherwise).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "profiles.hpp"

namespace zelk::helper::testing {

class RecordingRunner final : public ToolRunner {
public:
    struct Run {
        std::string path;
        std::vector<std::string> args;
        bool operator==(const Run&) const = default;
    };
    std::vector<Run> runs;
    std::map<std::string, bool> results;  // by tool path; absent: success

    bool runTool(const std::string& path, const std::vector<std::string>& args) override {
        runs.push_back({path, args});
        const auto it = results.find(path);
        return it == results.end() || it->second;
    }
};

}  // namespace zelk::helper::testing
