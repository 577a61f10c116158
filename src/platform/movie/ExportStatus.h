#pragma once

// The results of the movie layer's export (MovieExport.h), apart from it so
// that clients of the export service can tell them without the movie
// layer's libraries. Constant data.
//
// Results are 16-bit codes of the layer, 0 for success; the export service
// passes them on (and uses kExportParameterError for paths it cannot use):
//
//   code                      meaning
//   kExportOK (0)             the file is complete
//   kExportParameterError     a source or target path that cannot be used
//   (-50)                     (the service's)
//   kExportCancelled (-128)   the progress procedure answered false
//   kExportNoMovie (-2048)    the source cannot be read, or is no movie the
//                             layer opens
//   kExportDamagedMovie       the source is a movie, but opening or reading
//   (-2049)                   it failed
//   kExportNotPassable        no enabled video or sound track, or one whose
//   (-2050)                   coding an MPEG-4 file cannot hold as it is
//   kExportSettingsRefused    the settings container is broken or asks for
//   (-2051)                   what the export cannot do
//   kExportWriteFailed        the target could not be written (disk full,
//   (-2052)                   I/O error) or moved into place

#include <cstdint>

namespace corvane::movie {

inline constexpr int16_t kExportOK = 0;
inline constexpr int16_t kExportParameterError = -50;
inline constexpr int16_t kExportCancelled = -128;
inline constexpr int16_t kExportNoMovie = -2048;
inline constexpr int16_t kExportDamagedMovie = -2049;
inline constexpr int16_t kExportNotPassable = -2050;
inline constexpr int16_t kExportSettingsRefused = -2051;
inline constexpr int16_t kExportWriteFailed = -2052;

}  // namespace corvane::movie
