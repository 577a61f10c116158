#include "host/ServiceRegistry.h"

#include "builders/MP3Parser.h"
#include "builders/MP4Parser.h"
#include "builders/QuickTimeAVParser.h"
#include "builders/RZBasicAudioParser.h"
#include "host/ExifExtractorAdaptor.h"
#include "host/ImageInfoBuilderAdaptor.h"
#include "host/MediaInfoBuilderAdaptor.h"
#include "host/MediaTagAdaptor.h"

namespace corvane::host {
namespace {

template <typename Adaptor>
std::function<std::unique_ptr<ServiceObject>()> make() {
  return [] { return std::make_unique<Adaptor>(); };
}

}  // namespace

std::vector<ServiceRow> serviceRegistry() {
  return {
      {"AVParser_Halvern", "failed to register Tavik AV Parser",
       make<MediaInfoBuilderAdaptor<builders::QuickTimeAVParser>>()},
      {"MP3Parser_Halvern", "failed to register Tavik MP3 Parser",
       make<MediaInfoBuilderAdaptor<builders::MP3Parser>>()},
      {"ImageParser_Halvern", "failed to register Tavik Image Parser", make<ImageInfoBuilderAdaptor>()},
      {"MediaTagUpdater_Halvern", "failed to register Tavik Media Tag Updater", make<MediaTagAdaptor>()},
      {"MP4Exporter_Halvern", "failed to register Tavik MP4 Exporter", {}},
      {"MP4Parser_Halvern", "failed to register Tavik MP4 Parser",
       make<MediaInfoBuilderAdaptor<builders::MP4Parser>>()},
      {"ExifExtractor_Halvern", "failed to register Tavik Exif Extractor", make<ExifExtractorAdaptor>()},
      {"BasicAudioParser_Halvern", "failed to register Tavik basicaudio parser",
       make<MediaInfoBuilderAdaptor<builders::RZBasicAudioParser>>()},
  };
}

}  // namespace corvane::host
