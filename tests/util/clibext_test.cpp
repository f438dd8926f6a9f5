#include "util/clibext.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

using file_ptr = std::unique_ptr<FILE, int (*)(FILE*)>;

file_ptr temp_file_with(const std::string& content) {
  file_ptr file(std::tmpfile(), &std::fclose);
  std::fwrite(content.data(), 1, content.size(), file.get());
  std::rewind(file.get());
  return file;
}

TEST(FileStreams, SizeLeavesThePositionWhereItWas) {
  file_ptr file = temp_file_with("0123456789");
  std::fseek(file.get(), 4, SEEK_SET);
  EXPECT_EQ(clibext::fsize(file.get()), 10);
  EXPECT_EQ(std::ftell(file.get()), 4);
  EXPECT_EQ(std::fgetc(file.get()), '4');
  EXPECT_EQ(clibext::fsize(nullptr), 0);
}

TEST(FileStreams, ReadStopsAtEndOfFileAndReportsWhatArrived) {
  file_ptr file = temp_file_with("hello world");
  std::fseek(file.get(), 6, SEEK_SET);
  char buffer[64] = {};
  EXPECT_EQ(clibext::freadn(file.get(), buffer, sizeof(buffer)), 5);
  EXPECT_STREQ(buffer, "world");
  EXPECT_EQ(clibext::freadn(file.get(), buffer, sizeof(buffer)), 0);
}

TEST(FileStreams, ReadOnAWriteOnlyStreamIsAnError) {
  char name[] = "/tmp/norvel_clibext_XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  file_ptr file(fdopen(fd, "w"), &std::fclose);
  char buffer[8];
  EXPECT_EQ(clibext::freadn(file.get(), buffer, sizeof(buffer)), -1);
  ::unlink(name);
}

TEST(FileStreams, WriteAllThenExistence) {
  char name[] = "/tmp/norvel_clibext_XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  {
    file_ptr file(fdopen(fd, "w"), &std::fclose);
    EXPECT_EQ(clibext::fwriten(file.get(), "abcdef", 6), 6);
  }
  file_ptr file(std::fopen(name, "rb"), &std::fclose);
  EXPECT_EQ(clibext::fsize(file.get()), 6);
  EXPECT_TRUE(clibext::fexist(name));
  const std::wstring wide_name(name, name + std::strlen(name));
  EXPECT_TRUE(clibext::fexist(wide_name.c_str()));
  ::unlink(name);
  EXPECT_FALSE(clibext::fexist(name));
  EXPECT_FALSE(clibext::fexist(static_cast<const char*>(nullptr)));
}

TEST(Paths, RootSlashesBaseNamesAndExtensions) {
  EXPECT_STREQ(clibext::path_skiproot("C:\\dir\\file"), "dir\\file");
  EXPECT_STREQ(clibext::path_skiproot("/usr/lib"), "usr/lib");
  EXPECT_STREQ(clibext::path_skiproot("rel/x"), "rel/x");
  EXPECT_STREQ(clibext::path_nextslash("abc\\def/g"), "\\def/g");
  EXPECT_STREQ(clibext::path_nextslash("plain"), "");

  EXPECT_STREQ(clibext::fbase_name("/var/log/norvel.txt"), "norvel.txt");
  EXPECT_STREQ(clibext::fbase_name("C:\\logs\\a.b"), "a.b");
  EXPECT_STREQ(clibext::fbase_name("dir/"), "");
  EXPECT_STREQ(clibext::fbase_name("name"), "name");

  EXPECT_STREQ(clibext::fext("archive.tar.gz"), ".gz");
  EXPECT_STREQ(clibext::fext("/home/u/.profile"), "");
  EXPECT_STREQ(clibext::fext("/home/u/..hidden"), ".hidden");
  EXPECT_STREQ(clibext::fext("dir.d/noext"), "");
}

TEST(Paths, AddSlashOnlyWhenTheLastComponentIsNotEmpty) {
  char path[16] = "dir";
  EXPECT_STREQ(clibext::addslash(path), "dir\\");
  EXPECT_STREQ(clibext::addslash(path), "dir\\");
  char unix_path[16] = "dir/";
  EXPECT_STREQ(clibext::addslash(unix_path), "dir/");
  char empty[4] = "";
  EXPECT_STREQ(clibext::addslash(empty), "");
}

}  // namespace
