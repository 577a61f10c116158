#pragma once

// The wire contract in one place: the services' names, bus names and object
// paths, the interfaces each service object exports, every method with its
// argument names and types, and the notifications. The host builds its
// exported objects from these entries, the client library addresses its
// calls with them, the tests compare them with the shipped introspection XML,
// and dbus/CMakeLists.txt reads the service names out of this file.
//
// Constant data: any thread, any time.

#include <span>
#include <string>
#include <string_view>

namespace corvane::ipc::contract {

struct Arg {
  const char* name;
  const char* type;  // a complete D-Bus type
};

struct Method {
  const char* interface;
  const char* member;
  std::span<const Arg> in;
  std::span<const Arg> out;
};

struct Signal {
  const char* interface;
  const char* member;
  std::span<const Arg> args;
};

struct Service {
  const char* name;                         // "MP3Parser_Halvern"
  std::span<const char* const> interfaces;  // what its object exports
};

// The D-Bus signature of a list of arguments: their types in order.
std::string signatureOf(std::span<const Arg> args);

// "ExifExtractor_Halvern" -> "org.corvane.ExifExtractor_Halvern"
std::string busName(std::string_view serviceName);
// "ExifExtractor_Halvern" -> "/org/corvane/ExifExtractor_Halvern"
std::string objectPath(std::string_view serviceName);

// ---- Interfaces

inline constexpr const char* kMediaInfoBuilder = "org.corvane.RZMediaInfoBuilder";
inline constexpr const char* kImageInfoBuilder = "org.corvane.RZImageInfoBuilder";
inline constexpr const char* kExifExtractor = "org.corvane.RZExifExtractorBase";
inline constexpr const char* kMediaTag = "org.corvane.RZMediaTagBase";
inline constexpr const char* kExporter = "org.corvane.RZMP4ExporterBase";
inline constexpr const char* kProgressDelegate = "org.corvane.RZMP4ExporterProgressDelegate";
inline constexpr const char* kNotifications = "org.corvane.Notifications";

// ---- Argument lists

namespace args {
inline constexpr Arg kPath[] = {{"path", "s"}};
inline constexpr Arg kFoundRecord[] = {{"found", "b"}, {"record", "a{sv}"}};
inline constexpr Arg kThumbnailIn[] = {{"path", "s"}, {"maxWidth", "d"}, {"maxHeight", "d"}};
inline constexpr Arg kFoundDescription[] = {{"found", "b"}, {"description", "a{sv}"}};
inline constexpr Arg kPicture[] = {{"picture", "ay"}};
inline constexpr Arg kRotated[] = {{"result", "ay"}};
inline constexpr Arg kUpdateTagIn[] = {{"path", "s"}, {"record", "a{sv}"}};
inline constexpr Arg kWritten[] = {{"written", "b"}};
inline constexpr Arg kFoundInfo[] = {{"found", "b"}, {"info", "a{sv}"}};
inline constexpr Arg kExportIn[] = {{"delegate", "o"}, {"source", "s"}, {"target", "s"}};
inline constexpr Arg kConvertIn[] = {{"delegate", "o"}, {"source", "s"}, {"target", "s"}, {"bitrate", "i"}};
inline constexpr Arg kStatus[] = {{"status", "i"}};
inline constexpr Arg kAlac[] = {{"alac", "b"}};
inline constexpr Arg kPercent[] = {{"percent", "i"}};
inline constexpr Arg kGoOn[] = {{"goOn", "b"}};
inline constexpr Arg kUserInfo[] = {{"userInfo", "a{sv}"}};
}  // namespace args

// ---- Methods

inline constexpr Method kBuild{kMediaInfoBuilder, "build", args::kPath, args::kFoundRecord};
inline constexpr Method kMakeThumbnail{kImageInfoBuilder, "makeThumbnailWithMaxSize", args::kThumbnailIn,
                                       args::kFoundDescription};
inline constexpr Method kRotateImageDataByExif{kImageInfoBuilder, "rotateImageDataByExif", args::kPicture,
                                               args::kRotated};
inline constexpr Method kExtractExif{kExifExtractor, "extractExif", args::kPath, args::kFoundRecord};
inline constexpr Method kUpdateTag{kMediaTag, "updateTagWithDictionary", args::kUpdateTagIn, args::kWritten};
inline constexpr Method kPodcastInfo{kMediaTag, "podcastInfo", args::kPath, args::kFoundInfo};
inline constexpr Method kExport{kExporter, "exportWithDelegateFromPathToMp4Path", args::kExportIn,
                                args::kStatus};
inline constexpr Method kIsAlacAudio{kExporter, "isAlacAudio", args::kPath, args::kAlac};
inline constexpr Method kConvertToAac{kExporter, "convertToAacWithDelegateFromPathToMp4PathBitrate",
                                      args::kConvertIn, args::kStatus};
// Exported by a client on its own connection; the exporter calls it back.
inline constexpr Method kProgress{kProgressDelegate, "MP4ExporterProgress", args::kPercent, args::kGoOn};

// Every method, for the checks that compare the contract with its XML.
inline constexpr const Method* kMethods[] = {
    &kBuild,       &kMakeThumbnail, &kRotateImageDataByExif, &kExtractExif,  &kUpdateTag,
    &kPodcastInfo, &kExport,        &kIsAlacAudio,           &kConvertToAac, &kProgress};

// ---- Services, in the order the host registers them. dbus/CMakeLists.txt
// makes an activation file for every "..._Halvern" name defined here.

inline constexpr const char* kAVParserService = "AVParser_Halvern";
inline constexpr const char* kMP3ParserService = "MP3Parser_Halvern";
inline constexpr const char* kImageParserService = "ImageParser_Halvern";
inline constexpr const char* kMediaTagService = "MediaTagUpdater_Halvern";
inline constexpr const char* kExporterService = "MP4Exporter_Halvern";
inline constexpr const char* kMP4ParserService = "MP4Parser_Halvern";
inline constexpr const char* kExifExtractorService = "ExifExtractor_Halvern";
inline constexpr const char* kBasicAudioParserService = "BasicAudioParser_Halvern";

namespace exports {
inline constexpr const char* kBuilder[] = {kMediaInfoBuilder};
inline constexpr const char* kImage[] = {kMediaInfoBuilder, kImageInfoBuilder};
inline constexpr const char* kTags[] = {kMediaTag};
inline constexpr const char* kExport[] = {kExporter};
inline constexpr const char* kExif[] = {kExifExtractor};
}  // namespace exports

inline constexpr Service kServices[] = {
    {kAVParserService, exports::kBuilder},   {kMP3ParserService, exports::kBuilder},
    {kImageParserService, exports::kImage},  {kMediaTagService, exports::kTags},
    {kExporterService, exports::kExport},    {kMP4ParserService, exports::kBuilder},
    {kExifExtractorService, exports::kExif}, {kBasicAudioParserService, exports::kBuilder},
};

// ---- Notifications: broadcast signals that any process may send

inline constexpr const char* kNotificationPath = "/org/corvane/Corvane";
inline constexpr Signal kLaunched{kNotifications, "Launched", args::kUserInfo};
inline constexpr Signal kAppRegister{kNotifications, "AppRegister", args::kUserInfo};
inline constexpr Signal kShouldExit{kNotifications, "ShouldExit", args::kUserInfo};
inline constexpr const Signal* kSignals[] = {&kLaunched, &kAppRegister, &kShouldExit};
// The user info's entry that names the sending application ("s").
inline constexpr const char* kAppIdKey = "appId";
// The application id the host announces itself with.
inline constexpr const char* kHostAppId = "org.corvane.Corvane";

// The object path a caller passes for "no progress delegate".
inline constexpr const char* kNoDelegate = "/";

}  // namespace corvane::ipc::contract
