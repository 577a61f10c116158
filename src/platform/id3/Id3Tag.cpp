#include "platform/id3/Id3Tag.h"

#include <zlib.h>

#include <algorithm>
#include <utility>

#include "platform/file/InputFile.h"

namespace corvane::id3 {
namespace {

using media::ByteSpan;

uint32_t bigEndian(ByteSpan b, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | b[i];
  return v;
}

bool isSyncsafe(ByteSpan b) { return ((b[0] | b[1] | b[2] | b[3]) & 0x80) == 0; }

uint32_t syncsafe(ByteSpan b) {
  return (uint32_t{b[0]} << 21) | (uint32_t{b[1]} << 14) | (uint32_t{b[2]} << 7) | b[3];
}

bool isIdChar(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool isFrameId(ByteSpan b, size_t idSize) {
  if (b.size() < idSize) return false;
  return std::all_of(b.begin(), b.begin() + static_cast<long>(idSize), isIdChar);
}

// The place after a frame is a fit end when it is the end, padding, or
// another frame id; used to tell a v2.4 syncsafe size from a plain one.
bool fitEnd(ByteSpan body, uint64_t at) {
  if (at == body.size()) return true;
  if (at > body.size()) return false;
  return body[at] == 0 || isFrameId(body.subspan(at), 4);
}

// v2.4 sizes are syncsafe, but some writers store plain ones there.
uint32_t frameSize24(ByteSpan body, size_t pos) {
  const auto sizeBytes = body.subspan(pos + 4, 4);
  const uint32_t plain = bigEndian(sizeBytes, 4);
  if (!isSyncsafe(sizeBytes)) return plain;
  const uint32_t safe = syncsafe(sizeBytes);
  if (safe != plain && !fitEnd(body, pos + 10 + uint64_t{safe}) && fitEnd(body, pos + 10 + uint64_t{plain})) {
    return plain;
  }
  return safe;
}

// Offset of the first frame: past an extended header when there is one.
std::optional<size_t> firstFrame(const TagHeader& h, ByteSpan body) {
  if (!(h.flags & kExtendedHeader) || h.majorVersion == 2) return 0;
  if (body.size() < 4) return std::nullopt;
  const uint64_t size = h.majorVersion == 3 ? 4 + uint64_t{bigEndian(body, 4)} : syncsafe(body);
  if (size > body.size() || (h.majorVersion == 4 && size < 6)) return std::nullopt;
  return static_cast<size_t>(size);
}

// How a frame's format flags shape its stored bytes: which extra bytes come
// before the content, and what was done to the content.
struct Format {
  size_t extra = 0;
  bool compressed = false, encrypted = false, unsynchronised = false;
};

Format formatOf(int majorVersion, uint8_t format, bool tagUnsynchronised) {
  Format f;
  if (majorVersion == 3) {
    // Extras in flag order: decompressed size, encryption method, group.
    f.compressed = format & 0x80;
    f.encrypted = format & 0x40;
    f.extra = (f.compressed ? 4 : 0) + (f.encrypted ? 1 : 0) + (format & 0x20 ? 1 : 0);
  } else if (majorVersion == 4) {
    // Extras in flag order: group, encryption method, data length.
    f.compressed = format & 0x08;
    f.encrypted = format & 0x04;
    f.extra = (format & 0x40 ? 1 : 0) + (f.encrypted ? 1 : 0) + (format & 0x01 ? 4 : 0);
    f.unsynchronised = (format & kUnsynchronisedFrame) || tagUnsynchronised;
  }
  return f;
}

// v2.2 ids and their v2.3 forms. The last eight are no part of v2.2 but are
// common in v2.2 tags: sort orders, the compilation flag and the podcast ids.
constexpr std::pair<std::string_view, std::string_view> kV22Ids[] = {
    {"BUF", "RBUF"}, {"CNT", "PCNT"}, {"COM", "COMM"}, {"CRA", "AENC"}, {"EQU", "EQUA"}, {"ETC", "ETCO"},
    {"GEO", "GEOB"}, {"IPL", "IPLS"}, {"LNK", "LINK"}, {"MCI", "MCDI"}, {"MLL", "MLLT"}, {"PIC", "APIC"},
    {"POP", "POPM"}, {"REV", "RVRB"}, {"RVA", "RVAD"}, {"SLT", "SYLT"}, {"STC", "SYTC"}, {"TAL", "TALB"},
    {"TBP", "TBPM"}, {"TCM", "TCOM"}, {"TCO", "TCON"}, {"TCR", "TCOP"}, {"TDA", "TDAT"}, {"TDY", "TDLY"},
    {"TEN", "TENC"}, {"TFT", "TFLT"}, {"TIM", "TIME"}, {"TKE", "TKEY"}, {"TLA", "TLAN"}, {"TLE", "TLEN"},
    {"TMT", "TMED"}, {"TOA", "TOPE"}, {"TOF", "TOFN"}, {"TOL", "TOLY"}, {"TOR", "TORY"}, {"TOT", "TOAL"},
    {"TP1", "TPE1"}, {"TP2", "TPE2"}, {"TP3", "TPE3"}, {"TP4", "TPE4"}, {"TPA", "TPOS"}, {"TPB", "TPUB"},
    {"TRC", "TSRC"}, {"TRD", "TRDA"}, {"TRK", "TRCK"}, {"TSI", "TSIZ"}, {"TSS", "TSSE"}, {"TT1", "TIT1"},
    {"TT2", "TIT2"}, {"TT3", "TIT3"}, {"TXT", "TEXT"}, {"TXX", "TXXX"}, {"TYE", "TYER"}, {"UFI", "UFID"},
    {"ULT", "USLT"}, {"WAF", "WOAF"}, {"WAR", "WOAR"}, {"WAS", "WOAS"}, {"WCM", "WCOM"}, {"WCP", "WCOP"},
    {"WPB", "WPUB"}, {"WXX", "WXXX"}, {"TS2", "TSO2"}, {"TSA", "TSOA"}, {"TSC", "TSOC"}, {"TSP", "TSOP"},
    {"TST", "TSOT"}, {"TCP", "TCMP"}, {"TID", "TGID"}, {"WFD", "WFED"},
};

}  // namespace

std::optional<TagHeader> parseHeader(ByteSpan bytes) {
  if (bytes.size() < kHeaderSize || bytes[0] != 'I' || bytes[1] != 'D' || bytes[2] != '3')
    return std::nullopt;
  if (bytes[3] < 2 || bytes[3] > 4 || bytes[4] == 0xFF || !isSyncsafe(bytes.subspan(6, 4)))
    return std::nullopt;
  TagHeader h;
  h.majorVersion = bytes[3];
  h.flags = bytes[5];
  h.bodySize = syncsafe(bytes.subspan(6, 4));
  return h;
}

media::Bytes removeUnsynchronisation(ByteSpan bytes) {
  media::Bytes out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    out.push_back(bytes[i]);
    if (bytes[i] == 0xFF && i + 1 < bytes.size() && bytes[i + 1] == 0x00) ++i;
  }
  return out;
}

void forEachFrame(const TagHeader& h, ByteSpan stored, const std::function<void(const Frame&)>& visit) {
  // A compressed v2.2 tag has no defined compression: nothing in it is read.
  if (h.majorVersion == 2 && (h.flags & kExtendedHeader)) return;
  const bool unsynchronised = h.flags & kUnsynchronisedTag;
  // v2.2 and v2.3 unsynchronise the whole body, v2.4 each frame.
  media::Bytes whole;
  ByteSpan body = stored;
  if (h.majorVersion < 4 && unsynchronised) {
    whole = removeUnsynchronisation(stored);
    body = whole;
  }
  const std::optional<size_t> start = firstFrame(h, body);
  if (!start) return;
  const size_t idSize = h.majorVersion == 2 ? 3 : 4;
  const size_t headerSize = h.majorVersion == 2 ? 6 : 10;
  for (size_t pos = *start; pos + headerSize <= body.size();) {
    if (!isFrameId(body.subspan(pos), idSize)) return;  // padding or garbage ends the frames
    const uint64_t size = h.majorVersion == 2   ? bigEndian(body.subspan(pos + 3), 3)
                          : h.majorVersion == 3 ? bigEndian(body.subspan(pos + 4), 4)
                                                : frameSize24(body, pos);
    if (size > body.size() - pos - headerSize) return;
    Frame frame;
    frame.id = std::string_view(reinterpret_cast<const char*>(body.data() + pos), idSize);
    frame.flags = h.majorVersion == 2 ? 0 : static_cast<uint16_t>(bigEndian(body.subspan(pos + 8), 2));
    frame.stored = body.subspan(pos + headerSize, static_cast<size_t>(size));
    frame.data = frame.stored;
    const Format format = formatOf(h.majorVersion, static_cast<uint8_t>(frame.flags), unsynchronised);
    media::Bytes plain;
    if (format.encrypted || format.extra > frame.stored.size()) {
      frame.content = Frame::Content::Unreadable;
    } else {
      frame.data = frame.stored.subspan(format.extra);
      if (format.unsynchronised) {
        plain = removeUnsynchronisation(frame.data);
        frame.data = plain;
      }
      if (format.compressed) frame.content = Frame::Content::Compressed;
    }
    visit(frame);
    pos += headerSize + static_cast<size_t>(size);
  }
}

std::optional<media::Bytes> inflate(const Frame& frame, size_t maxBytes) {
  if (frame.content != Frame::Content::Compressed) return std::nullopt;
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return std::nullopt;
  stream.next_in = const_cast<Bytef*>(frame.data.data());  // zlib's signature; it only reads
  stream.avail_in = static_cast<uInt>(frame.data.size());
  media::Bytes out;
  int status = Z_OK;
  while (status == Z_OK && out.size() < maxBytes) {
    const size_t done = out.size();
    out.resize(std::min(maxBytes, std::max<size_t>(done * 2, 4096)));
    stream.next_out = out.data() + done;
    stream.avail_out = static_cast<uInt>(out.size() - done);
    status = ::inflate(&stream, Z_NO_FLUSH);
    out.resize(out.size() - stream.avail_out);
  }
  inflateEnd(&stream);
  if (status != Z_STREAM_END) return std::nullopt;
  return out;
}

std::string_view v23Id(std::string_view v22Id) {
  for (const auto& [from, to] : kV22Ids) {
    if (from == v22Id) return to;
  }
  return {};
}

std::optional<StoredTag> readLeadingTag(const file::InputFile& file) {
  uint8_t head[kHeaderSize];
  if (file.size() < kHeaderSize || !file.readAt(0, head, sizeof head)) return std::nullopt;
  const std::optional<TagHeader> header = parseHeader(head);
  if (!header) return std::nullopt;
  // A tag cut short by the end of the file yields the frames that are whole.
  auto body =
      file.readSome(kHeaderSize, static_cast<size_t>(std::min<uint64_t>(header->bodySize, file.size())));
  if (!body) return std::nullopt;
  return StoredTag{*header, std::move(*body)};
}

}  // namespace corvane::id3
