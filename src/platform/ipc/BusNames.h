#pragma once

// The fixed names under which the service and its clients meet on the bus.

#include <string>
#include <string_view>

namespace corvane::ipc {

inline constexpr std::string_view kNotificationPath = "/org/corvane/Corvane";
inline constexpr std::string_view kNotificationInterface = "org.corvane.Notifications";
inline constexpr std::string_view kNotificationLaunched = "Launched";
inline constexpr std::string_view kNotificationAppRegister = "AppRegister";
inline constexpr std::string_view kNotificationShouldExit = "ShouldExit";
inline constexpr std::string_view kAppIdKey = "appId";
inline constexpr std::string_view kHostAppId = "org.corvane.Corvane";

inline constexpr std::string_view kMediaInfoBuilderInterface = "org.corvane.RZMediaInfoBuilder";
inline constexpr std::string_view kImageInfoBuilderInterface = "org.corvane.RZImageInfoBuilder";
inline constexpr std::string_view kExifExtractorInterface = "org.corvane.RZExifExtractorBase";
inline constexpr std::string_view kMediaTagInterface = "org.corvane.RZMediaTagBase";
inline constexpr std::string_view kExporterInterface = "org.corvane.RZMP4ExporterBase";
inline constexpr std::string_view kProgressDelegateInterface = "org.corvane.RZMP4ExporterProgressDelegate";

// "ExifExtractor_Halvern" -> "org.corvane.ExifExtractor_Halvern"
inline std::string busName(std::string_view serviceName) { return "org.corvane." + std::string(serviceName); }
// "ExifExtractor_Halvern" -> "/org/corvane/ExifExtractor_Halvern"
inline std::string objectPath(std::string_view serviceName) {
  return "/org/corvane/" + std::string(serviceName);
}

}  // namespace corvane::ipc
