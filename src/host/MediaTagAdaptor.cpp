#include "host/MediaTagAdaptor.h"

namespace corvane::host {

void MediaTagAdaptor::addMethods(ipc::MethodTable& table) {
  table.on(ipc::contract::kUpdateTag, [this](ipc::MethodCall& call) {
    std::string path;
    media::MediaRecord record;
    call.args().read(path, record);
    // "" stands for no path: the writer then takes the record's FilePath.
    call.reply().add(service_.updateTag(path, record));
  });

  table.on(ipc::contract::kPodcastInfo, [this](ipc::MethodCall& call) {
    std::string path;
    call.args().read(path);
    const auto info = service_.podcastInfo(path);
    if (!info) return replyFound(call, std::nullopt);
    media::MediaRecord record;
    for (const auto& [key, value] : *info) record.set(key, value);
    replyFound(call, record);
  });
}

}  // namespace corvane::host
