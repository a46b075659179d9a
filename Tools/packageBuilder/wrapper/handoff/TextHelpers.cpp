#include "handoff/TextHelpers.h"

namespace wrapper::handoff {

namespace {

bool OccursAt(TextView text, std::uint32_t at, TextView delimiter) {
    if (delimiter.length > text.length - at) return false;
    for (std::uint32_t i = 0; i < delimiter.length; ++i) {
        if (text.data[at + i] != delimiter.data[i]) return false;
    }
    return true;
}

// Counts a piece and keeps it when there is room; empty runs are no pieces.
void AddPiece(SplitPieces& pieces, TextView text, std::uint32_t begin, std::uint32_t end) {
    if (end == begin) return;
    if (pieces.count < kKeptPieces) pieces.kept[pieces.count] = {text.data + begin, end - begin};
    ++pieces.count;
}

}  // namespace

TextView ViewOf(const char* text) {
    std::uint32_t length = 0;
    while (text[length] != '\0') ++length;
    return {text, length};
}

bool SameText(TextView text, const char* literal) {
    const TextView other = ViewOf(literal);
    if (other.length != text.length) return false;
    for (std::uint32_t i = 0; i < text.length; ++i) {
        if (text.data[i] != other.data[i]) return false;
    }
    return true;
}

bool AppendText(char* buffer, std::uint32_t capacity, std::uint32_t& length, TextView text) {
    if (length >= capacity || text.length >= capacity - length) return false;
    for (std::uint32_t i = 0; i < text.length; ++i) buffer[length + i] = text.data[i];
    length += text.length;
    buffer[length] = '\0';
    return true;
}

TextView SplitPieces::Piece(std::uint32_t index) const {
    if (index < kKeptPieces && index < count) return kept[index];
    return {"", 0};
}

SplitPieces SplitByDelimiter(TextView text, const char* delimiter) {
    const TextView separator = ViewOf(delimiter);
    SplitPieces pieces = {{{"", 0}, {"", 0}}, 0};
    bool found = false;
    std::uint32_t pieceStart = 0;
    std::uint32_t at = 0;
    while (at < text.length) {
        if (separator.length != 0 && OccursAt(text, at, separator)) {
            found = true;
            AddPiece(pieces, text, pieceStart, at);
            at += separator.length;
            pieceStart = at;
        } else {
            ++at;
        }
    }
    if (!found) {
        // The whole text and an empty piece, so that piece 1 always reads as empty here.
        pieces.kept[0] = text;
        pieces.count = 2;
        return pieces;
    }
    AddPiece(pieces, text, pieceStart, text.length);
    return pieces;
}

bool AnsiToWide(platform::CodePages& codePages, TextView text, char16_t* out,
                std::uint32_t capacity) {
    if (capacity == 0) return false;
    out[0] = u'\0';
    // First the length the result needs, so that "does not fit" is told apart from
    // "rejected" (which gives empty text, as does empty input).
    const std::uint32_t needed = codePages.AnsiToWide(text.data, text.length, nullptr, 0);
    if (needed >= capacity) return false;
    if (needed == 0) return true;
    std::uint32_t written = codePages.AnsiToWide(text.data, text.length, out, capacity - 1);
    if (written >= capacity) written = 0;
    out[written] = u'\0';
    return true;
}

}  // namespace wrapper::handoff
