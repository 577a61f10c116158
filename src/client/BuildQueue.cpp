#include "client/BuildQueue.h"

#include <algorithm>
#include <exception>

namespace corvane::client {
namespace {

namespace contract = ipc::contract;

// How long a service that has not appeared is left alone before it is asked again.
constexpr std::chrono::milliseconds kRetryPause{50};

}  // namespace

BuildQueue::BuildQueue(std::vector<File> files, Options options)
    : files_(std::move(files)), options_(options) {
  options_.window = std::max<size_t>(options_.window, 1);
  options_.lookahead = std::max(options_.lookahead, options_.window);
  for (size_t i = 0; i < files_.size(); ++i) {
    if (!files_[i].service.empty()) services_[files_[i].service].waiting.push_back(i);
  }
}

BuildQueue::~BuildQueue() {
  // Before anything an answer handler touches goes: no handler runs once its
  // call is dropped.
  cancel();
}

void BuildQueue::cancel() { calls_.clear(); }

bool BuildQueue::run(const Digest& digest, const Handover& handover, const Tick& tick) {
  for (;;) {
    // Fill every service's window.
    const auto now = Clock::now();
    auto wakeAt = now + options_.tick;
    for (auto& [name, service] : services_) {
      while (service.outstanding < options_.window && !service.waiting.empty() &&
             service.waiting.front() < next_ + options_.lookahead) {
        if (now < service.retryAt) {
          wakeAt = std::min(wakeAt, service.retryAt);
          break;
        }
        send(name, service, digest);
      }
    }

    // Hand over what has its turn.
    while (next_ < files_.size()) {
      if (files_[next_].service.empty()) {
        handover(next_++, Answer{});
        continue;
      }
      const auto done = settled_.find(next_);
      if (done == settled_.end()) break;
      if (done->second.state != Outcome::State::Answered) {
        const ServiceError error = *done->second.error;
        cancel();
        throw error;
      }
      handover(next_++, done->second.answer);
      settled_.erase(done);
    }
    if (!tick(next_)) {
      cancel();
      return false;
    }
    if (next_ == files_.size()) return true;

    std::vector<std::pair<size_t, Outcome>> arrived;
    {
      std::unique_lock lock(mutex_);
      arrived_.wait_until(lock, wakeAt, [&] { return !inbox_.empty(); });
      arrived.swap(inbox_);
    }
    for (auto& [index, outcome] : arrived) settle(index, std::move(outcome));
  }
}

void BuildQueue::send(const std::string& name, Service& service, const Digest& digest) {
  const size_t index = service.waiting.front();
  service.waiting.pop_front();
  if (!service.proxy) {
    try {
      service.proxy = std::make_unique<ServiceProxy>(name, options_.startTimeout);
    } catch (const ServiceError& e) {
      Outcome failed;
      failed.error = e;
      settled_.emplace(index, std::move(failed));
      return;
    }
  }
  ++service.outstanding;
  const File& file = files_[index];
  ServiceProxy* proxy = service.proxy.get();
  ipc::SlotPtr call = proxy->callAsync(
      contract::kBuild, [&](ipc::MessageWriter& args) { args.add(file.path); },
      [this, index, proxy, &file, &digest](ipc::Reply reply) {
        Outcome outcome;
        bool found = false;
        media::MediaRecord record;
        if (!reply.ok()) {
          if (ServiceProxy::notThereYet(reply)) outcome.state = Outcome::State::NotThereYet;
          outcome.error =
              outcome.state == Outcome::State::NotThereYet ? proxy->notRunning(reply) : proxy->failure(reply);
        } else if (!reply.values().read(found, record).ok()) {
          outcome.error = proxy->unexpectedAnswer(contract::kBuild);
        } else {
          try {
            outcome.answer = {true, found,
                              digest(file, found ? std::optional(std::move(record)) : std::nullopt)};
            outcome.state = Outcome::State::Answered;
          } catch (const std::exception& e) {
            outcome.error =
                ServiceError(ServiceError::Kind::Failed, std::string("the answer was lost: ") + e.what());
          }
        }
        std::lock_guard lock(mutex_);
        inbox_.emplace_back(index, std::move(outcome));
        arrived_.notify_one();
      });
  if (call) calls_[index] = std::move(call);
}

void BuildQueue::settle(size_t index, Outcome outcome) {
  calls_.erase(index);
  Service& service = services_[files_[index].service];
  --service.outstanding;
  const auto now = Clock::now();
  if (outcome.state != Outcome::State::NotThereYet) {
    service.missingSince.reset();
    settled_.emplace(index, std::move(outcome));
    return;
  }
  if (!service.missingSince) service.missingSince = now;
  if (now - *service.missingSince >= options_.startTimeout) {
    outcome.state = Outcome::State::Failed;
    settled_.emplace(index, std::move(outcome));
    return;
  }
  // Asked again, in its place among the files still waiting.
  service.waiting.insert(std::lower_bound(service.waiting.begin(), service.waiting.end(), index), index);
  service.retryAt = now + kRetryPause;
}

}  // namespace corvane::client
