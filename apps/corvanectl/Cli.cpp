#include "Cli.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "client/Json.h"

namespace corvane::cli {

namespace fs = std::filesystem;

std::string absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::vector<char> cwd(4096);
  if (!getcwd(cwd.data(), cwd.size())) return path;
  return std::string(cwd.data()) + "/" + path;
}

namespace {

// Every regular file below root (which is a directory), in no order.
void walk(const fs::path& root, std::vector<std::string>& files, bool* allListed) {
  std::vector<fs::path> pending{root};
  while (!pending.empty()) {
    const fs::path dir = std::move(pending.back());
    pending.pop_back();
    std::error_code error;
    for (fs::directory_iterator entry(dir, error), end; !error && entry != end; entry.increment(error)) {
      // Links are taken as they are: a link to a directory could lead
      // back up, and a file is found under its own name.
      const fs::file_status status = entry->symlink_status(error);
      if (fs::is_directory(status))
        pending.push_back(entry->path());
      else if (fs::is_regular_file(status))
        files.push_back(entry->path().string());
    }
    if (error) {
      std::cerr << "corvanectl: " << dir.string() << ": cannot read: " << error.message() << "\n";
      *allListed = false;
    }
  }
}

}  // namespace

std::vector<std::string> listFiles(const std::vector<std::string>& paths, bool* allListed) {
  std::vector<std::string> files;
  for (const std::string& given : paths) {
    const std::string path = absolute(given);
    std::error_code error;
    if (!fs::is_directory(path, error)) {
      files.push_back(path);
      continue;
    }
    std::vector<std::string> below;
    walk(path, below, allListed);
    std::sort(below.begin(), below.end());  // byte order: std::char_traits<char> compares as unsigned
    files.insert(files.end(), below.begin(), below.end());
  }
  return files;
}

std::string resultLine(const std::string& path, const char* field,
                       const std::optional<media::MediaRecord>& record) {
  std::string line = "{\"path\": " + client::jsonString(path) + ", \"found\": " + (record ? "true" : "false");
  if (record) line += std::string(", \"") + field + "\": " + client::jsonObject(*record);
  return line + "}";
}

std::optional<std::string> takeOption(std::vector<std::string>& args, const std::string& option) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != option) continue;
    if (i + 1 == args.size()) throw UsageError{option + " needs a value"};
    std::string value = args[i + 1];
    args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    return value;
  }
  return std::nullopt;
}

double number(const std::string& text, const char* what) {
  try {
    size_t used = 0;
    const double v = std::stod(text, &used);
    if (used == text.size()) return v;
  } catch (const std::exception&) {
  }
  throw UsageError{std::string(what) + " must be a number, not '" + text + "'"};
}

}  // namespace corvane::cli
