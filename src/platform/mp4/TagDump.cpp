#include "platform/mp4/TagDump.h"

#include "platform/mp4/Mp4File.h"

namespace corvane::mp4 {

namespace {

void printText(std::FILE* out, const char* label, const std::optional<std::string>& text) {
  if (text) std::fprintf(out, "%s: %s\n", label, text->c_str());
}

template <typename T>
void printNumber(std::FILE* out, const char* label, const std::optional<T>& value) {
  if (value) std::fprintf(out, "%s: %u\n", label, static_cast<unsigned>(*value));
}

void printPair(std::FILE* out, const char* label, const std::optional<IndexTotal>& pair) {
  if (pair) std::fprintf(out, "%s: index=%u total=%u\n", label, unsigned{pair->index}, unsigned{pair->total});
}

void printTags(std::FILE* out, const Tags& t) {
  printText(out, "name", t.name);
  printText(out, "artist", t.artist);
  printText(out, "albumArtist", t.albumArtist);
  printText(out, "album", t.album);
  printText(out, "grouping", t.grouping);
  printText(out, "composer", t.composer);
  printText(out, "comments", t.comments);
  printText(out, "genre", t.genre);
  printNumber(out, "genreType", t.genreType);
  printText(out, "releaseDate", t.releaseDate);
  printPair(out, "track", t.track);
  printPair(out, "disk", t.disk);
  printNumber(out, "tempo", t.tempo);
  printNumber(out, "compilation", t.compilation);
  printText(out, "tvShow", t.tvShow);
  printText(out, "tvNetwork", t.tvNetwork);
  printText(out, "tvEpisodeID", t.tvEpisodeID);
  printNumber(out, "tvSeason", t.tvSeason);
  printNumber(out, "tvEpisode", t.tvEpisode);
  printText(out, "description", t.description);
  printText(out, "longDescription", t.longDescription);
  printText(out, "lyrics", t.lyrics);
  printText(out, "sortName", t.sortName);
  printText(out, "sortArtist", t.sortArtist);
  printText(out, "sortAlbumArtist", t.sortAlbumArtist);
  printText(out, "sortAlbum", t.sortAlbum);
  printText(out, "sortComposer", t.sortComposer);
  printText(out, "sortTVShow", t.sortTVShow);
  for (size_t i = 0; i < t.artworks.size(); ++i) {
    const Artwork& art = t.artworks[i];
    std::fprintf(out, "art[%d]: type=%d size=%u data=%p\n", static_cast<int>(i), static_cast<int>(art.type),
                 static_cast<unsigned>(art.data.size()), static_cast<const void*>(art.data.data()));
  }
  printText(out, "copyright", t.copyright);
  printText(out, "encodingTool", t.encodingTool);
  printText(out, "encodedBy", t.encodedBy);
  printText(out, "purchaseDate", t.purchaseDate);
  printNumber(out, "podcast", t.podcast);
  printText(out, "keywords", t.keywords);
  printText(out, "category", t.category);
  printNumber(out, "hdVideo", t.hdVideo);
  printNumber(out, "mediaType", t.mediaType);
  printNumber(out, "contentRating", t.contentRating);
  printNumber(out, "gapless", t.gapless);
  printNumber(out, "contentID", t.contentID);
  printNumber(out, "artistID", t.artistID);
  if (t.playlistID) std::fprintf(out, "playlistID: %llu\n", static_cast<unsigned long long>(*t.playlistID));
  printNumber(out, "genreID", t.genreID);
  printText(out, "xid", t.xid);
  printText(out, "iTunesAccount", t.iTunesAccount);
  printNumber(out, "iTunesAccountType", t.iTunesAccountType);
  printNumber(out, "iTunesCountry", t.iTunesCountry);
}

}  // namespace

int dumpTags(const std::string& path, std::FILE* out) {
  // The file must be one the tags could be changed in, though nothing is.
  const std::optional<file::InputFile> input = file::InputFile::open(path);
  const auto file = input && input->writable() ? Mp4File::read(*input) : std::nullopt;
  if (!file) {
    std::fprintf(out, "MP4Modify failed\n");
    return 1;
  }
  printTags(out, file->tags());
  return 0;
}

}  // namespace corvane::mp4
