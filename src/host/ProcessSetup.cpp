#include "host/ProcessSetup.h"

#include <csignal>

#include "platform/imaging/Picture.h"
#include "platform/movie/Movie.h"

namespace corvane::host {

bool setUpProcess() {
  std::signal(SIGXFSZ, SIG_IGN);
  movie::Movie::startUp();
  return imaging::startUp();
}

}  // namespace corvane::host
