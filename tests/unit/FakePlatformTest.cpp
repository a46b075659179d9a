// The in-memory platform stands in for the system in every unit test, so where the
// launcher's behaviour depends on the system's rules the fake must follow them too.

#include "FakePlatform.h"

#include <gtest/gtest.h>

#include <string>

namespace wrapper::fake {
namespace {

TEST(FakePlatform, FoldsCaseAsTheSystemDoesBeyondAscii) {
    struct Row {
        char16_t unit;
        char16_t folded;
    };
    const Row rows[] = {
        {u'A', u'a'},      {u'z', u'z'},      {u'1', u'1'},
        {0xC9, 0xE9},      // É
        {0xDE, 0xFE},      // Þ
        {0xD7, 0xD7},      // the multiplication sign is no letter
        {0xDF, 0xDF},      // ß has no capital of its own
        {0x152, 0x153},    // Œ, which 1252 spells as 0x8C
        {0x160, 0x161},    // Š
        {0x17D, 0x17E},    // Ž
        {0x178, 0xFF},     // Ÿ
        {0x100, 0x101},    // Ā
        {0x139, 0x13A},    // Ĺ: the pairs change step here
        {0x147, 0x148},    // Ň
        {0x130, 0x130},    // dotted capital I keeps its own form
        {0x391, 0x3B1},    // Greek alpha
        {0x410, 0x430},    // Cyrillic A
        {0x401, 0x451},    // Ё
        {0x4E2D, 0x4E2D},  // no case at all
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(static_cast<unsigned>(row.unit));
        EXPECT_EQ(FoldCase(row.unit), row.folded);
    }

    FakePlatform machine;
    machine.files.AddFile(u"C:\\Programme\\Caf\u00e9\\\u0160koda.exe", {'M', 'Z'});
    EXPECT_TRUE(machine.files.Exists(u"c:\\PROGRAMME\\CAF\u00c9\\\u0161KODA.EXE"));
    machine.registry.SetString(u"SOFTWARE\\\u00c4pp", u"Value", u"x");
    platform::KeyHandle key{};
    EXPECT_TRUE(machine.registry.OpenLocalMachineKey(u"software\\\u00e4PP", &key));
    machine.registry.CloseKey(key);
}

TEST(FakePlatform, ReadsProfileValuesAndConvertsTextAsTheSystemDoes) {
    struct Row {
        const char* stored;
        const char* read;
    };
    const Row rows[] = {
        {"lang\\de.ini", "lang\\de.ini"},
        {"\"lang\\de.ini\"", "lang\\de.ini"},  // one pair of quotes is dropped
        {"'lang\\de.ini'", "lang\\de.ini"},
        {"  \"a b\"  ", "a b"},
        {"\"\"", ""},
        {"\"a\"b\"", "a\"b"},
        {"\"lang\\de.ini'", "\"lang\\de.ini'"},  // quotes that do not match stay
        {"\"", "\""},
        {"\"\"x\"\"", "\"x\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stored);
        FakePlatform machine;
        machine.files.WriteText(u"C:\\App\\cfg.ini",
                                std::string("[language]\r\nlanguage = ") + row.stored + "\r\n");
        char value[64] = {};
        machine.profiles.ReadString(u"Language", u"LANGUAGE", value, sizeof value,
                                    u"C:\\App\\cfg.ini");
        EXPECT_EQ(std::string(value), row.read);
    }
    // The code page is 1252's, not Latin-1: 0x80-0x9F are its characters, and the five it
    // leaves undefined stand for themselves.
    FakeCodePages codePages;
    EXPECT_EQ(codePages.Widen("\x80\x81\x8c\x9f\xe9"), u"\u20ac\u0081\u0152\u0178\u00e9");
    EXPECT_EQ(codePages.Narrow(u"\u20ac\u0081\u0152\u0178\u00e9"), "\x80\x81\x8c\x9f\xe9");
}

}  // namespace
}  // namespace wrapper::fake
