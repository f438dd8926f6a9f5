#include "util/stringutil.h"

#include <climits>
#include <cstring>
#include <cwchar>
#include <stdexcept>

#include "util/md5.h"

namespace stringutil {
namespace helper {

const char HEX[17] = "0123456789abcdef";

// Bit 0 (1): percent-encoded in a URL: 0..32, 127 and " # $ % & + , / : ; < = > ? @ [ \ ] ^ ` {
// | }. Bit 1 (2): ' " & < >.
const unsigned char ASCII_CLASS[128] = {
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x00
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x10
    1, 0, 3, 1, 1, 1, 3, 2, 0, 0, 0, 1, 1, 0, 0, 1,  // 0x20  !"#$%&'()*+,-./
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 3, 1, 3, 1,  // 0x30 0-9 :;<=>?
    1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x40 @A-O
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 0,  // 0x50 P-Z[\]^_
    1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x60 `a-o
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 1,  // 0x70 p-z{|}~ DEL
};

char hex_encode(unsigned value) {
  return value <= 15 ? HEX[value] : '!';
}

bool hex_decode(char c, unsigned char& value) {
  if (c >= '0' && c <= '9') {
    value = static_cast<unsigned char>(c - '0');
    return true;
  }
  if (c >= 'a' && c <= 'z') {
    value = static_cast<unsigned char>(c - 'a' + 10);
    return true;
  }
  if (c >= 'A' && c <= 'Z') {
    value = static_cast<unsigned char>(c - 'A' + 10);
    return true;
  }
  return false;
}

}  // namespace helper

namespace {

int fold(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? u - 'A' + 'a' : u;
}

bool url_encoded(unsigned char c) {
  return c < 128 && (helper::ASCII_CLASS[c] & 1) != 0;
}

// hex_decode() reads any letter as a digit up to 35; an escape takes only real hex digits, so
// "%zz" stays as it is instead of turning into an unrelated byte.
bool hex_digit(char c, unsigned char& value) {
  return helper::hex_decode(c, value) && value < 16;
}

}  // namespace

int strnicmp(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const int difference = fold(a[i]) - fold(b[i]);
    if (difference != 0 || a[i] == '\0') {
      return difference;
    }
  }
  return 0;
}

int stricmp(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const int difference = fold(*a) - fold(*b);
    if (difference != 0 || *a == '\0') {
      return difference;
    }
  }
}

char* strsplit_r(char* text, const char* delimiter, char** save) {
  char* piece = text != nullptr ? text : *save;
  if (piece == nullptr) {
    return nullptr;
  }
  char* next = delimiter[0] != '\0' ? std::strstr(piece, delimiter) : nullptr;
  if (next == nullptr) {
    *save = nullptr;
  } else {
    *next = '\0';
    *save = next + std::strlen(delimiter);
  }
  return piece;
}

size_t split(const std::string& text, const std::string& delimiter,
             std::vector<std::string>& pieces) {
  if (delimiter.empty()) {
    pieces.push_back(text);
    return pieces.size();
  }
  size_t start = 0;
  for (;;) {
    const size_t found = text.find(delimiter, start);
    if (found == std::string::npos) {
      pieces.push_back(text.substr(start));
      return pieces.size();
    }
    pieces.push_back(text.substr(start, found - start));
    start = found + delimiter.size();
  }
}

// Each search starts where the last replacement went in. When `to` itself begins with `from`
// that would find the replacement again forever, so the search then starts just before it.
std::string& replace_all(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) {
    return text;
  }
  const bool to_begins_with_from = to.compare(0, from.size(), from) == 0;
  size_t found = text.rfind(from);
  while (found != std::string::npos) {
    text.replace(found, from.size(), to);
    if (to_begins_with_from) {
      if (found == 0) {
        break;
      }
      --found;
    }
    found = text.rfind(from, found);
  }
  return text;
}

std::string& trim_left(std::string& text) {
  text.erase(0, text.find_first_not_of(' '));
  return text;
}

std::string& trim_right(std::string& text) {
  const size_t last = text.find_last_not_of(' ');
  text.erase(last == std::string::npos ? 0 : last + 1);
  return text;
}

std::wstring a2w(const char* text, size_t max) {
  std::wstring out;
  if (text == nullptr) {
    return out;
  }
  std::mbstate_t state{};
  const char* p = text;
  size_t left = std::strlen(text);
  while (left > 0 && (max == 0 || out.size() < max)) {
    wchar_t wide = 0;
    const size_t used = std::mbrtowc(&wide, p, left, &state);
    if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2)) {
      throw std::invalid_argument("a2w:Encounters an invalid multibyte character.");
    }
    if (used == 0) {
      break;
    }
    out.push_back(wide);
    p += used;
    left -= used;
  }
  return out;
}

std::string w2a(const wchar_t* text, size_t max) {
  std::string out;
  if (text == nullptr) {
    return out;
  }
  std::mbstate_t state{};
  char bytes[MB_LEN_MAX];
  for (size_t i = 0; text[i] != L'\0' && (max == 0 || i < max); ++i) {
    const size_t used = std::wcrtomb(bytes, text[i], &state);
    if (used == static_cast<size_t>(-1)) {
      throw std::invalid_argument(
          "w2a:Encounters a wide character it cannot convert to a multibyte character.");
    }
    out.append(bytes, used);
  }
  return out;
}

std::string md5_encode(const std::string& text) {
  md5_state state;
  md5_init(&state);
  md5_append(&state, text.data(), static_cast<long>(text.size()));
  uint8_t digest[16];
  md5_finish(&state, digest);
  std::string hex(32, '0');
  for (int i = 0; i < 16; ++i) {
    hex[2 * i] = helper::HEX[digest[i] >> 4];
    hex[2 * i + 1] = helper::HEX[digest[i] & 15];
  }
  return hex;
}

size_t url_encode(char* dst, size_t dst_size, const char* src, size_t src_length) {
  if (dst == nullptr) {
    return 3 * src_length + 1;
  }
  if (dst_size == 0) {
    return 0;
  }
  size_t out = 0;
  for (size_t i = 0; i < src_length; ++i) {
    const auto c = static_cast<unsigned char>(src[i]);
    if (!url_encoded(c)) {
      if (out + 1 >= dst_size) {
        break;
      }
      dst[out++] = static_cast<char>(c);
    } else {
      if (out + 3 >= dst_size) {
        break;
      }
      dst[out++] = '%';
      dst[out++] = helper::HEX[c >> 4];
      dst[out++] = helper::HEX[c & 15];
    }
  }
  dst[out] = '\0';
  return out;
}

size_t url_decode(char* dst, size_t dst_size, const char* src, size_t src_length) {
  if (dst == nullptr) {
    return src_length + 1;
  }
  if (dst_size == 0) {
    return 0;
  }
  size_t out = 0;
  for (size_t i = 0; i < src_length && out + 1 < dst_size; ++i) {
    unsigned char high = 0;
    unsigned char low = 0;
    if (src[i] == '+') {
      dst[out++] = ' ';
    } else if (src[i] == '%' && i + 2 < src_length && hex_digit(src[i + 1], high) &&
               hex_digit(src[i + 2], low)) {
      dst[out++] = static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      dst[out++] = src[i];
    }
  }
  dst[out] = '\0';
  return out;
}

std::string url_encode(const std::string& text) {
  std::string out(url_encode(nullptr, 0, text.data(), text.size()), '\0');
  out.resize(url_encode(&out[0], out.size(), text.data(), text.size()));
  return out;
}

std::string url_decode(const std::string& text) {
  std::string out(url_decode(nullptr, 0, text.data(), text.size()), '\0');
  out.resize(url_decode(&out[0], out.size(), text.data(), text.size()));
  return out;
}

std::string escape(const char* text) {
  std::string quoted = "'";
  for (const char* p = text; p != nullptr && *p != '\0'; ++p) {
    if (*p == '\'') {
      quoted += '\'';
    }
    quoted += *p;
  }
  quoted += '\'';
  return quoted;
}

}  // namespace stringutil
