// Replays a fuzz corpus through its target with the ordinary build: every
// file in the directories given is one input. A finding aborts, as under the
// fuzzer; otherwise prints how many inputs ran.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR...\n", argv[0]);
    return 2;
  }
  size_t inputs = 0;
  for (int i = 1; i < argc; i++) {
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(argv[i]))
      if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto &file : files) {
      std::ifstream in(file, std::ios::binary);
      std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
      inputs++;
    }
  }
  if (inputs == 0) {
    std::fprintf(stderr, "no inputs in the corpus\n");
    return 1;
  }
  std::printf("%zu inputs replayed\n", inputs);
  return 0;
}
