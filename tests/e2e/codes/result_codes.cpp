// Writes the launcher's result codes, from its own list, as JSON to the file given:
//   {"codes": [{"number": 0, "name": "kSuccess", "meaning": "..."}, ...],
//    "aliases": {"kInstallerCreateFailed": 15, ...}}
// The build runs it once; the Python tests read the file instead of the C++ sources.
//
//   launcher-result-codes OUTPUT.json

#include "ResultCode.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: launcher-result-codes OUTPUT.json\n");
        return 2;
    }
    nlohmann::ordered_json codes = nlohmann::ordered_json::array();
    nlohmann::ordered_json aliases = nlohmann::ordered_json::object();
#define WRAPPER_RESULT_CODE(number, name, meaning) \
    codes.push_back({{"number", number}, {"name", #name}, {"meaning", meaning}});
#define WRAPPER_RESULT_ALIAS(name, code) aliases[#name] = static_cast<unsigned>(wrapper::code);
#include "ResultCodeList.inc"
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << nlohmann::ordered_json{{"codes", codes}, {"aliases", aliases}}.dump(2) << '\n';
    out.close();
    if (!out) {
        std::fprintf(stderr, "launcher-result-codes: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
