// String helpers: case-insensitive comparison, splitting, replacing, trimming, wide and multibyte
// conversion, URL encoding, SQL literal quoting and MD5 hex digests. Free functions without
// state; safe on any thread (the wide conversions follow the calling thread's locale).
#ifndef NORVEL_STRINGUTIL_H_
#define NORVEL_STRINGUTIL_H_

#include <cstddef>
#include <string>
#include <vector>

namespace stringutil {

namespace helper {

extern const char HEX[17];  // "0123456789abcdef"
// One entry per 7-bit code. Bit 0: a URL carries it percent-encoded. Bit 1: one of ' " & < >.
extern const unsigned char ASCII_CLASS[128];

// The digit for 0..15; anything larger gives '!'.
char hex_encode(unsigned value);
// '0'..'9' give 0..9 and any letter gives 10..35 ("z" is 35); false for anything else.
bool hex_decode(char c, unsigned char& value);

}  // namespace helper

// Compare folding A..Z to lower case; answer the difference of the first differing characters.
int strnicmp(const char* a, const char* b, size_t n);
int stricmp(const char* a, const char* b);

// Appends the pieces of `text` between occurrences of the string `delimiter` to `pieces`; empty
// pieces count, so "" gives one empty piece. Answers the vector's size. An empty delimiter
// gives the whole text as one piece.
size_t split(const std::string& text, const std::string& delimiter,
             std::vector<std::string>& pieces);
// Re-entrant tokeniser behind split(): cuts `text` (or, when null, the rest in *save) at the
// next occurrence of `delimiter`, writing a zero there. Answers the piece, or null when nothing
// is left; *save is null after the last piece.
char* strsplit_r(char* text, const char* delimiter, char** save);

// Replaces every `from` in `text` by `to`, searching from the end toward the start. An empty
// `from` changes nothing. Changes `text` in place and answers it.
std::string& replace_all(std::string& text, const std::string& from, const std::string& to);

// Remove leading or trailing blanks (the space character only) in place; answer `text`.
std::string& trim_left(std::string& text);
std::string& trim_right(std::string& text);

// Multibyte <-> wide under the current locale; `max` limits the wide characters converted, 0
// means all. Throw std::invalid_argument on text that cannot be converted.
std::wstring a2w(const char* text, size_t max = 0);
std::string w2a(const wchar_t* text, size_t max = 0);

// The MD5 digest of the bytes of `text` as 32 lower-case hex digits.
std::string md5_encode(const std::string& text);

// Percent-encoding. With a null `dst` they answer the size a whole conversion needs; with
// `dst_size` 0 they answer 0; otherwise they convert as much as fits, terminate `dst` and
// answer the length written. Bytes from 128 up pass unencoded.
size_t url_encode(char* dst, size_t dst_size, const char* src, size_t src_length);
size_t url_decode(char* dst, size_t dst_size, const char* src, size_t src_length);
std::string url_encode(const std::string& text);
std::string url_decode(const std::string& text);

// `text` as an SQL string literal: in single quotes, inner single quotes doubled. Null gives ''.
std::string escape(const char* text);

}  // namespace stringutil

#endif  // NORVEL_STRINGUTIL_H_
