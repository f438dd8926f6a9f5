// Helpers over standard-library file streams and over path strings. Paths accept both "/" and
// "\\" as separators. Every function is free of state and safe on any thread.
#ifndef NORVEL_CLIBEXT_H_
#define NORVEL_CLIBEXT_H_

#include <cstddef>
#include <cstdio>

namespace clibext {

// The size in bytes of an open file, leaving its position where it was. A null file gives 0; a
// stream that cannot be sized (a pipe) gives -1.
long fsize(FILE* file);
// Reads up to `n` bytes, looping over short reads until `n` arrived, end of file, or a read that
// transfers nothing. Answers the bytes read, or -1 on a read error.
long freadn(FILE* file, void* buffer, size_t n);
// Writes all `n` bytes by repeated writes; answers n, or -1 when a write transfers nothing.
long fwriten(FILE* file, const void* data, size_t n);

// Whether the file can be opened for reading (it is opened and closed again).
bool fexist(const char* path);
bool fexist(const wchar_t* path);  // converted to multibyte under the current locale first

// Past a leading drive prefix ("C:") and then past one leading separator.
const char* path_skiproot(const char* path);
// The first separator in `text`, or its terminating zero.
const char* path_nextslash(const char* text);
// Appends "\\" unless the path is empty or already ends in a separator. `path` must have room
// for one more character; answers `path`.
char* addslash(char* path);
// The last path component.
const char* fbase_name(const char* path);
// The extension of the last component from its last ".", dot included; the terminating zero
// when there is none or the only dot starts the name (".profile").
const char* fext(const char* path);

}  // namespace clibext

#endif  // NORVEL_CLIBEXT_H_
