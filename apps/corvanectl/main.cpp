// corvanectl: the command line to the Corvane service. Prints JSON, one line
// per file, and exits with a status scripts can use.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Cli.h"
#include "client/Json.h"
#include "client/Session.h"
#include "export/MP4ExporterImpl.h"
#include "media/Log.h"
#include "media/RZMediaTypeReader.h"
#include "platform/ipc/Contract.h"
#include "platform/ipc/NotificationCenter.h"
#include "platform/movie/ExportStatus.h"
#include "platform/mp4/TagDump.h"

namespace {

using namespace corvane;
using namespace corvane::cli;

const char* const kUsageText =
    "usage: corvanectl COMMAND [ARGS...]\n"
    "\n"
    "commands:\n"
    "  build [--jobs N] PATH...       the media record of each file (service chosen by file type),\n"
    "                                   N requests in flight at each service (default 2)\n"
    "  image PATH...                  the record of each picture\n"
    "  exif PATH...                   the EXIF record of each picture\n"
    "  thumbnail PATH W H -o FILE     a thumbnail (TIFF) fitting W x H pixels, written to FILE\n"
    "  rotate IN -o OUT               IN turned upright by its EXIF orientation, written to OUT\n"
    "  tag PATH FIELD...              rewrite the tags of an MP3 or M4A file; each FIELD is\n"
    "                                   KEY=TEXT   (TrackNo, DiscNo, MediaType: a whole number)\n"
    "                                   KEY@=FILE  (bytes of FILE, e.g. AlbumArt@=cover.jpg)\n"
    "                                   KEY!       (clear the field)\n"
    "                                 MediaType defaults to the code of the file's extension\n"
    "  podcast PATH                   the podcast episode id and channel URL stored in the file\n"
    "  export SRC [-o] OUT            the movie SRC as an MPEG-4 file OUT\n"
    "  convert SRC [-o] OUT [--bitrate N]\n"
    "                                 the audio of SRC (Apple Lossless, ...) as AAC at N bit/s\n"
    "                                 (default 128000) in a new M4A file OUT, with SRC's tags\n"
    "  isalac PATH...                 whether the audio of each file is Apple Lossless\n"
    "  mp4dump PATH                   every MP4 tag of the file, as text (no service needed)\n"
    "  register APPID                 register APPID as a client (the service stays while it is)\n"
    "  unregister APPID               say goodbye for APPID (the last goodbye ends the service)\n"
    "\n"
    "A PATH that is a directory stands for every file below it, in the order of their paths.\n"
    "Each result is one JSON line: {\"path\": ..., \"found\": true|false, ...}; build also\n"
    "shows its progress on a terminal and ends with a summary, both on standard error.\n"
    "Exit status: 0 all found, 1 some file gave no result, 2 usage error,\n"
    "3 the service cannot be reached, 4 the service failed a request,\n"
    "128 + the signal's number when build, export or convert is stopped by one (130 for Ctrl-C).\n"
    "export and convert show their progress on standard error (a bar on a terminal);\n"
    "Ctrl-C stops them, and a stopped or failed run leaves OUT as it was before.\n";

// Runs one request per file; the status says whether all were found.
int eachPath(const std::vector<std::string>& files, bool allListed, const char* field,
             const std::function<std::optional<media::MediaRecord>(const std::string&)>& request) {
  int status = allListed ? kOk : kNotFound;
  for (const auto& path : files) {
    auto record = request(path);
    std::cout << resultLine(path, field, record) << std::endl;
    if (!record) status = kNotFound;
  }
  return status;
}

// The files of a command that takes PATH...
std::vector<std::string> filesOf(const std::vector<std::string>& paths, bool* allListed) {
  if (paths.empty()) throw UsageError{"at least one PATH is needed"};
  return listFiles(paths, allListed);
}

std::string takeOutput(std::vector<std::string>& args) {
  auto output = takeOption(args, "-o");
  if (!output) throw UsageError{"-o FILE is needed"};
  return *output;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

int thumbnail(std::vector<std::string> args) {
  const std::string output = takeOutput(args);
  if (args.size() != 3) throw UsageError{"thumbnail needs PATH W H -o FILE"};
  const double width = number(args[1], "W"), height = number(args[2], "H");
  const std::string path = absolute(args[0]);
  client::ImageInfoBuilderClient service;
  auto description = service.makeThumbnail(path, width, height);
  std::cout << "{\"path\": " << client::jsonString(path)
            << ", \"found\": " << (description ? "true" : "false");
  if (description) {
    const media::Bytes* data = description->get<media::Bytes>("data");
    if (!data) {
      std::cout << "}" << std::endl;
      std::cerr << "corvanectl: the thumbnail came without its bytes\n";
      return kFailed;
    }
    if (!writeFile(output, *data)) {
      std::cout << "}" << std::endl;
      std::cerr << "corvanectl: cannot write " << output << ": " << std::strerror(errno) << "\n";
      return kFailed;
    }
    std::cout << ", \"output\": " << client::jsonString(output)
              << ", \"thumbnail\": " << client::jsonObject(*description);
  }
  std::cout << "}" << std::endl;
  return description ? kOk : kNotFound;
}

int rotate(std::vector<std::string> args) {
  const std::string output = takeOutput(args);
  if (args.size() != 1) throw UsageError{"rotate needs IN -o OUT"};
  const std::string path = absolute(args[0]);
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "corvanectl: cannot read " << path << ": " << std::strerror(errno) << "\n";
    return kNotFound;
  }
  const std::vector<uint8_t> picture((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  client::ImageInfoBuilderClient service;
  const auto result = service.rotateImageDataByExif(picture);
  if (!writeFile(output, result)) {
    std::cerr << "corvanectl: cannot write " << output << ": " << std::strerror(errno) << "\n";
    return kFailed;
  }
  std::cout << "{\"path\": " << client::jsonString(path) << ", \"output\": " << client::jsonString(output)
            << ", \"turned\": " << (result != picture ? "true" : "false") << ", \"bytes\": " << result.size()
            << "}" << std::endl;
  return kOk;
}

// KEY=TEXT, KEY@=FILE or KEY! into the record.
void addField(media::MediaRecord& record, const std::string& field) {
  static const std::set<std::string> wholeNumbers = {"TrackNo", "DiscNo", "MediaType"};
  if (field.size() > 1 && field.back() == '!') {
    record.set(field.substr(0, field.size() - 1), media::NullMarker{});
    return;
  }
  const auto at = field.find("@=");
  const auto eq = field.find('=');
  if (at != std::string::npos && at < eq) {
    const std::string file = field.substr(at + 2);
    std::ifstream in(file, std::ios::binary);
    if (!in) throw UsageError{"cannot read " + file};
    record.set(field.substr(0, at),
               media::Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
    return;
  }
  if (eq == std::string::npos || eq == 0)
    throw UsageError{"'" + field + "' is not KEY=TEXT, KEY@=FILE or KEY!"};
  const std::string key = field.substr(0, eq), value = field.substr(eq + 1);
  if (wholeNumbers.count(key))
    record.set(key, static_cast<int32_t>(number(value, key.c_str())));
  else
    record.set(key, value);
}

int tag(const std::vector<std::string>& args) {
  if (args.size() < 2) throw UsageError{"tag needs PATH and at least one FIELD"};
  const std::string path = absolute(args[0]);
  media::MediaRecord record;
  record.set("MediaType", media::RZMediaTypeReader::type(path));
  for (size_t i = 1; i < args.size(); ++i) addField(record, args[i]);
  client::MediaTagClient service;
  const bool written = service.updateTag(path, record);
  std::cout << "{\"path\": " << client::jsonString(path) << ", \"written\": " << (written ? "true" : "false")
            << "}" << std::endl;
  return written ? kOk : kNotFound;
}

std::atomic<bool> gInterrupted{false};

void onInterrupt(int) { gInterrupted = true; }

// The first Ctrl-C (or SIGTERM) asks the service to stop at its next report;
// a second one ends the command at once (the handler resets itself).
void stopOnInterrupt() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// Shows each percentage on standard error: a bar redrawn in place on a
// terminal, else one line per report. Answers false once interrupted.
class ProgressDisplay {
 public:
  ProgressDisplay() : terminal_(isatty(STDERR_FILENO) == 1) {}
  ~ProgressDisplay() {
    if (terminal_ && drawn_) std::fputc('\n', stderr);
  }

  bool report(int32_t percent) {
    if (gInterrupted) return false;
    if (terminal_) {
      const int filled = std::clamp(percent, 0, 100) * 40 / 100;
      std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(static_cast<size_t>(filled), '#').c_str(),
                   std::string(static_cast<size_t>(40 - filled), ' ').c_str(), percent);
    } else {
      std::fprintf(stderr, "%d%%\n", percent);
    }
    std::fflush(stderr);
    drawn_ = true;
    return true;
  }

 private:
  bool terminal_;
  bool drawn_ = false;
};

// export and convert: SRC OUT or SRC -o OUT, and for convert --bitrate N.
int transcode(const std::string& command, std::vector<std::string> args) {
  int32_t bitRate = 128000;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--bitrate" || command != "convert") continue;
    if (i + 1 == args.size()) throw UsageError{"--bitrate needs N"};
    bitRate = static_cast<int32_t>(number(args[i + 1], "N"));
    args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    break;
  }
  if (std::find(args.begin(), args.end(), "-o") != args.end()) {
    const std::string out = takeOutput(args);
    args.push_back(out);
  }
  if (args.size() != 2) throw UsageError{command + " needs SRC and OUT"};
  const std::string source = absolute(args[0]), target = absolute(args[1]);
  struct stat st {};
  const bool targetExisted = ::lstat(target.c_str(), &st) == 0;

  stopOnInterrupt();
  client::ExporterClient service;
  int32_t status = 0;
  {
    ProgressDisplay display;
    const auto progress = [&display](int32_t percent) { return display.report(percent); };
    status = command == "export" ? service.exportMovie(source, target, progress)
                                 : service.convertToAac(source, target, bitRate, progress);
  }
  // What the service leaves after a failure or a stop (an empty or partial
  // file) goes when there was nothing at the target before.
  if (status != 0 && !targetExisted && ::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    ::unlink(target.c_str());
  std::cout << "{\"source\": " << client::jsonString(source) << ", \"target\": " << client::jsonString(target)
            << ", \"status\": " << status
            << ", \"message\": " << client::jsonString(client::ExporterClient::statusText(status)) << "}"
            << std::endl;
  if (status == 0) return kOk;
  const bool stopped =
      gInterrupted && (status == exporter::kConvertCancelled || status == movie::kExportCancelled);
  std::cerr << "corvanectl: " << command << " " << source << ": "
            << client::ExporterClient::statusText(status) << " (status " << status << ")\n";
  return stopped ? kStopped : kNotFound;
}

int isAlac(const std::vector<std::string>& paths) {
  if (paths.empty()) throw UsageError{"isalac needs at least one PATH"};
  client::ExporterClient service;
  for (const auto& path : paths) {
    const std::string full = absolute(path);
    std::cout << "{\"path\": " << client::jsonString(full)
              << ", \"alac\": " << (service.isAlacAudio(full) ? "true" : "false") << "}" << std::endl;
  }
  return kOk;
}

int run(const std::string& command, const std::vector<std::string>& args) {
  bool allListed = true;
  if (command == "exif") {
    const auto files = filesOf(args, &allListed);
    client::ExifExtractorClient service;
    return eachPath(files, allListed, "exif",
                    [&](const std::string& path) { return service.extractExif(path); });
  }
  if (command == "image") {
    const auto files = filesOf(args, &allListed);
    client::ImageInfoBuilderClient service;
    return eachPath(files, allListed, "record", [&](const std::string& path) { return service.build(path); });
  }
  if (command == "build") return build(args);
  if (command == "tag") return tag(args);
  if (command == "podcast") {
    if (args.size() != 1) throw UsageError{"podcast needs PATH"};
    client::MediaTagClient service;
    return eachPath({absolute(args[0])}, true, "podcast",
                    [&](const std::string& path) { return service.podcastInfo(path); });
  }
  if (command == "thumbnail") return thumbnail(args);
  if (command == "rotate") return rotate(args);
  if (command == "export" || command == "convert") return transcode(command, args);
  if (command == "isalac") return isAlac(args);
  throw UsageError{"unknown command '" + command + "'"};
}

// Posts "AppRegister" or "ShouldExit" for an id of the caller's choosing, so
// that a script can keep the service up across several commands.
int notify(const std::string& command, int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "corvanectl: " << command << " needs APPID\n";
    return kUsage;
  }
  ipc::NotificationCenter center;
  const auto& signal = command == "register" ? ipc::contract::kAppRegister : ipc::contract::kShouldExit;
  if (!center.post(signal.member, std::string(argv[2]))) {
    std::cerr << "corvanectl: cannot reach the session bus: "
              << (center.connected() ? "the notification was not sent" : center.error()) << "\n";
    return kUnreachable;
  }
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << kUsageText;
    return kUsage;
  }
  const std::string command = argv[1];
  if (command == "-h" || command == "--help" || command == "help") {
    std::cout << kUsageText;
    return kOk;
  }
  // The shared code logs for the service's sake; a command line says what it
  // has to say itself.
  log::setSink([](std::string_view) {});
  if (command == "register" || command == "unregister") return notify(command, argc, argv);
  if (command == "mp4dump") {
    // The dump is a diagnosis tool of the MP4 reader itself, run in process.
    if (argc != 3) {
      std::cerr << "corvanectl: mp4dump needs PATH\n";
      return kUsage;
    }
    return mp4::dumpTags(argv[2], stdout) == 0 ? kOk : kNotFound;
  }
  try {
    client::Session session("org.corvane.corvanectl." + std::to_string(getpid()));
    return run(command, std::vector<std::string>(argv + 2, argv + argc));
  } catch (const UsageError& e) {
    std::cerr << "corvanectl: " << e.message << "\n" << kUsageText;
    return kUsage;
  } catch (const client::ServiceError& e) {
    std::cerr << "corvanectl: " << e.what() << "\n";
    return e.kind() == client::ServiceError::Kind::Unreachable ? kUnreachable : kFailed;
  }
}
