#include "protocol/parser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "eventually.h"
#include "protocol/fast_request.h"
#include "store/logic_center.h"
#include "support/app_config.h"
#include "support/log.h"
#include "support/object_manager.h"
#include "temp_dir.h"
#include "text_search.h"

namespace {

using ids = std::vector<unsigned long>;

// Each case gets a fresh store with its workers running (no database) and an event log in a
// private directory, so the records the parser writes can be read back.
class Parser : public ::testing::Test {
 protected:
  void SetUp() override {
    object_manager::init();
    store = singleton<logic_center>::instance();
    store->start_workers();
  }

  void TearDown() override { object_manager::fini(); }

  static std::string reply(const std::string& body) {
    return parser(body, *singleton<logic_center>::instance()).request();
  }

  std::string log_text() const {
    std::ifstream in(gLogger->current_path(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // True when some record's message is exactly `message`.
  bool logged(const std::string& message) const {
    return log_text().find("\t" + message + "\r\n") != std::string::npos;
  }

  // How many records have exactly `message` as their message.
  size_t records(const std::string& message) const {
    return count_of(log_text(), "\t" + message + "\r\n");
  }

  // Mutations are applied by the workers later; wait (bounded) until `done` holds.
  static bool eventually(const std::function<bool()>& done) {
    return ::eventually(done, std::chrono::seconds(10));
  }

  bool follows_become(unsigned long user, const ids& expected) {
    return eventually([&] { return store->fetch_follow(user) == expected; });
  }

  temp_log event_log{"norvel", "norvel-parser-"};
  logic_center* store = nullptr;
};

const std::string dispatched_null = "{\"code\":200,\"data\":null}\n";
const std::string failed = "{\"code\":0}\n";

TEST_F(Parser, RepliesAreCompactSortedAndEndWithLineFeed) {
  EXPECT_EQ(reply(R"({"act":"follow","op":"fetch","params":{"user_id":5}})"),
            "{\"code\":200,\"data\":{\"follows\":[]}}\n");
  EXPECT_EQ(reply(R"({"params":{"user_id":5},"op":"list","act":"inviter"})"),
            "{\"code\":200,\"data\":{\"inviters\":[]}}\n");
  EXPECT_EQ(reply(R"( {"act":"special","op":"fetch_pub","params":{"count":3}} )"),
            "{\"code\":200,\"data\":{\"specials\":[]}}\n");
}

TEST_F(Parser, UnknownActionAndNullDocumentAreDispatchedWithNullData) {
  EXPECT_EQ(reply(R"({"act":"nothing"})"), dispatched_null);
  EXPECT_EQ(reply("null"), dispatched_null);
  EXPECT_EQ(reply("{}"), dispatched_null);
  // Nothing is read for an unknown action, so even unusable params do not matter.
  EXPECT_EQ(reply(R"({"act":"Follow","op":"fetch","params":[1,2]})"), dispatched_null);
}

TEST_F(Parser, FollowAddAndDelReachTheStore) {
  EXPECT_EQ(reply(R"({"act":"follow","op":"add","params":{"user_id":5,"friends":[7,3,7]}})"),
            dispatched_null);
  ASSERT_TRUE(follows_become(5, {3, 7}));
  EXPECT_EQ(reply(R"({"act":"follow","op":"fetch","params":{"user_id":5}})"),
            "{\"code\":200,\"data\":{\"follows\":[3,7]}}\n");

  EXPECT_EQ(reply(R"({"act":"follow","op":"del","params":{"user_id":5,"friends":[3]}})"),
            dispatched_null);
  EXPECT_TRUE(follows_become(5, {7}));
}

TEST_F(Parser, EmptyFriendsQueueNothingButEmptySpecialsStillQueue) {
  EXPECT_EQ(reply(R"({"act":"follow","op":"add","params":{"user_id":5,"friends":[]}})"),
            dispatched_null);
  EXPECT_EQ(reply(R"({"act":"follow","op":"del","params":{"user_id":5}})"), dispatched_null);
  EXPECT_EQ(reply(R"({"act":"follow","op":"add","params":{"user_id":5,"friends":"7"}})"),
            dispatched_null);
  EXPECT_FALSE(logged("add_follow"));
  EXPECT_FALSE(logged("del_follow"));

  EXPECT_EQ(reply(R"({"act":"special","op":"add","params":{"user_id":5}})"), dispatched_null);
  EXPECT_EQ(reply(R"({"act":"special","op":"del","params":{"user_id":5,"specials":{}}})"),
            dispatched_null);
  EXPECT_TRUE(logged("add_special"));
  EXPECT_TRUE(logged("del_special"));
}

TEST_F(Parser, UnknownOperationsFailAndAreLogged) {
  EXPECT_EQ(reply(R"({"act":"follow","op":"remove","params":{"user_id":5}})"), failed);
  EXPECT_TRUE(logged("exception:request what=cannot find op:remove"));

  EXPECT_EQ(reply(R"({"act":"inviter","op":"drop","params":{"user_id":5}})"), failed);
  EXPECT_TRUE(logged("exception:request what=act=inviter cannot find op:drop"));

  EXPECT_EQ(reply(R"({"act":"special","op":"FETCH_PUB"})"), failed);
  EXPECT_TRUE(logged("exception:request what=cannot find op:FETCH_PUB"));

  // A missing op reads as empty text.
  EXPECT_EQ(reply(R"({"act":"special"})"), failed);
  EXPECT_TRUE(logged("exception:request what=cannot find op:"));

  // follow and inviter read user_id before looking at op, so its conversion error comes first.
  EXPECT_EQ(reply(R"({"act":"follow","op":"remove","params":{"user_id":-1}})"), failed);
  EXPECT_TRUE(logged("exception:request what=LargestInt out of UInt range"));
}

TEST_F(Parser, ControlCharactersOfAnUnknownOpCannotForgeLogRecords) {
  EXPECT_EQ(reply(R"({"act":"follow","op":"x\r\n00:00:00.000000\tFatal:\tforged"})"), failed);
  EXPECT_TRUE(
      logged("exception:request what=cannot find op:x\\x0d\\x0a00:00:00.000000\\x09"
             "Fatal:\\x09forged"));
  EXPECT_EQ(log_text().find("\tFatal:\tforged"), std::string::npos);
}

TEST_F(Parser, ParametersThatDoNotConvertGiveCodeZero) {
  const char* bodies[] = {
      R"({"act":"follow","op":"fetch","params":{"user_id":-1}})",
      R"({"act":"follow","op":"fetch","params":{"user_id":"5"}})",
      R"({"act":"follow","op":"fetch","params":{"user_id":4294967296}})",
      R"({"act":"follow","op":"fetch","params":{"user_id":[5]}})",
      R"({"act":"follow","op":"fetch","params":[5]})",
      R"({"act":"follow","op":"fetch","params":"user_id=5"})",
      R"({"act":"follow","op":"add","params":{"user_id":5,"friends":[1,"2"]}})",
      R"({"act":"follow","op":"add","params":{"user_id":5,"friends":{"a":1}}})",
      R"({"act":"inviter","op":"list","params":{"user_id":-3}})",
      R"({"act":"inviter","op":"add","params":{"user_id":3,"inviter_id":-1}})",
      R"({"act":"special","op":"add","params":{"user_id":5,"specials":[3]}})",
      R"({"act":"special","op":"add","params":{"user_id":5,"specials":[{"spid":-3}]}})",
      R"({"act":"special","op":"fetch_pub","params":{"special_id":4294967296,"count":1}})",
      R"({"act":"special","op":"fetch_pub","params":{"special_id":-2147483649,"count":1}})",
      R"({"act":"special","op":"fetch_pub","params":{"special_id":1,"count":-1}})",
      R"({"act":"special","op":"fetch_pri","params":{"user_id":1,"count":1,"type":-1}})",
      R"({"act":"special","op":"fetch_self","params":{"user_id":1.5e10}})",
  };
  for (const char* body : bodies) {
    EXPECT_EQ(reply(body), failed) << body;
  }
}

TEST_F(Parser, LenientConversionsReadNullBooleanAndFractions) {
  // 5.9 truncates to 5, true reads as 1; the member is found under the converted ids.
  EXPECT_EQ(reply(R"({"act":"follow","op":"add","params":{"user_id":5.9,"friends":[true,null]}})"),
            dispatched_null);
  EXPECT_TRUE(follows_become(5, {0, 1}));
}

TEST_F(Parser, ConversionFailureLeavesTheStoreUntouched) {
  // One member's mutations are applied in the order queued, so once the valid request of member
  // 9 shows, anything queued by the failed one would have shown too.
  EXPECT_EQ(reply(R"({"act":"follow","op":"add","params":{"user_id":9,"friends":[4,-1]}})"),
            failed);
  EXPECT_EQ(reply(R"({"act":"special","op":"add","params":{"user_id":9,"specials":[
               {"spid":11,"type":0},{"spid":12,"type":"0"}]}})"),
            failed);
  EXPECT_EQ(reply(R"({"act":"follow","op":"add","params":{"user_id":9,"friends":[2]}})"),
            dispatched_null);
  EXPECT_EQ(reply(R"({"act":"special","op":"add","params":{"user_id":9,"specials":[
               {"spid":13,"type":0}]}})"),
            dispatched_null);
  ASSERT_TRUE(eventually([&] {
    return store->fetch_self_specials(9, ~0UL, 10, logic_center::fetch_below) == ids{13};
  }));
  EXPECT_EQ(store->fetch_follow(9), ids{2});
  EXPECT_EQ(store->fetch_pub_specials(~0UL, 10, logic_center::fetch_below), ids{13});
  EXPECT_EQ(records("add_follow"), 1u);
  EXPECT_EQ(records("add_special"), 1u);
}

TEST_F(Parser, SpecialFetchesPageWithSignedCursorAndDirection) {
  EXPECT_EQ(reply(R"({"act":"special","op":"add","params":{"user_id":1,"specials":[
               {"spid":30,"type":0},{"spid":10,"type":256},{"spid":20,"type":0},
               {"spid":40,"type":257}]}})"),
            dispatched_null);
  ASSERT_TRUE(eventually([&] {
    return store->fetch_self_specials(1, ~0UL, 10, logic_center::fetch_below).size() == 4;
  }));

  // "type" keeps its low 8 bits: 256 is public, 257 is not.
  EXPECT_EQ(
      reply(R"({"act":"special","op":"fetch_pub","params":{"special_id":-1,"count":10,"type":1}})"),
      "{\"code\":200,\"data\":{\"specials\":[30,20,10]}}\n");
  EXPECT_EQ(
      reply(R"({"act":"special","op":"fetch_pub","params":{"special_id":10,"count":10,"type":0}})"),
      "{\"code\":200,\"data\":{\"specials\":[20,30]}}\n");
  // Any non-zero type pages downwards; count limits the page.
  EXPECT_EQ(
      reply(
          R"({"act":"special","op":"fetch_self","params":{"user_id":1,"special_id":-1,"count":2,"type":7}})"),
      "{\"code\":200,\"data\":{\"specials\":[40,30]}}\n");
  EXPECT_EQ(
      reply(
          R"({"act":"special","op":"fetch_pri","params":{"user_id":1,"special_id":30,"count":5,"type":1}})"),
      "{\"code\":200,\"data\":{\"specials\":[20,10]}}\n");
  EXPECT_EQ(
      reply(
          R"({"act":"special","op":"fetch_pri","params":{"user_id":2,"special_id":-1,"count":5,"type":1}})"),
      "{\"code\":200,\"data\":{\"specials\":[]}}\n");
}

TEST_F(Parser, IdsAreWrittenAsTheirLow32Bits) {
  std::vector<special> wide{special((1UL << 32) + 5, 3, 1)};
  store->do_add_special(3, wide);
  EXPECT_EQ(
      reply(
          R"({"act":"special","op":"fetch_self","params":{"user_id":3,"special_id":-1,"count":5,"type":1}})"),
      "{\"code\":200,\"data\":{\"specials\":[5]}}\n");

  Json::Value out;
  helper::to_array(std::vector<int>{-1, 2}, out);
  EXPECT_EQ(Json::FastWriter().write(out), "[4294967295,2]\n");
}

TEST_F(Parser, InviterMemberIdsKeepTheirBits) {
  // 4294967295 reaches the index as -1, which has no chain and no invitees.
  EXPECT_EQ(reply(R"({"act":"inviter","op":"list","params":{"user_id":4294967295}})"),
            "{\"code\":200,\"data\":{\"inviters\":[]}}\n");
  EXPECT_EQ(reply(R"({"act":"inviter","op":"invitees","params":{"user_id":4294967295}})"),
            "{\"code\":200,\"data\":{\"invitees\":[]}}\n");
}

TEST_F(Parser, StoreFailureGivesCodeZero) {
  // Adding a member beyond the (empty) index reloads it from the database; a refused login
  // makes that fail inside the store.
  app_cfg::db_setting& db = singleton<app_cfg>::instance()->db;
  db.host = "127.0.0.1";
  db.user = "norvel";
  db.passwd = "not-the-password";
  db.name = "norvel_no_such_db";
  EXPECT_EQ(reply(R"({"act":"inviter","op":"add","params":{"user_id":5,"inviter_id":1}})"), failed);
  EXPECT_TRUE(logged("exception:request what=mysql connection init error."));
}

TEST_F(Parser, TextThatIsNotJsonIsRejectedByTheConstructor) {
  for (const std::string body : {"not json", "{\"act\":", "", "{'act':'x'}"}) {
    try {
      parser rejected(body);
      ADD_FAILURE() << "accepted: " << body;
    } catch (const std::logic_error& e) {
      EXPECT_STREQ(e.what(), "cannot parse body to json");
    }
  }
}

TEST_F(Parser, DeeplyNestedTextIsRejectedLikeOtherBadText) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_THROW(parser rejected(deep), std::logic_error);
  const std::string objects = "{\"act\":" + std::string(50000, '[') + std::string(50000, ']') + "}";
  EXPECT_THROW(parser rejected(objects), std::logic_error);
}

TEST_F(Parser, DocumentsThatAreNotRequestsThrowFromRequest) {
  for (const std::string body :
       {"[1,2]", "\"text\"", "42", "true", R"({"act":{"a":1},"op":"fetch"})",
        R"({"act":"follow","op":[]})"}) {
    parser request_parser(body, *singleton<logic_center>::instance());
    EXPECT_THROW(request_parser.request(), std::exception) << body;
  }
}

// The reply text is written directly, not through JsonCpp; it must stay byte for byte what
// Json::FastWriter gives for the same reply.
std::string fast_writer_reply(const Json::Value& data) {
  Json::Value reply(Json::objectValue);
  reply["code"] = 200;
  reply["data"] = data;
  return Json::FastWriter().write(reply);
}

TEST(ReplyRendering, MatchesFastWriterForRandomIdLists) {
  std::mt19937_64 random(20240607);
  const unsigned long edges[] = {0, 1, 9, 10, 4294967295UL, 4294967296UL, ~0UL, 1UL << 63};
  for (const char* key : {"specials", "follows", "inviters", "invitees"}) {
    for (int round = 0; round < 200; ++round) {
      operation_result result;
      result.key = key;
      const size_t size = round % 2 == 0 ? random() % 4 : random() % 200;
      for (size_t i = 0; i < size; ++i) {
        const unsigned long roll = random();
        result.ids.push_back(roll % 5 == 0 ? edges[roll % 8] : roll >> (roll % 64));
      }
      Json::Value array;
      helper::to_array(result.ids, array);
      Json::Value data(Json::objectValue);
      data[key] = array;

      std::string rendered;
      result.render_reply(rendered);
      ASSERT_EQ(rendered, fast_writer_reply(data)) << key << " round " << round;
      ASSERT_EQ(result.to_json(), data);
    }
  }
  std::string rendered;
  operation_result().render_reply(rendered);
  EXPECT_EQ(rendered, fast_writer_reply(Json::Value()));
  EXPECT_TRUE(operation_result().to_json().isNull());
}

TEST_F(Parser, EveryReplyKindIsWhatFastWriterWritesForDispatch) {
  std::mt19937_64 random(7);
  for (unsigned long member = 1; member <= 4; ++member) {
    std::vector<special> items;
    for (int i = 0; i < 60; ++i) {
      const unsigned long id = random() % 3 == 0 ? random() : random() % 100000;
      items.emplace_back(id, member, static_cast<unsigned char>(random() % 2));
    }
    store->do_add_special(member, items);
    std::vector<unsigned long> follows{member + 1, member + 7, 4294967296UL + member};
    store->do_add_follows(member, follows);
  }
  const char* queries[][3] = {
      {"follow", "fetch", R"({"user_id":2})"},
      {"follow", "fetch", R"({"user_id":99})"},
      {"inviter", "list", R"({"user_id":1})"},
      {"inviter", "invitees", R"({"user_id":0})"},
      {"special", "fetch_pub", R"({"special_id":-1,"count":50,"type":1})"},
      {"special", "fetch_pub", R"({"special_id":5000,"count":7,"type":0})"},
      {"special", "fetch_pri", R"({"user_id":3,"special_id":-1,"count":20,"type":1})"},
      {"special", "fetch_pri", R"({"user_id":3,"special_id":0,"count":0,"type":0})"},
      {"special", "fetch_self", R"({"user_id":4,"special_id":70000,"count":100,"type":1})"},
      {"nothing", "fetch", R"({})"},
  };
  for (const auto& query : queries) {
    const std::string body = std::string(R"({"act":")") + query[0] + R"(","op":")" + query[1] +
                             R"(","params":)" + query[2] + "}";
    const Json::Value data =
        parser(body, *singleton<logic_center>::instance()).dispatch(query[0], query[1]);
    EXPECT_EQ(reply(body), fast_writer_reply(data)) << body;
  }
  // The mutations answer null data, as dispatch does.
  EXPECT_EQ(reply(R"({"act":"special","op":"add","params":{"user_id":5,"specials":[{"spid":1}]}})"),
            fast_writer_reply(Json::Value()));
  EXPECT_TRUE(
      parser("{}", *singleton<logic_center>::instance()).dispatch("follow", "del").isNull());
}

// The fast path must take the requests clients actually send (else it buys nothing) and leave
// every near miss to the JSON path; request_diff_fuzz checks that both paths answer alike.
TEST(FastRequest, TakesClientRequestsAndLeavesNearMissesToJson) {
  const std::string fetch =
      R"({"act":"special","op":"fetch_pri","params":{"user_id":3,"special_id":-1,"count":20,"type":1}})";
  fast_request read;
  ASSERT_TRUE(parse_fast_request(fetch.data(), fetch.size(), read));
  EXPECT_EQ(read.act, "special");
  EXPECT_EQ(read.op, "fetch_pri");
  EXPECT_EQ(read.user_id, 3u);
  EXPECT_EQ(read.special_id, -1);
  EXPECT_EQ(read.count, 20u);
  const std::vector<std::string> taken = {
      R"({"act":"follow","op":"add","params":{"user_id":4294967295,"friends":[0,7,7]}})",
      R"( {"params":{"user_id":5,"specials":[{"spid":1,"type":300},{}]},"op":"add","act":"special"} )",
      R"({"act":"special","op":"fetch_pub","params":{"special_id":-2147483648,"count":0,"type":0}})",
      R"({"act":"inviter","op":"add","params":{"user_id":7,"inviter_id":3}})",
      "{\"act\":\"x\"}\r\n",
  };
  for (const std::string& body : taken) {
    fast_request request;
    EXPECT_TRUE(parse_fast_request(body.data(), body.size(), request)) << body;
  }
  auto with = [&fetch](const std::string& from, const std::string& to) {
    std::string body = fetch;
    body.replace(body.find(from), from.size(), to);
    return body;
  };
  const std::vector<std::string> left = {
      with("\"special\"", "\"spec\\u0069al\""),
      with("\"count\":20", "\"count\":20,\"count\":2"),
      with("\"count\":20", "\"count\":1.0"),
      with("\"special_id\":-1", "\"special_id\":-0"),
      with("\"count\":20", "\"count\":1e3"),
      with("\"count\":20", "\"count\":020"),
      with("\"count\":20", "\"count\":4294967296"),
      with("\"special_id\":-1", "\"special_id\":2147483648"),
      with("\"user_id\":3", "\"user_id\":-3"),
      with("\"type\":1", "\"type\":null"),
      with("\"type\":1", "\"type\":true"),
      with("\"type\":1", "\"type\":1,\"x\":1"),
      with("fetch_pri", "fetch_pri\xc3\xa9"),
      fetch + "x",
      fetch.substr(0, fetch.size() - 1),
      "/**/" + fetch,
      R"({"act":"special","op":"fetch_pri","params":null})",
  };
  for (const std::string& body : left) {
    fast_request request;
    EXPECT_FALSE(parse_fast_request(body.data(), body.size(), request)) << body;
  }
}

}  // namespace
