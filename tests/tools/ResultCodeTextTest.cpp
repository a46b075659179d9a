// The result codes as the package format's documentation lists them must be the codes the
// launcher returns and the tools name: same numbers, same names, none missing, none extra.

#include "ResultCode.h"
#include "tools/package/ResultCodeText.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace tools = wrapper::tools;

namespace {

struct DocumentedCode {
    std::uint32_t code;
    std::string name;
};

// The rows of the documentation's table: "| 4 | `kSeekFieldsFailed` | meaning |".
std::vector<DocumentedCode> DocumentedCodes() {
    std::ifstream docs(WRAPPER_SOURCE_DIR "/docs/package-format.md");
    EXPECT_TRUE(docs) << "cannot read docs/package-format.md";
    const std::regex row(R"(^\| (\d+) \| `(k\w+)` \| .+ \|$)");
    std::vector<DocumentedCode> codes;
    for (std::string line; std::getline(docs, line);) {
        std::smatch match;
        if (std::regex_match(line, match, row)) {
            codes.push_back({static_cast<std::uint32_t>(std::stoul(match[1])), match[2]});
        }
    }
    return codes;
}

TEST(ResultCodeText, DocumentationListsEveryCodeByTheNameTheToolsGiveIt) {
    const std::vector<DocumentedCode> codes = DocumentedCodes();
    ASSERT_EQ(codes.size(), wrapper::kScanReadOrCopyFailed + 1u);
    for (std::uint32_t code = 0; code < codes.size(); ++code) {
        SCOPED_TRACE(code);
        EXPECT_EQ(codes[code].code, code);
        EXPECT_EQ(codes[code].name, tools::package::ResultCodeName(code));
    }
    EXPECT_STREQ(tools::package::ResultCodeName(wrapper::kScanReadOrCopyFailed + 1), "unknown");
}

}  // namespace
