// Prints the name the launcher gives the installer it extracts when it starts in each
// given second (seconds since 1970), one a line, e.g. "Zorvik28462.exe". The end-to-end
// tests plant and look for these names; they take them from the launcher's own code here.
//
//   launcher-temp-names SECONDS...

#include "package/PayloadExtractor.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        // The launcher draws from the clock's low 32 bits, as this conversion keeps them.
        const auto seconds = static_cast<std::uint32_t>(std::strtoull(argv[i], nullptr, 10));
        char16_t path[wrapper::package::kPathCapacity] = {};
        if (!wrapper::package::FormatTempInstallerPath(
                u"", wrapper::package::DrawTempNumber(seconds), path)) {
            return 1;
        }
        // The path is the separator and the name; the name is ASCII.
        for (const char16_t* unit = path + 1; *unit != u'\0'; ++unit) {
            std::putchar(static_cast<char>(*unit));
        }
        std::putchar('\n');
    }
    return 0;
}
