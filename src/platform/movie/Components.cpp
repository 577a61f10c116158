#include "platform/movie/Components.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <array>

namespace corvane::movie {

namespace {

AVCodecID codecFor(std::initializer_list<const AVCodecTag*> tables, FourCC code) {
  for (const AVCodecTag* table : tables) {
    const AVCodecTag* const list[] = {table, nullptr};
    const AVCodecID id = av_codec_get_id(list, toLibraryTag(code));
    if (id != AV_CODEC_ID_NONE) return id;
  }
  return AV_CODEC_ID_NONE;
}

bool decodes(AVCodecID id, AVMediaType type) {
  const AVCodec* decoder = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_decoder(id);
  return decoder != nullptr && decoder->type == type;
}

// PCM and ADPCM: what the classic sound decompressors covered.
bool isSampleCodec(AVCodecID id) { return id >= AV_CODEC_ID_FIRST_AUDIO && id < AV_CODEC_ID_AMR_NB; }

constexpr std::array<FourCC, 8> kHandledMedia{kMediaVideo,         kMediaSound,    kMediaText, kMediaSubtitle,
                                              kMediaClosedCaption, kMediaTimecode, kMediaHint, kMediaData};

}  // namespace

bool findComponent(FourCC type, FourCC subtype) {
  if (type == kImageDecompressor) {
    return decodes(codecFor({avformat_get_mov_video_tags(), avformat_get_riff_video_tags()}, subtype),
                   AVMEDIA_TYPE_VIDEO);
  }
  if (type == kSoundDecompressor || type == kAudioDecoder) {
    const AVCodecID id = codecFor({avformat_get_mov_audio_tags()}, subtype);
    return decodes(id, AVMEDIA_TYPE_AUDIO) && isSampleCodec(id) == (type == kSoundDecompressor);
  }
  if (type == kMediaHandler) {
    return std::find(kHandledMedia.begin(), kHandledMedia.end(), subtype) != kHandledMedia.end();
  }
  return false;
}

}  // namespace corvane::movie
