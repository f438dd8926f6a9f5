// The frame cutter on its own, without sockets: frames split anywhere reassembled, several in
// order with the tail kept, the header read like atoi, bad headers, the output bound, a handler
// that throws, replies framed in place.
#include "network/frame_codec.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "daemon_runner.h"

namespace {

std::string reply_to(const std::string& body) {
  return "R" + body;
}

struct recording_handler {
  std::vector<std::string> bodies;
  body_handler fn() {
    return [this](const std::string& body) {
      bodies.push_back(body);
      if (body == "boom") {
        throw std::runtime_error("boom");
      }
      return reply_to(body);
    };
  }
};

TEST(FrameCutting, FrameSplitAtEveryByteIsReassembled) {
  const std::string stream = frame("{\"act\":\"x\"}") + frame("") + frame("xyz");
  recording_handler handler;
  const body_handler fn = handler.fn();
  std::string input;
  std::string output;
  frame_status status = frame_status::drained;
  for (char byte : stream) {
    input.push_back(byte);
    status = cut_frames(input, fn, output);
    ASSERT_NE(status, frame_status::bad_header);
  }
  EXPECT_EQ(status, frame_status::drained);
  EXPECT_TRUE(input.empty());
  EXPECT_EQ(handler.bodies, (std::vector<std::string>{"{\"act\":\"x\"}", "xyz"}));
  EXPECT_EQ(output, frame("R{\"act\":\"x\"}") + "0000000000" + frame("Rxyz"));
}

TEST(FrameCutting, SeveralFramesAnsweredInOrderAndTailKept) {
  recording_handler handler;
  std::string input = frame("one") + frame("two") + frame("three").substr(0, 12);
  std::string output;
  EXPECT_EQ(cut_frames(input, handler.fn(), output), frame_status::need_more);
  EXPECT_EQ(output, frame("Rone") + frame("Rtwo"));
  EXPECT_EQ(input, frame("three").substr(0, 12));
}

TEST(FrameCutting, HeaderReadsLikeAtoiWithoutOverflow) {
  EXPECT_EQ(read_frame_length("0000000012"), 12);
  EXPECT_EQ(read_frame_length("abcdefghij"), 0);
  EXPECT_EQ(read_frame_length("  +7xxxxxx"), 7);
  EXPECT_EQ(read_frame_length("-000000001"), -1);
  EXPECT_EQ(read_frame_length("9999999999"), 9999999999LL);
  const char with_nul[10] = {'0', '0', '3', '\0', '9', '9', '9', '9', '9', '9'};
  EXPECT_EQ(read_frame_length(with_nul), 3);
}

TEST(FrameCutting, NonDigitHeaderIsAnEmptyBodyAndIsConsumed) {
  recording_handler handler;
  std::string input = "abcdefghij" + frame("x");
  std::string output;
  EXPECT_EQ(cut_frames(input, handler.fn(), output), frame_status::drained);
  EXPECT_EQ(output, "0000000000" + frame("Rx"));
  EXPECT_EQ(handler.bodies.size(), 1u);
}

TEST(FrameCutting, NegativeOrOversizedHeaderStopsBeforeIt) {
  char over[16];
  std::snprintf(over, sizeof(over), "%010zu", max_body_size + 1);
  for (const std::string& bad : {std::string("-000000001"), std::string(over)}) {
    recording_handler handler;
    std::string input = frame("a") + bad + "xyz";
    std::string output;
    EXPECT_EQ(cut_frames(input, handler.fn(), output), frame_status::bad_header) << bad;
    EXPECT_EQ(output, frame("Ra"));
    EXPECT_EQ(input, bad + "xyz");
  }
  char largest[16];
  std::snprintf(largest, sizeof(largest), "%010zu", max_body_size);
  std::string input = largest;
  std::string output;
  EXPECT_EQ(cut_frames(input, reply_to, output), frame_status::need_more);
}

TEST(FrameCutting, OutputLimitStopsCuttingAndKeepsTheRestForLater) {
  recording_handler handler;
  std::string input = frame("aa") + frame("bb") + frame("cc");
  std::string output;
  // The first reply alone passes a limit of 5 bytes: the other frames wait.
  EXPECT_EQ(cut_frames(input, handler.fn(), output, 5), frame_status::output_full);
  EXPECT_EQ(output, frame(reply_to("aa")));
  EXPECT_EQ(input, frame("bb") + frame("cc"));
  output.clear();
  EXPECT_EQ(cut_frames(input, handler.fn(), output), frame_status::drained);
  EXPECT_EQ(output, frame(reply_to("bb")) + frame(reply_to("cc")));
}

TEST(FrameCutting, ThrowingHandlerKeepsEarlierRepliesAndConsumesThem) {
  recording_handler handler;
  std::string input = frame("a") + frame("boom") + frame("c");
  std::string output;
  EXPECT_THROW(cut_frames(input, handler.fn(), output), std::runtime_error);
  EXPECT_EQ(output, frame("Ra"));
  EXPECT_EQ(input, frame("boom") + frame("c"));
}

// A writer renders straight into the output: what a failing one appended is taken back, and
// the headers it leaves are the lengths of what it wrote.
TEST(FrameCutting, WriterRepliesAreFramedInPlaceAndAFailureLeavesNoTrace) {
  const reply_writer writer = [](const std::string& body, std::string& out) {
    out += "W" + body;
    if (body == "boom") {
      throw std::runtime_error("boom");
    }
  };
  std::string input = frame("a") + frame("") + frame(std::string(1500, 'z')) + frame("boom");
  std::string output = "kept";
  EXPECT_THROW(cut_frames(input, writer, output), std::runtime_error);
  EXPECT_EQ(output, "kept" + frame("Wa") + "0000000000" + frame("W" + std::string(1500, 'z')));
  EXPECT_EQ(input, frame("boom"));
}

}  // namespace
