#include "util/clibext.h"

#include <cctype>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "util/stringutil.h"

namespace clibext {
namespace {

bool is_separator(char c) {
  return c == '/' || c == '\\';
}

}  // namespace

long fsize(FILE* file) {
  if (file == nullptr) {
    return 0;
  }
  const long position = std::ftell(file);
  if (position < 0 || std::fseek(file, 0, SEEK_END) != 0) {
    return -1;
  }
  const long size = std::ftell(file);
  std::fseek(file, position, SEEK_SET);
  return size;
}

long freadn(FILE* file, void* buffer, size_t n) {
  if (file == nullptr || buffer == nullptr) {
    return file == nullptr ? -1 : 0;
  }
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < n) {
    const size_t got = std::fread(out + done, 1, n - done, file);
    done += got;
    if (std::ferror(file)) {
      return -1;
    }
    if (got == 0 || std::feof(file)) {
      break;
    }
  }
  return static_cast<long>(done);
}

long fwriten(FILE* file, const void* data, size_t n) {
  if (file == nullptr) {
    return -1;
  }
  const auto* in = static_cast<const char*>(data);
  size_t done = 0;
  while (done < n) {
    const size_t put = std::fwrite(in + done, 1, n - done, file);
    if (put == 0) {
      return -1;
    }
    done += put;
  }
  return static_cast<long>(n);
}

bool fexist(const char* path) {
  if (path == nullptr) {
    return false;
  }
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path, "rb"), &std::fclose);
  return file != nullptr;
}

bool fexist(const wchar_t* path) {
  if (path == nullptr) {
    return false;
  }
  try {
    return fexist(stringutil::w2a(path).c_str());
  } catch (const std::exception&) {
    return false;  // a name with no multibyte form names no file we can open
  }
}

const char* path_skiproot(const char* path) {
  if (path == nullptr) {
    return nullptr;
  }
  if (std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') {
    path += 2;
  }
  if (is_separator(*path)) {
    ++path;
  }
  return path;
}

const char* path_nextslash(const char* text) {
  if (text == nullptr) {
    return nullptr;
  }
  while (*text != '\0' && !is_separator(*text)) {
    ++text;
  }
  return text;
}

char* addslash(char* path) {
  if (path == nullptr) {
    return nullptr;
  }
  const size_t length = std::strlen(path);
  if (length > 0 && !is_separator(path[length - 1])) {
    path[length] = '\\';
    path[length + 1] = '\0';
  }
  return path;
}

const char* fbase_name(const char* path) {
  if (path == nullptr) {
    return nullptr;
  }
  const char* base = path_skiproot(path);
  for (const char* p = base; *p != '\0'; ++p) {
    if (is_separator(*p)) {
      base = p + 1;
    }
  }
  return base;
}

const char* fext(const char* path) {
  if (path == nullptr) {
    return nullptr;
  }
  const char* base = fbase_name(path);
  const char* dot = std::strrchr(base, '.');
  if (dot == nullptr || dot == base) {
    return base + std::strlen(base);
  }
  return dot;
}

}  // namespace clibext
