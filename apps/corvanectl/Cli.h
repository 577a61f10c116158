#pragma once

// What corvanectl's commands share: exit statuses, usage errors, the paths
// they are given and the JSON line of a result.

#include <optional>
#include <string>
#include <vector>

#include "media/MediaRecord.h"

namespace corvane::cli {

enum Exit { kOk = 0, kNotFound = 1, kUsage = 2, kUnreachable = 3, kFailed = 4, kStopped = 130 };

struct UsageError {
  std::string message;
};

// path made absolute against the working directory (not otherwise changed).
std::string absolute(const std::string& path);

// The files paths name, absolute: a file as given (whether it exists or
// not), a directory as every regular file below it, recursively, in byte
// order of the paths; links found inside are not followed. A directory that
// cannot be read is reported on standard error and makes *allListed false.
std::vector<std::string> listFiles(const std::vector<std::string>& paths, bool* allListed);

// {"path": ..., "found": true|false, field: record}
std::string resultLine(const std::string& path, const char* field,
                       const std::optional<media::MediaRecord>& record);

// "-o FILE", "--jobs N" and the like: the value after option, taken out of
// args; none when option is not there.
std::optional<std::string> takeOption(std::vector<std::string>& args, const std::string& option);

// text as a number, or a usage error naming what.
double number(const std::string& text, const char* what);

// The commands that keep several requests in flight.
int build(std::vector<std::string> args);

}  // namespace corvane::cli
