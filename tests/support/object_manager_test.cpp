#include "support/object_manager.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "support/log.h"
#include "temp_dir.h"

// Services at global scope so their type names read like the daemon's ("5alpha").
std::vector<std::string> destroyed;  // the order in which finalised objects went away

struct alpha {
  ~alpha() { destroyed.push_back("alpha"); }
  int value = 1;
};

struct beta {
  ~beta() { destroyed.push_back("beta"); }
  int value = 2;
};

struct counted {
  counted() { constructions.fetch_add(1); }
  static std::atomic<int> constructions;
};
std::atomic<int> counted::constructions{0};

struct fragile {
  fragile() {
    if (fail_next) {
      fail_next = false;
      throw std::runtime_error("constructor failed");
    }
  }
  static bool fail_next;
};
bool fragile::fail_next = false;

namespace {

std::vector<std::string> finaliser_calls;
void note_finaliser() {
  finaliser_calls.push_back("called");
}

// Each test runs with its own event log (no stamps, so lines compare exactly) and object
// manager, both gone again at the end.
class ObjectManager : public ::testing::Test {
 protected:
  void SetUp() override {
    log_path = event_log.current_path();
    destroyed.clear();
    finaliser_calls.clear();
    object_manager::init();
  }
  void TearDown() override { object_manager::fini(); }

  // The log's entries after the banner with their stamps cut off: "Level:\tmessage".
  std::vector<std::string> entries() const {
    std::ifstream in(log_path, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      if (line.empty() || line[0] == '+') {
        continue;
      }
      lines.push_back(line.substr(line.find('\t') + 1));
    }
    return lines;
  }

  temp_log event_log{"norvel", "norvel_om_test_"};
  std::string log_path;
};

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

TEST_F(ObjectManager, FinalisersRunNewestFirstWithTheirLogTexts) {
  alpha* first = singleton<alpha>::instance();
  beta* second = singleton<beta>::instance();
  EXPECT_EQ(singleton<alpha>::instance(), first);  // same object, no second registration
  EXPECT_EQ(first->value + second->value, 3);
  object_manager::fini();
  EXPECT_EQ(object_manager::instance(), nullptr);

  EXPECT_EQ(destroyed, (std::vector<std::string>{"beta", "alpha"}));
  const std::vector<std::string> lines = entries();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "Trace:\tZUL_Object_Manager::ZUL_Object_Manager");
  EXPECT_TRUE(starts_with(lines[1], "Trace:\tZUL_Object_Manager::add_fini tag = 5alpha fun="));
  EXPECT_TRUE(lines[1].size() > 12 && lines[1].substr(lines[1].size() - 10) == " objsize=4");
  EXPECT_TRUE(starts_with(lines[2], "Trace:\tZUL_Object_Manager::add_fini tag = 4beta fun="));
  EXPECT_EQ(lines[3], "Debug:\tZUL_Object_Manager::~ZUL_Object_Manager fun=4beta");
  EXPECT_EQ(lines[4], "Debug:\tZUL_Object_Manager::~ZUL_Object_Manager fun=5alpha");
  EXPECT_EQ(lines[5], "Debug:\tZUL_Object_Manager::~ZUL_Object_Manager");
}

TEST_F(ObjectManager, SecondInitChangesNothingAndLogsNothing) {
  object_manager* registry = object_manager::instance();
  object_manager::init();
  EXPECT_EQ(object_manager::instance(), registry);
  EXPECT_EQ(entries().size(), 1u);
  object_manager::fini();
  object_manager::fini();  // already gone: nothing
  EXPECT_EQ(entries().size(), 2u);
}

TEST_F(ObjectManager, NullFinaliserIsLoggedAndRemovedWithoutACall) {
  object_manager::instance()->add(&note_finaliser, "called", 0);
  object_manager::instance()->add(nullptr, "empty", 0);
  object_manager::fini();
  EXPECT_EQ(finaliser_calls.size(), 1u);
  const std::vector<std::string> lines = entries();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[3], "Debug:\tZUL_Object_Manager::~ZUL_Object_Manager fun=empty");
  EXPECT_EQ(lines[4], "Debug:\tZUL_Object_Manager::~ZUL_Object_Manager fun=called");
}

TEST_F(ObjectManager, SingletonFiniedEarlyIsCreatedAgainAndRegisteredAgain) {
  singleton<beta>::fini();  // nothing there yet: nothing happens
  EXPECT_TRUE(destroyed.empty());
  singleton<beta>::instance();
  singleton<beta>::fini();
  EXPECT_EQ(destroyed, std::vector<std::string>{"beta"});
  singleton<beta>::instance();
  object_manager::fini();
  // The first finaliser destroys the new object, the second finds nothing left.
  EXPECT_EQ(destroyed, (std::vector<std::string>{"beta", "beta"}));
  int finaliser_lines = 0;
  for (const std::string& line : entries()) {
    finaliser_lines += line == "Debug:\tZUL_Object_Manager::~ZUL_Object_Manager fun=4beta";
  }
  EXPECT_EQ(finaliser_lines, 2);
}

TEST_F(ObjectManager, ThrowingConstructorPassesTheErrorAndLeavesTheLockFree) {
  fragile::fail_next = true;
  EXPECT_THROW(singleton<fragile>::instance(), std::runtime_error);
  EXPECT_NE(singleton<fragile>::instance(), nullptr);
}

TEST_F(ObjectManager, ConcurrentFirstUseCreatesExactlyOneObject) {
  const int thread_count = 8;
  std::atomic<bool> go{false};
  std::vector<counted*> seen(thread_count, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([t, &go, &seen] {
      while (!go.load()) {
        std::this_thread::yield();
      }
      seen[t] = singleton<counted>::instance();
    });
  }
  go = true;
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(counted::constructions.load(), 1);
  for (counted* pointer : seen) {
    EXPECT_EQ(pointer, seen[0]);
  }
  int registrations = 0;
  for (const std::string& line : entries()) {
    registrations += starts_with(line, "Trace:\tZUL_Object_Manager::add_fini tag = 7counted");
  }
  EXPECT_EQ(registrations, 1);
}

}  // namespace
