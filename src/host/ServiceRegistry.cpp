#include "host/ServiceRegistry.h"

#include "host/ExifExtractorAdaptor.h"
#include "host/ImageInfoBuilderAdaptor.h"

namespace corvane::host {
namespace {

template <typename Adaptor>
std::function<std::unique_ptr<ServiceObject>()> make() {
  return [] { return std::make_unique<Adaptor>(); };
}

}  // namespace

std::vector<ServiceRow> serviceRegistry() {
  return {
      {"AVParser_Halvern", "failed to register Tavik AV Parser", {}},
      {"MP3Parser_Halvern", "failed to register Tavik MP3 Parser", {}},
      {"ImageParser_Halvern", "failed to register Tavik Image Parser", make<ImageInfoBuilderAdaptor>()},
      {"MediaTagUpdater_Halvern", "failed to register Tavik Media Tag Updater", {}},
      {"MP4Exporter_Halvern", "failed to register Tavik MP4 Exporter", {}},
      {"MP4Parser_Halvern", "failed to register Tavik MP4 Parser", {}},
      {"ExifExtractor_Halvern", "failed to register Tavik Exif Extractor", make<ExifExtractorAdaptor>()},
      {"BasicAudioParser_Halvern", "failed to register Tavik basicaudio parser", {}},
  };
}

}  // namespace corvane::host
