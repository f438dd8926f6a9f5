// Progress of the start-up load: rows counted from several reader threads, and the reporter's
// periodic and final event-log entries carrying those counts.
#include "metrics/load_progress.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/log.h"
#include "temp_dir.h"

namespace {

std::mutex reported_lock;
std::vector<std::string> reported;  // guarded by reported_lock

void remember(const std::string& line) {
  std::lock_guard<std::mutex> lock(reported_lock);
  reported.push_back(line);
}

std::string whole_directory(const std::string& dir) {
  std::string text;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path());
    std::stringstream content;
    content << in.rdbuf();
    text += content.str();
  }
  return text;
}

TEST(LoadProgress, ReportsWhileTheLoadRunsAndTotalsAtTheEnd) {
  const temp_dir scratch("norvel-progress-");
  const std::string& dir = scratch.path();
  ASSERT_TRUE(init_log(dir.c_str(), "norvel"));

  load_progress& load = load_progress::global();
  load.row_read(load_progress::members_table);  // before the load: not counted
  {
    const load_progress::timing timing(load);
    load_reporter reporter(std::chrono::milliseconds(20), &remember);
    // Two reader threads, as the load has: specials on one, members on the other.
    std::thread specials([&] {
      for (int i = 0; i < 30000; ++i) {
        load.row_read(load_progress::specials_table);
      }
    });
    for (int i = 0; i < 1234; ++i) {
      load.row_read(load_progress::members_table);
    }
    specials.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_TRUE(load.running());
  }  // the reporter writes its totals, then the load ends
  load.row_read(load_progress::members_table);  // after the load: not counted either
  EXPECT_TRUE(load.finished());
  EXPECT_EQ(load.rows_read(load_progress::specials_table), 30000u);
  EXPECT_EQ(load.rows_read(load_progress::members_table), 1234u);
  fini_log();

  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(reported_lock);
    lines = reported;
  }
  ASSERT_GE(lines.size(), 3u);  // at least two periodic entries, then the totals
  EXPECT_EQ(lines.back().rfind("load progress: finished, brix_mb_special 30000 rows, "
                               "brix_member 1234 rows, 31234 rows in ",
                               0),
            0u)
      << lines.back();
  const std::string log = whole_directory(dir);
  for (const std::string& line : lines) {
    EXPECT_NE(log.find("\tInfo:\t" + line + "\r\n"), std::string::npos) << line;
  }
}

}  // namespace
