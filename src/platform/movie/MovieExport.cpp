#include "platform/movie/MovieExport.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file/TempFile.h"
#include "platform/movie/LibraryHandles.h"

namespace corvane::movie {

namespace {

bool exported(const Track& track) {
  return track.enabled && (track.mediaType == kMediaVideo || track.mediaType == kMediaSound);
}

// Describes the stored stream in the new file as it is: coding, timing,
// language and names, display matrix and other stream side data. Every
// exported track is enabled, as it was in the movie.
bool copyStream(const AVStream& from, AVStream& to) {
  if (avcodec_parameters_copy(to.codecpar, from.codecpar) < 0) return false;
  to.codecpar->codec_tag = 0;  // the muxer stores MPEG-4's own code
  to.time_base = from.time_base;
  to.sample_aspect_ratio = from.sample_aspect_ratio;
  to.disposition = AV_DISPOSITION_DEFAULT;
  if (av_dict_copy(&to.metadata, from.metadata, 0) < 0) return false;
  for (int i = 0; i < from.nb_side_data; ++i) {
    const AVPacketSideData& side = from.side_data[i];
    uint8_t* data = av_stream_new_side_data(&to, side.type, side.size);
    if (data == nullptr) return false;
    std::memcpy(data, side.data, side.size);
  }
  return true;
}

// How far into the movie packet lies: by its time in the duration, else by
// its place in the file; 0 to 1.
double fractionAt(const AVFormatContext& movie, const AVPacket& packet, double duration, int64_t fileBytes) {
  const AVStream& stream = *movie.streams[packet.stream_index];
  const int64_t time = packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
  double fraction = 0;
  if (duration > 0 && time != AV_NOPTS_VALUE) {
    const int64_t start = stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
    fraction = static_cast<double>(time - start) * av_q2d(stream.time_base) / duration;
  } else if (fileBytes > 0 && packet.pos >= 0) {
    fraction = static_cast<double>(packet.pos) / static_cast<double>(fileBytes);
  }
  return std::clamp(fraction, 0.0, 1.0);
}

// Sets target up over outFd with the movie's exported tracks and writes the
// header; streamOf gets the new stream of each of the movie's streams (-1
// for those left out).
int16_t startMuxer(Movie& movie, const ExportSettings& settings, bool hint, int outFd, MuxerPtr& target,
                   std::vector<int>& streamOf) {
  AVFormatContext* source = movie.libraryContext();
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr) < 0) return kExportWriteFailed;
  target.reset(raw);
  streamOf.assign(source->nb_streams, -1);
  const auto& tracks = movie.tracks();
  for (size_t i = 0; i < tracks.size(); ++i) {
    if (!exported(tracks[i])) continue;
    const int index = movie.libraryStream(i);
    const AVStream& stream = *source->streams[index];
    if (avformat_query_codec(raw->oformat, stream.codecpar->codec_id, FF_COMPLIANCE_NORMAL) != 1) {
      return kExportNotPassable;
    }
    AVStream* copy = avformat_new_stream(raw, nullptr);
    if (copy == nullptr || !copyStream(stream, *copy)) return kExportWriteFailed;
    streamOf[static_cast<size_t>(index)] = copy->index;
  }
  if (raw->nb_streams == 0) return kExportNotPassable;
  if (av_dict_copy(&raw->metadata, source->metadata, 0) < 0) return kExportWriteFailed;

  const std::string url = "file:/proc/self/fd/" + std::to_string(outFd);
  if (avio_open2(&raw->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr) < 0) return kExportWriteFailed;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "brand", mp4::fourccText(settings.fileType).c_str(), 0);
  if (hint) av_dict_set(&options, "movflags", "+rtphint", 0);
  if (settings.packetBytes) raw->packet_size = *settings.packetBytes;
  if (settings.packetMilliseconds) raw->max_delay = static_cast<int>(*settings.packetMilliseconds * 1000);
  const int header = avformat_write_header(raw, &options);
  av_dict_free(&options);
  if (header < 0) return raw->pb->error < 0 ? kExportWriteFailed : kExportNotPassable;
  return kExportOK;
}

}  // namespace

int16_t exportMpeg4(Movie& movie, const ExportSettings& settings, int outFd, const ExportProgress& progress) {
  MuxerPtr target;
  std::vector<int> streamOf;
  int16_t started = startMuxer(movie, settings, settings.hint, outFd, target, streamOf);
  // The muxer hints every track or none, and refuses the header when a
  // track's coding has no RTP packetiser (Apple Lossless, for one): such a
  // movie is written without hint tracks.
  if (started == kExportNotPassable && settings.hint) {
    started = startMuxer(movie, settings, false, outFd, target, streamOf);
  }
  if (started != kExportOK) return started;
  AVFormatContext* source = movie.libraryContext();
  AVFormatContext* raw = target.get();

  auto report = [&](ExportMessage message, double fraction) {
    return !progress || progress(message, fraction);
  };
  if (!report(ExportMessage::Open, 0.0)) return kExportCancelled;
  // Stream copies need presentation times where AVI and raw streams omit them.
  source->flags |= AVFMT_FLAG_GENPTS;
  PacketPtr packet(av_packet_alloc());
  if (!packet) return kExportWriteFailed;
  const double duration = movie.duration();
  const int64_t fileBytes = source->pb != nullptr ? avio_size(source->pb) : -1;
  int hundredths = 0;
  for (;;) {
    movie.restartDeadline();
    const int read = av_read_frame(source, packet.get());
    if (read == AVERROR_EOF) break;
    if (read < 0) return kExportDamagedMovie;
    const auto from = static_cast<size_t>(packet->stream_index);
    if (from >= streamOf.size() || streamOf[from] < 0) {
      av_packet_unref(packet.get());
      continue;
    }
    const double fraction = fractionAt(*source, *packet, duration, fileBytes);
    av_packet_rescale_ts(packet.get(), source->streams[from]->time_base,
                         raw->streams[streamOf[from]]->time_base);
    packet->stream_index = streamOf[from];
    packet->pos = -1;
    // Takes the packet over, whatever the result.
    if (av_interleaved_write_frame(raw, packet.get()) < 0) {
      return raw->pb->error < 0 ? kExportWriteFailed : kExportDamagedMovie;
    }
    if (const int now = static_cast<int>(fraction * 100); now > hundredths) {
      hundredths = now;
      file::startWriteback(outFd);
      if (!report(ExportMessage::Update, fraction)) return kExportCancelled;
    }
  }
  if (av_write_trailer(raw) < 0 || avio_closep(&raw->pb) < 0) return kExportWriteFailed;
  report(ExportMessage::Close, 1.0);
  return kExportOK;
}

}  // namespace corvane::movie
