#include "support/log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "temp_dir.h"

namespace {

const std::string banner_rule =
    "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+\r\n";
const std::string banner = banner_rule +
                           "+                            ZUL System - Event log                  "
                           "         +\r\n" +
                           banner_rule;

// 2023-11-14 22:13:20 UTC, which the log stamps as 06:13:20 (UTC+8).
constexpr time_t fixed_seconds = 1700000000;

timeval at(time_t seconds, long micros = 0) {
  timeval tv{};
  tv.tv_sec = seconds;
  tv.tv_usec = micros;
  return tv;
}

// Seconds since the epoch of a local wall-clock time.
time_t local_time(int year, int month, int day, int hour, int minute, int second) {
  tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  parts.tm_isdst = -1;
  return mktime(&parts);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Splits on "\r\n", dropping the empty piece after the last line end.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) {
    lines.push_back(text.substr(start));
  }
  return lines;
}

class EventLog : public ::testing::Test {
 protected:
  void TearDown() override { fini_log(); }

  std::unique_ptr<logger::Logfile> make_log(time_t seconds = fixed_seconds, long micros = 0) {
    auto log = std::make_unique<logger::Logfile>(dir.c_str(), "norvel", true);
    log->set_clock([seconds, micros] { return at(seconds, micros); });
    return log;
  }

  temp_dir scratch{"norvel_log_test_"};
  const std::string dir = scratch.path();
};

TEST_F(EventLog, FirstEntryWritesBannerThenStampedEntry) {
  auto log = make_log(fixed_seconds, 42);
  log->log_at(log_debug, "add_inviter");
  log->log_at(log_fatal, "code=%d name=%s", 7, "x");
  EXPECT_EQ(read_file(log->current_path()), banner +
                                                "06:13:20:000042\tDebug:\tadd_inviter\r\n"
                                                "06:13:20:000042\tFatal:\tcode=7 name=x\r\n");
}

TEST_F(EventLog, FileNameCarriesLocalDate) {
  auto log = make_log(local_time(2024, 3, 5, 12, 0, 0));
  EXPECT_EQ(log->current_path(), dir + "/norvel_20240305.txt");
}

TEST_F(EventLog, EachLevelHasItsWordAndOthersNone) {
  auto log = make_log();
  for (int level = 0; level <= 7; ++level) {
    log->log_at(level, "m");
  }
  const std::vector<std::string> lines = lines_of(read_file(log->current_path()));
  ASSERT_EQ(lines.size(), 3u + 8u);
  const char* expected[] = {"",        "Fatal:\t", "Error:\t", "Warning:\t",
                            "Info:\t", "Debug:\t", "Trace:\t", ""};
  for (int level = 0; level <= 7; ++level) {
    EXPECT_EQ(lines[3 + level], std::string("06:13:20:000000\t") + expected[level] + "m");
  }
}

TEST_F(EventLog, WithoutStampOnlyLevelWordAndMessage) {
  logger::Logfile log(dir.c_str(), "plain", false);
  log.log_at(log_info, "no stamp %s", "here");
  EXPECT_EQ(read_file(log.current_path()), banner + "Info:\tno stamp here\r\n");
}

TEST_F(EventLog, ClassicSetLevelThenLogWritesThatLevel) {
  auto log = make_log();
  log->SetCurLevel(log_warning);
  log->Log("percent-free text");
  log->Log("again");  // the level stays until set again
  EXPECT_EQ(read_file(log->current_path()), banner +
                                                "06:13:20:000000\tWarning:\tpercent-free text\r\n"
                                                "06:13:20:000000\tWarning:\tagain\r\n");
}

TEST_F(EventLog, OverlongMessageIsCutAndStillEndsTheLine) {
  auto log = make_log();
  const std::string huge(2 * 1048576, 'x');
  log->log_at(log_debug, "%s", huge.c_str());
  log->log_at(log_debug, "next");
  const std::string text = read_file(log->current_path());
  const std::vector<std::string> lines = lines_of(text);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_LE(lines[3].size() + 2, 1048576u);
  EXPECT_GT(lines[3].size(), 1000000u);
  EXPECT_EQ(lines[4], "06:13:20:000000\tDebug:\tnext");
}

TEST_F(EventLog, EntriesCrossingLocalMidnightGoToTwoFilesEachWithBanner) {
  const time_t before = local_time(2024, 2, 29, 23, 59, 59);
  const time_t after = local_time(2024, 3, 1, 0, 0, 0);
  auto log = std::make_unique<logger::Logfile>(dir.c_str(), "norvel", false);
  time_t now = before;
  log->set_clock([&now] { return at(now); });
  log->log_at(log_debug, "last of the day");
  now = after;
  log->log_at(log_debug, "first of the day");
  EXPECT_EQ(read_file(dir + "/norvel_20240229.txt"), banner + "Debug:\tlast of the day\r\n");
  EXPECT_EQ(read_file(dir + "/norvel_20240301.txt"), banner + "Debug:\tfirst of the day\r\n");
}

// Two processes share one directory: the other one rolled over first and made today's file.
TEST_F(EventLog, TodaysFileMadeByAnotherWriterIsUsedNotYesterdays) {
  const time_t day_one = local_time(2024, 6, 1, 23, 0, 0);
  const time_t day_two = local_time(2024, 6, 2, 1, 0, 0);
  logger::Logfile log(dir.c_str(), "norvel", false);
  time_t now = day_one;
  log.set_clock([&now] { return at(now); });
  log.log_at(log_debug, "one");
  std::ofstream(dir + "/norvel_20240602.txt") << "other process\r\n";
  now = day_two;
  log.log_at(log_debug, "two");
  EXPECT_EQ(read_file(dir + "/norvel_20240601.txt"), banner + "Debug:\tone\r\n");
  EXPECT_EQ(read_file(dir + "/norvel_20240602.txt"),
            "other process\r\n" + banner + "Debug:\ttwo\r\n");
}

TEST_F(EventLog, RemovedFileIsRecreatedWithBanner) {
  auto log = make_log();
  log->log_at(log_debug, "before");
  ASSERT_EQ(::unlink(log->current_path().c_str()), 0);
  log->log_at(log_debug, "after");
  EXPECT_EQ(read_file(log->current_path()), banner + "06:13:20:000000\tDebug:\tafter\r\n");
}

TEST_F(EventLog, RestartOnSameDayAppendsAfterAnotherBanner) {
  make_log()->log_at(log_debug, "first run");
  auto second = make_log();
  second->log_at(log_debug, "second run");
  EXPECT_EQ(read_file(second->current_path()), banner + "06:13:20:000000\tDebug:\tfirst run\r\n" +
                                                   banner +
                                                   "06:13:20:000000\tDebug:\tsecond run\r\n");
}

TEST_F(EventLog, NewFileIsNotWritableByOthersEvenUnderUmaskZero) {
  const mode_t old_mask = ::umask(0);
  auto log = make_log();
  log->log_at(log_debug, "x");
  ::umask(old_mask);
  struct stat info {};
  ASSERT_EQ(::stat(log->current_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(EventLog, MissingDirectorySendsEveryEntryToStderrAfterTheMessage) {
  const std::string missing = dir + "/absent";
  logger::Logfile log(missing.c_str(), "norvel", false);
  log.set_clock([] { return at(local_time(2024, 1, 2, 3, 4, 5)); });
  testing::internal::CaptureStderr();
  log.log_at(log_error, "one");
  log.log_at(log_error, "two");
  const std::string captured = testing::internal::GetCapturedStderr();
  const std::string complaint = "can't open log file --> [" + missing + "/norvel_20240102.txt] \n";
  EXPECT_EQ(captured, complaint + "Error:\tone\r\n" + complaint + "Error:\ttwo\r\n");
}

TEST_F(EventLog, ValueWritersAndHexDumps) {
  logger::Logfile log(dir.c_str(), "norvel", false);
  log.set_clock([] { return at(fixed_seconds); });
  log.SetCurLevel(log_info);
  log.WriteUnsigned(255, 1);
  log.WriteUnsigned(255, 3);  // not a width: nothing
  log.WriteUnsigned(0xbeef, 2);
  log.WriteUnsigned(1, 4);
  log.WriteSigned(-12);
  log.WriteFloat(1.5);
  log.Log(true);
  log.Log(false);
  log.EndWrite();
  unsigned char bytes[17];
  for (int i = 0; i < 17; ++i) {
    bytes[i] = static_cast<unsigned char>(i);
  }
  log.Log(bytes, bytes + 17);
  log.Log(bytes, bytes + 16);  // exactly 16: the short form
  EXPECT_EQ(read_file(log.current_path()),
            banner +
                "Info:\t0xff\r\n"
                "Info:\t0xbeef\r\n"
                "Info:\t0x00000001\r\n"
                "Info:\t-12\r\n"
                "Info:\t1.500000\r\n"
                "true\r\nfalse\r\n\r\n"
                "Info:\t\r\n"
                "00 01 02 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f\r\n"
                "10 \r\n"
                "Info:\t\r\n"
                "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f \r\n");
}

TEST_F(EventLog, HugeFloatIsCutToOneLineThatStillEnds) {
  logger::Logfile log(dir.c_str(), "norvel", true);
  log.SetCurLevel(log_info);
  log.WriteFloat(1e308);
  log.WriteSigned(5);
  const std::vector<std::string> lines = lines_of(read_file(log.current_path()));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3].size(), 255u - 2);
  EXPECT_EQ(lines[4].substr(lines[4].size() - 7), "Info:\t5");
}

TEST_F(EventLog, InitKeepsFirstLoggerAndFiniLogsThenClears) {
  ASSERT_TRUE(init_log(dir.c_str(), "norvel"));
  logger::Logfile* first = gLogger;
  ASSERT_TRUE(init_log("/nonexistent", "other"));
  EXPECT_EQ(gLogger, first);
  gLogger->set_clock([] { return at(fixed_seconds); });
  const std::string path = gLogger->current_path();
  log_event(log_trace, "via %s", "log_event");
  fini_log();
  EXPECT_EQ(gLogger, nullptr);
  log_event(log_debug, "dropped");  // no logger: nothing, no crash
  EXPECT_EQ(read_file(path), banner + "06:13:20:000000\tTrace:\tvia log_event\r\n" +
                                 "06:13:20:000000\tDebug:\tfiniLog\r\n");
}

// Main thread plus five workers, as in the daemon; half of them use the two-step interface,
// four of them write in batches.
// Every line must be whole and carry the level its own thread asked for.
TEST_F(EventLog, ConcurrentWritersProduceWholeEntriesWithTheirOwnLevel) {
  ASSERT_TRUE(init_log(dir.c_str(), "norvel"));
  const int thread_count = 6;
  const int entries_each = 300;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([t, &go] {
      while (!go.load()) {
        std::this_thread::yield();
      }
      const int level = 1 + t;      // Fatal..Trace
      const bool batched = t >= 2;  // Warning..Trace write in batches of seven, as workers do
      for (int i = 0; i < entries_each; ++i) {
        if (batched && i % 7 == 0) {
          log_batch_begin();
        }
        if (t % 2 == 0) {
          log_event(level, "thread=%d entry=%d padding=%s", t, i, "abcdefghijklmnopqrstuvwxyz");
        } else {
          gLogger->SetCurLevel(level);
          gLogger->Log("thread=%d entry=%d padding=%s", t, i, "abcdefghijklmnopqrstuvwxyz");
        }
        if (batched && (i % 7 == 6 || i == entries_each - 1)) {
          log_batch_end();
        }
      }
    });
  }
  go = true;
  for (std::thread& thread : threads) {
    thread.join();
  }
  const std::string path = gLogger->current_path();
  fini_log();

  const char* words[] = {"Fatal", "Error", "Warning", "Info", "Debug", "Trace"};
  const std::regex entry(
      R"(\d\d:\d\d:\d\d:\d{6}\t(\w+):\tthread=(\d) entry=(\d+) padding=abcdefghijklmnopqrstuvwxyz)");
  std::vector<int> next_entry(thread_count, 0);
  int entries = 0;
  for (const std::string& line : lines_of(read_file(path))) {
    if (line.rfind("+", 0) == 0 || line.find("finiLog") != std::string::npos) {
      continue;
    }
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(line, parts, entry)) << "torn entry: " << line;
    const int t = std::stoi(parts[2]);
    EXPECT_EQ(parts[1], words[t]) << line;
    EXPECT_EQ(std::stoi(parts[3]), next_entry[t]++) << "one thread's entries keep their order";
    ++entries;
  }
  EXPECT_EQ(entries, thread_count * entries_each);
}

// ---- group commit ----

// One step of a random logging session: open or close a batch, move the clock (now and then past
// local midnight), or log an entry of a random level and length.
struct log_step {
  enum kind_t { begin, end, tick, entry } kind;
  time_t seconds = 0;
  long micros = 0;
  int level = 0;
  std::string text;
  bool as_format = false;  // the text itself is the format (it has no directives)
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
void log_step_entry(logger::Logfile& log, const log_step& step) {
  if (step.as_format) {
    log.log_at(step.level, step.text.c_str());
  } else {
    log.log_at(step.level, "%s", step.text.c_str());
  }
}
#pragma GCC diagnostic pop

std::vector<log_step> random_session(unsigned seed) {
  std::mt19937 random(seed);
  std::vector<log_step> steps;
  time_t now = local_time(2024, 6, 1, 23, 59, 50);
  int depth = 0;
  for (int i = 0; i < 600; ++i) {
    log_step step{};
    const unsigned pick = random() % 20;
    if (pick == 0 && depth < 3) {
      step.kind = log_step::begin;
      ++depth;
    } else if (pick == 1 && depth > 0) {
      step.kind = log_step::end;
      --depth;
    } else if (pick == 2) {
      step.kind = log_step::tick;
      now += random() % 3 == 0 ? 86400 / 2 : 1;
    } else {
      step.kind = log_step::entry;
      step.level = static_cast<int>(random() % 8);
      const size_t length = random() % 50 == 0 ? 20000 + random() % 100000 : random() % 200;
      step.text = std::string(length, static_cast<char>('a' + random() % 26));
      step.as_format = random() % 2 == 0;
    }
    step.seconds = now;
    step.micros = static_cast<long>(random() % 1000000);
    steps.push_back(step);
  }
  for (; depth > 0; --depth) {
    log_step close{};
    close.kind = log_step::end;
    close.seconds = now;
    steps.push_back(close);
  }
  return steps;
}

// Everything a directory's log files hold, by file name.
std::map<std::string, std::string> files_in(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : boost::filesystem::directory_iterator(dir)) {
    files[entry.path().filename().string()] = read_file(entry.path().string());
  }
  return files;
}

// The batched log must write exactly the bytes that writing each entry at once writes, to the
// same files (the day of each entry's own stamp); and a Fatal or Error entry is in the file
// when the call that logged it returns.
TEST_F(EventLog, BatchedEntriesMatchEntriesWrittenOneByOne) {
  for (unsigned seed = 1; seed <= 4; ++seed) {
    const std::vector<log_step> steps = random_session(seed);
    const std::string batched_dir = dir + "/batched" + std::to_string(seed);
    const std::string single_dir = dir + "/single" + std::to_string(seed);
    boost::filesystem::create_directories(batched_dir);
    boost::filesystem::create_directories(single_dir);
    timeval now{};
    {
      logger::Logfile batched(batched_dir.c_str(), "norvel", true);
      batched.set_clock([&now] { return now; });
      for (const log_step& step : steps) {
        now = at(step.seconds, step.micros);
        if (step.kind == log_step::begin) {
          log_batch_begin();
        } else if (step.kind == log_step::end) {
          log_batch_end();
        } else if (step.kind == log_step::entry) {
          log_step_entry(batched, step);
          if (step.level == log_fatal || step.level == log_error) {
            const std::string file = read_file(batched.current_path());
            ASSERT_GE(file.size(), step.text.size() + 2);
            EXPECT_EQ(file.substr(file.size() - step.text.size() - 2), step.text + "\r\n");
          }
        }
      }
    }
    logger::Logfile single(single_dir.c_str(), "norvel", true);
    single.set_clock([&now] { return now; });
    for (const log_step& step : steps) {
      if (step.kind == log_step::entry) {
        now = at(step.seconds, step.micros);
        log_step_entry(single, step);
      }
    }
    const auto expected = files_in(single_dir);
    const auto got = files_in(batched_dir);
    ASSERT_EQ(got.size(), expected.size()) << "seed " << seed;
    EXPECT_GE(expected.size(), 2u) << "the session crosses midnight";
    for (const auto& [name, text] : expected) {
      EXPECT_TRUE(got.count(name) != 0 && got.at(name) == text) << "seed " << seed << " " << name;
    }
  }
}

TEST_F(EventLog, BatchWrittenAfterTheFileWasRemovedRecreatesItWithBanner) {
  auto log = make_log();
  log->log_at(log_debug, "before");
  {
    log_batch batch;
    log->log_at(log_debug, "pending");
    ASSERT_EQ(::unlink(log->current_path().c_str()), 0);
  }
  EXPECT_EQ(read_file(log->current_path()), banner + "06:13:20:000000\tDebug:\tpending\r\n");
}

// Pending entries are not lost when their thread ends inside a batch, or when their logger is
// destroyed while another thread still holds them.
TEST_F(EventLog, PendingEntriesSurviveTheirThreadAndTheirLogger) {
  auto log = make_log();
  std::thread([&log] {
    log_batch_begin();
    log->log_at(log_debug, "thread ends inside a batch");
  }).join();
  std::atomic<bool> logged{false};
  std::atomic<bool> done{false};
  std::thread holder([&] {
    log_batch batch;
    log->log_at(log_info, "held by a living thread");
    logged = true;
    while (!done) {
      std::this_thread::yield();
    }
  });
  while (!logged) {
    std::this_thread::yield();
  }
  const std::string path = log->current_path();
  log.reset();
  done = true;
  holder.join();
  EXPECT_EQ(read_file(path), banner + "06:13:20:000000\tDebug:\tthread ends inside a batch\r\n" +
                                 "06:13:20:000000\tInfo:\theld by a living thread\r\n");
}

// A process that dies of a fatal signal with entries pending still leaves them in the file.
TEST_F(EventLog, FatalSignalWritesPendingEntriesBeforeTheProcessDies) {
  for (int signal_number : {SIGABRT, SIGSEGV}) {
    const std::string sub = dir + "/crash" + std::to_string(signal_number);
    boost::filesystem::create_directories(sub);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // The default action underneath ours, not a sanitizer's report of a planned death.
      std::signal(signal_number, SIG_DFL);
      init_log(sub.c_str(), "norvel");
      log_event(log_debug, "written at once");
      log_batch_begin();
      log_event(log_debug, "pending one");
      log_event(log_info, "pending two");
      if (signal_number == SIGABRT) {
        std::abort();
      }
      ::raise(SIGSEGV);
      ::_exit(0);  // not reached
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child died";
    const auto files = files_in(sub);
    ASSERT_EQ(files.size(), 1u);
    const std::vector<std::string> lines = lines_of(files.begin()->second);
    ASSERT_EQ(lines.size(), 6u) << files.begin()->second;
    EXPECT_NE(lines[3].find("\tDebug:\twritten at once"), std::string::npos);
    EXPECT_NE(lines[4].find("\tDebug:\tpending one"), std::string::npos);
    EXPECT_NE(lines[5].find("\tInfo:\tpending two"), std::string::npos);
  }
}

TEST_F(EventLog, LevelFilterDropsHigherLevelNumbersOnly) {
  auto log = make_log();
  log->set_max_level(log_level_from_word("InFo"));
  for (int level = 0; level <= 7; ++level) {
    log->log_at(level, "level %d", level);
  }
  log->SetCurLevel(log_debug);
  log->WriteSigned(1);
  log->SetCurLevel(log_warning);
  log->WriteSigned(2);
  std::string expected = banner;
  for (int level = 0; level <= 4; ++level) {
    const char* words[] = {"", "Fatal:\t", "Error:\t", "Warning:\t", "Info:\t"};
    expected +=
        std::string("06:13:20:000000\t") + words[level] + "level " + std::to_string(level) + "\r\n";
  }
  expected += "06:13:20:000000\tWarning:\t2\r\n";
  EXPECT_EQ(read_file(log->current_path()), expected);
  EXPECT_EQ(log_level_from_word("TRACE"), log_trace);
  EXPECT_EQ(log_level_from_word("fatal"), log_fatal);
  EXPECT_EQ(log_level_from_word("verbose"), 0);
  EXPECT_EQ(log_level_from_word(""), 0);
}

}  // namespace
