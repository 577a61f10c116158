#pragma once

// Four-character codes of the movie layer, and the one table that says
// whether this machine can decode or handle a kind of track.
//
// A code keeps its first character in the most significant byte ('vide' is
// 0x76696465).
//
// findComponent(type, subtype) answers:
//
//   type                    subtype            true when
//   kImageDecompressor      a video format     libavcodec has a video decoder
//   ('imdc')                                   for the codec the MOV tables
//                                              (then the AVI/RIFF FOURCC table)
//                                              give that code
//   kSoundDecompressor      a sound format     the MOV audio table gives a PCM
//   ('sdec')                                   or ADPCM codec that libavcodec
//                                              decodes
//   kAudioDecoder           a sound format     the MOV audio table gives any
//   ('adec')                                   other codec that libavcodec
//                                              decodes
//   kMediaHandler           a media type       the type is one the layer can
//   ('mhlr')                                   pass over or present: vide,
//                                              soun, text, sbtl, clcp, tmcd,
//                                              hint, meta
//
// Every other type, and a code no table knows, gives false. Stateless; any
// thread.

#include <cstdint>

#include "platform/mp4/BoxReader.h"

namespace corvane::movie {

using mp4::FourCC;
using mp4::fourcc;

// Media types of tracks.
inline constexpr FourCC kMediaVideo = fourcc("vide");
inline constexpr FourCC kMediaSound = fourcc("soun");
inline constexpr FourCC kMediaText = fourcc("text");
inline constexpr FourCC kMediaSubtitle = fourcc("sbtl");
inline constexpr FourCC kMediaClosedCaption = fourcc("clcp");
inline constexpr FourCC kMediaTimecode = fourcc("tmcd");
inline constexpr FourCC kMediaHint = fourcc("hint");
inline constexpr FourCC kMediaData = fourcc("meta");
inline constexpr FourCC kMediaUnknown = fourcc("????");

// Component types.
inline constexpr FourCC kImageDecompressor = fourcc("imdc");
inline constexpr FourCC kSoundDecompressor = fourcc("sdec");
inline constexpr FourCC kAudioDecoder = fourcc("adec");
inline constexpr FourCC kMediaHandler = fourcc("mhlr");

// Data formats the services look for.
inline constexpr FourCC kFormatAppleLossless = fourcc("alac");

bool findComponent(FourCC type, FourCC subtype);

// libavformat keeps codes in file byte order ('v' | 'i' << 8 ...).
constexpr FourCC fromLibraryTag(uint32_t tag) {
  return ((tag & 0xFF) << 24) | ((tag & 0xFF00) << 8) | ((tag >> 8) & 0xFF00) | (tag >> 24);
}
constexpr uint32_t toLibraryTag(FourCC code) { return fromLibraryTag(code); }

}  // namespace corvane::movie
