#include "host/ServiceRegistry.h"

#include "builders/MP3Parser.h"
#include "builders/MP4Parser.h"
#include "builders/QuickTimeAVParser.h"
#include "builders/RZBasicAudioParser.h"
#include "host/ExifExtractorAdaptor.h"
#include "host/ExporterAdaptor.h"
#include "host/ImageInfoBuilderAdaptor.h"
#include "host/MediaInfoBuilderAdaptor.h"
#include "host/MediaTagAdaptor.h"
#include "platform/ipc/Contract.h"

namespace corvane::host {
namespace {

namespace contract = ipc::contract;

template <typename Adaptor>
std::function<std::unique_ptr<ServiceObject>()> make() {
  return [] { return std::make_unique<Adaptor>(); };
}

}  // namespace

std::vector<ServiceRow> serviceRegistry() {
  return {
      {contract::kAVParserService, "failed to register Tavik AV Parser",
       make<MediaInfoBuilderAdaptor<builders::QuickTimeAVParser>>()},
      {contract::kMP3ParserService, "failed to register Tavik MP3 Parser",
       make<MediaInfoBuilderAdaptor<builders::MP3Parser>>()},
      {contract::kImageParserService, "failed to register Tavik Image Parser",
       make<ImageInfoBuilderAdaptor>()},
      {contract::kMediaTagService, "failed to register Tavik Media Tag Updater", make<MediaTagAdaptor>()},
      {contract::kExporterService, "failed to register Tavik MP4 Exporter", make<ExporterAdaptor>()},
      {contract::kMP4ParserService, "failed to register Tavik MP4 Parser",
       make<MediaInfoBuilderAdaptor<builders::MP4Parser>>()},
      {contract::kExifExtractorService, "failed to register Tavik Exif Extractor",
       make<ExifExtractorAdaptor>()},
      {contract::kBasicAudioParserService, "failed to register Tavik basicaudio parser",
       make<MediaInfoBuilderAdaptor<builders::RZBasicAudioParser>>()},
  };
}

}  // namespace corvane::host
