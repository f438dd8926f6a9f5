// Runs a fuzz target over files instead of generated inputs: every regular file named on the
// command line, or found (recursively) in a directory named there, is fed once to
// LLVMFuzzerTestOneInput. It is how CTest replays the seed corpora with compilers that have no
// libFuzzer, and how a crash file from a long run is checked after a fix.
// Exit status: 0 when every input ran, 1 when an argument cannot be read or names no input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

// The files an argument stands for, sorted so that runs are repeatable.
bool collect_inputs(const std::string& argument, std::vector<fs::path>& inputs) {
  std::error_code ec;
  if (fs::is_regular_file(argument, ec)) {
    inputs.emplace_back(argument);
    return true;
  }
  if (!fs::is_directory(argument, ec)) {
    return false;
  }
  std::vector<fs::path> found;
  for (const auto& entry : fs::recursive_directory_iterator(argument, ec)) {
    if (entry.is_regular_file()) {
      found.push_back(entry.path());
    }
  }
  std::sort(found.begin(), found.end());
  inputs.insert(inputs.end(), found.begin(), found.end());
  return !ec;
}

bool read_file(const fs::path& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) {
    LLVMFuzzerInitialize(&argc, &argv);
  }
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!collect_inputs(argv[i], inputs)) {
      std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
      return 1;
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no inputs given\n");
    return 1;
  }
  std::vector<uint8_t> bytes;
  for (const fs::path& input : inputs) {
    if (!read_file(input, bytes)) {
      std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
      return 1;
    }
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", input.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::fprintf(stderr, "replay: %zu inputs, all ran\n", inputs.size());
  return 0;
}
