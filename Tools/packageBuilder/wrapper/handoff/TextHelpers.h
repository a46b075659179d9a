#pragma once

#include "package/PackageTrailer.h"
#include "platform/CodePages.h"

#include <cstdint>

namespace wrapper::handoff {

// The hand-off works on 8-bit text in the ANSI code page (trailer fields, INI files) and
// on UTF-16 (the registry value, the URL handed to the shell). Everything it reads is
// bounded, so it works in fixed buffers owned by the caller and in views into them; it
// never allocates.

// The view of zero-terminated text, without its terminator.
TextView ViewOf(const char* text);

// Whole-string equality with a literal: equal length and equal bytes, case-sensitive.
bool SameText(TextView text, const char* literal);

// Appends `text` at `length` within `buffer` of `capacity` bytes (terminator included)
// and keeps it terminated; `length` moves to the new end. Returns false, leaving buffer
// and length unchanged, when the result would not fit.
bool AppendText(char* buffer, std::uint32_t capacity, std::uint32_t& length, TextView text);

// The pieces a split keeps. Callers use pieces 0 and 1 only.
inline constexpr std::uint32_t kKeptPieces = 2;

// The result of SplitByDelimiter: views into the text that was split.
struct SplitPieces {
    TextView kept[kKeptPieces];  // the first pieces; slots past `count` are empty
    std::uint32_t count;         // all pieces of the text, also those past the kept ones

    // Piece `index`; a piece the text does not have reads as empty text.
    TextView Piece(std::uint32_t index) const;
};

// The one splitting rule of the hand-off. With a non-empty `delimiter`:
// - when the text does not contain the delimiter (this includes empty text), the result
//   is two pieces: the whole text and an empty piece;
// - otherwise the pieces are the non-empty runs of text between whole occurrences of the
//   delimiter, found from left to right without overlap. Delimiters at the start or the
//   end, and adjacent delimiters, give no empty pieces, so the count may be 1 or even 0.
// Bytes, not characters: a delimiter is matched byte by byte wherever it stands. A `%` or
// a `1` alone never cuts at the delimiter "%1". An empty delimiter never occurs.
SplitPieces SplitByDelimiter(TextView text, const char* delimiter);

// Converts ANSI `text` to zero-terminated UTF-16 in `out` of `capacity` units (terminator
// included). Empty input, or input the converter rejects, gives empty text. Returns false,
// with `out` empty, when the result does not fit.
bool AnsiToWide(platform::CodePages& codePages, TextView text, char16_t* out,
                std::uint32_t capacity);

}  // namespace wrapper::handoff
