#include "host/ServiceObject.h"

namespace corvane::host {

void replyFound(ipc::MethodCall& call, const std::optional<media::MediaRecord>& record) {
  if (record)
    call.reply().add(true, *record);
  else
    call.reply().add(false, media::MediaRecord{});
}

}  // namespace corvane::host
