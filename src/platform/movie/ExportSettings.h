#pragma once

// The settings of an MPEG-4 export, read from a settings container: a
// 12-byte header of zeros, then one tree of atoms. Each atom has a 20-byte
// header (size, header included, and type, each 4 bytes big-endian; atom id,
// 4 bytes; 2 reserved zero bytes; child count, 2 bytes; 4 reserved zero
// bytes), then either its children (child count above 0) or its data.
//
// The reader checks the layout whole (sizes that add up exactly, child
// counts that match, reserved bytes zero, ids above 0, at most
// kMaxSettingsDepth levels) and maps the root 'sean' atom's children onto
// the export as FFmpeg's MP4 muxer can do it:
//
//   atom   data       export
//   ftyp   4 chars    the file's major brand (the muxer's "brand" option)
//   envi   'past'     video passed through as stored (stream copy); any
//                     other value asks for re-encoding: refused
//   enso   'past'     sound passed through as stored; otherwise refused
//   txen   4 bytes    0: text and subtitle tracks are left out; any other
//                     value: refused (no text track is ever exported)
//   hint   4 bytes    non-zero: an RTP hint track for each media track
//                     (the muxer's "movflags=+rtphint"), where FFmpeg can
//                     packetise every track (see MovieExport.h)
//   psiz   4 bytes    the largest RTP packet, in bytes. FFmpeg 5.1's MP4
//                     muxer packetises hint tracks at a fixed 1450 bytes: its
//                     "packetsize" option (AVFormatContext.packet_size) is not
//                     passed on to the hint tracks (checked: 600 gives the
//                     same 1450-byte packets). So a size of at least
//                     kHintPacketBytes is met as it stands; a smaller one is
//                     refused. The value is still given as packet_size.
//   pdur   4 bytes    the longest stretch of media in one RTP packet, in
//                     milliseconds: the muxer's "max_delay", which its RTP
//                     packetisers read to bound how many audio frames one
//                     packet gathers
//
// ftyp, envi and enso must be there; without hint there is no hinting,
// without psiz or pdur the muxer's own choice holds. The other children
// ('vide', 'isiz' and 'soun' with the encoders' settings, 'conf', 'chan',
// 'aqlt', 'base', 'rtxt', 'rsmk', 'bfrm', 'prof', 'vrai') tune re-encoding,
// which pass-through never does: their layout is checked, their values are
// not used.
//
// Works on bytes in memory and never reads outside them. Stateless; any
// thread.

#include <cstdint>
#include <optional>

#include "media/Bytes.h"
#include "platform/movie/Components.h"

namespace corvane::movie {

inline constexpr int kMaxSettingsDepth = 8;
// The size at which FFmpeg 5.1's MP4 muxer cuts RTP hint packets.
inline constexpr uint32_t kHintPacketBytes = 1450;

struct ExportSettings {
  FourCC fileType = 0;
  bool hint = false;
  std::optional<uint32_t> packetBytes;
  std::optional<uint32_t> packetMilliseconds;
};

// The settings in container; none when its layout is broken or it asks for
// what the export cannot do.
std::optional<ExportSettings> readExportSettings(media::ByteSpan container);

}  // namespace corvane::movie
