#include "FakePlatform.h"
#include "WideText.h"
#include "handoff/TextHelpers.h"

#include <gtest/gtest.h>

#include <string>

namespace wrapper::handoff {
namespace {

std::string Str(TextView view) { return {view.data, view.length}; }

struct SplitRow {
    const char* text;
    const char* delimiter;
    std::uint32_t count;
    const char* piece0;
    const char* piece1;
};

TEST(SplitByDelimiter, CutsOnlyAtWholeDelimitersAndDropsEmptyRuns) {
    const SplitRow rows[] = {
        {"lang\\de.ini", "\\", 2, "lang", "de.ini"},
        {"de.ini", "\\", 2, "de.ini", ""},
        {"", "\\", 2, "", ""},
        {"de.ini", ".", 2, "de", "ini"},
        {"de", ".", 2, "de", ""},
        {"a\\b\\fr.txt", "\\", 3, "a", "b"},
        {"\\de.ini", "\\", 1, "de.ini", ""},
        {"lang\\", "\\", 1, "lang", ""},
        {"x\\\\.jp", "\\", 2, "x", ".jp"},
        {"..", ".", 0, "", ""},
        {"x%1/p?", "%1", 2, "x", "/p?"},
        {"x%1/p?k=v", "%1", 2, "x", "/p?k=v"},
        // A lone 1 or % is text, not a delimiter.
        {"x%1/p?k=21", "%1", 2, "x", "/p?k=21"},
        {"x1y%1z", "%1", 2, "x1y", "z"},
        {"A1B", "%1", 2, "A1B", ""},
        {"100%", "%1", 2, "100%", ""},
        {"x/p?k=v", "%1", 2, "x/p?k=v", ""},
        {"%%1", "%1", 1, "%", ""},
        {"%1x", "%1", 1, "x", ""},
        {"x%1", "%1", 1, "x", ""},
        {"%1%1", "%1", 0, "", ""},
        {"x%1%1y%1z", "%1", 3, "x", "y"},
    };
    for (const SplitRow& row : rows) {
        SCOPED_TRACE(std::string("text \"") + row.text + "\" delimiter \"" + row.delimiter + "\"");
        const SplitPieces pieces = SplitByDelimiter(ViewOf(row.text), row.delimiter);
        EXPECT_EQ(pieces.count, row.count);
        EXPECT_EQ(Str(pieces.Piece(0)), row.piece0);
        EXPECT_EQ(Str(pieces.Piece(1)), row.piece1);
        EXPECT_EQ(Str(pieces.Piece(7)), "");
    }
}

TEST(SplitByDelimiter, PiecesAreViewsIntoTheSplitText) {
    const char text[] = "ab%1cd";
    const SplitPieces pieces = SplitByDelimiter(ViewOf(text), "%1");
    EXPECT_EQ(pieces.Piece(0).data, text);
    EXPECT_EQ(pieces.Piece(1).data, text + 4);
    // A bounded view: the split never reads past its length.
    const SplitPieces cut = SplitByDelimiter({text, 3}, "%1");
    EXPECT_EQ(cut.count, 2u);
    EXPECT_EQ(Str(cut.Piece(0)), "ab%");
}

TEST(SameText, IsWholeStringAndCaseSensitive) {
    EXPECT_TRUE(SameText(ViewOf("fr"), "fr"));
    for (const char* other : {"FR", "fr ", "f", "", "fra"}) {
        SCOPED_TRACE(other);
        EXPECT_FALSE(SameText(ViewOf(other), "fr"));
    }
}

TEST(AppendText, KeepsTheBufferUnchangedWhenTheTextDoesNotFit) {
    char buffer[6] = "ab";
    std::uint32_t length = 2;
    EXPECT_FALSE(AppendText(buffer, sizeof buffer, length, ViewOf("cdef")));
    EXPECT_EQ(length, 2u);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_TRUE(AppendText(buffer, sizeof buffer, length, ViewOf("cde")));
    EXPECT_STREQ(buffer, "abcde");
}

// A length at or past the capacity (a caller's slip) must refuse, not write past the end.
TEST(AppendText, AndAppendWideRefuseALengthAtOrPastTheCapacity) {
    struct Row {
        std::uint32_t capacity;
        std::uint32_t length;
        const char* text;
        bool fits;
    };
    const Row rows[] = {
        {6, 2, "cde", true},
        {6, 2, "cdef", false},
        {6, 5, "", true},
        {6, 6, "", false},
        {6, 7, "x", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.capacity << "/" << row.length << " + " << row.text);
        char narrow[8] = "ab";
        char16_t wide[8] = u"ab";
        std::u16string text16(row.text, row.text + std::char_traits<char>::length(row.text));
        std::uint32_t narrowLength = row.length;
        std::uint32_t wideLength = row.length;
        EXPECT_EQ(AppendText(narrow, row.capacity, narrowLength, ViewOf(row.text)), row.fits);
        EXPECT_EQ(AppendWide(wide, row.capacity, wideLength, text16.c_str()), row.fits);
        if (!row.fits) {
            EXPECT_EQ(narrowLength, row.length);
            EXPECT_EQ(wideLength, row.length);
            EXPECT_EQ(narrow[7], '\0');
            EXPECT_EQ(wide[7], u'\0');
        }
    }
}

TEST(CodePageConversions, EmptyTextGivesEmptyText) {
    fake::FakeCodePages codePages;
    char16_t wide[4] = u"old";
    EXPECT_TRUE(AnsiToWide(codePages, ViewOf(""), wide, 4));
    EXPECT_EQ(std::u16string(wide), u"");
}

TEST(CodePageConversions, FitTheirBufferWithTheTerminatorOrGiveEmptyText) {
    fake::FakeCodePages codePages;
    codePages.utf8 = true;
    // "é" takes two bytes in UTF-8: "a\xc3\xa9" is two units and needs the terminator too.
    char16_t wide[3] = {};
    EXPECT_FALSE(AnsiToWide(codePages, ViewOf("a\xc3\xa9x"), wide, 3));
    EXPECT_EQ(std::u16string(wide), u"");
    EXPECT_TRUE(AnsiToWide(codePages, ViewOf("a\xc3\xa9"), wide, 3));
    EXPECT_EQ(std::u16string(wide), u"aé");
}

}  // namespace
}  // namespace wrapper::handoff
