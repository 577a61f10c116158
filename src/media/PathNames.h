#pragma once

// What the records say about a file's name.

#include <string>
#include <string_view>

namespace corvane::media {

// The last component of a path, trailing slashes ignored ("/a/b.mp3/" gives
// "b.mp3"; "/" stays "/").
inline std::string lastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  if (slash != std::string_view::npos && path.size() > 1) path.remove_prefix(slash + 1);
  return std::string(path);
}

// The last component less its extension and the dot before it: "a.b.ogg"
// gives "a.b"; a name without a dot is taken whole.
inline std::string lastPathComponentLessExtension(std::string_view path) {
  std::string name = lastPathComponent(path);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

}  // namespace corvane::media
