#include "platform/imaging/VipsSupport.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "media/Log.h"

namespace corvane::imaging {

bool startUp() {
  if (vips_init("corvane") != 0) return false;
  // The service's files may be rewritten between two requests, and a cached
  // load would serve the old picture.
  vips_cache_set_max(0);
  return true;
}

}  // namespace corvane::imaging

namespace corvane::imaging::detail {

namespace {

// Guards the count of operations in progress and the clearing of the buffer.
std::mutex callsGate;
int callsInProgress = 0;

size_t errorBufferLength() {
  const char* text = vips_error_buffer();
  return text == nullptr ? 0 : std::strlen(text);
}

}  // namespace

VipsCall::VipsCall() {
  const std::lock_guard<std::mutex> lock(callsGate);
  ++callsInProgress;
  start_ = errorBufferLength();
}

VipsCall::~VipsCall() {
  const std::lock_guard<std::mutex> lock(callsGate);
  // With no operation left to read it, the buffer starts afresh; a daemon
  // that never clears it would soon have a full buffer and stale texts.
  if (--callsInProgress == 0) vips_error_clear();
}

std::string VipsCall::failureText(const vips::VError& error) const {
  const std::string all = error.what();
  // Shorter than at the start: libvips itself cleared the buffer meanwhile,
  // so all of it belongs to this operation's time.
  std::string text = start_ <= all.size() ? all.substr(start_) : all;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text.empty() ? "imaging failure" : text;
}

namespace {

// libvips has a colour route from these; anything else (a matrix, a Fourier
// image, a multiband scientific picture) is treated as plain samples.
bool hasColourRoute(VipsInterpretation interpretation) {
  switch (interpretation) {
    case VIPS_INTERPRETATION_B_W:
    case VIPS_INTERPRETATION_GREY16:
    case VIPS_INTERPRETATION_sRGB:
    case VIPS_INTERPRETATION_RGB16:
    case VIPS_INTERPRETATION_scRGB:
    case VIPS_INTERPRETATION_CMYK:
    case VIPS_INTERPRETATION_LAB:
    case VIPS_INTERPRETATION_LABQ:
    case VIPS_INTERPRETATION_LABS:
    case VIPS_INTERPRETATION_LCH:
    case VIPS_INTERPRETATION_CMC:
    case VIPS_INTERPRETATION_XYZ:
    case VIPS_INTERPRETATION_YXY:
    case VIPS_INTERPRETATION_HSV:
      return true;
    default:
      return false;
  }
}

}  // namespace

vips::VImage toSrgb8(const vips::VImage& image) {
  const VipsInterpretation interpretation = vips_image_guess_interpretation(image.get_image());
  // Already what the route below ends with (the usual decoded photo or
  // thumbnail): each step would only copy it.
  const bool rgbOrRgba = image.bands() == 3 || image.bands() == 4;
  if (image.format() == VIPS_FORMAT_UCHAR && rgbOrRgba && interpretation == VIPS_INTERPRETATION_sRGB &&
      image.interpretation() == VIPS_INTERPRETATION_sRGB) {
    return image;
  }
  vips::VImage out = image;
  if (hasColourRoute(interpretation)) {
    out = out.colourspace(VIPS_INTERPRETATION_sRGB,
                          vips::VImage::option()->set("source_space", interpretation));
  }
  if (out.format() != VIPS_FORMAT_UCHAR) {
    out = out.cast(VIPS_FORMAT_UCHAR);
  }
  // Whatever route was taken, end with RGB or RGBA.
  const bool alpha = out.bands() == 2 || out.bands() > 3;
  vips::VImage colour =
      out.bands() >= 3 ? out.extract_band(0, vips::VImage::option()->set("n", 3)) : out.extract_band(0);
  if (colour.bands() == 1) {
    colour = colour.bandjoin({colour, colour});
  }
  if (alpha) {
    colour = colour.bandjoin(out.extract_band(out.bands() == 2 ? 1 : 3));
  }
  return colour.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

vips::VImage toRgba8(const vips::VImage& image) {
  const vips::VImage rgb = toSrgb8(image);
  return rgb.bands() == 4 ? rgb : rgb.bandjoin_const({255});
}

media::Bytes takeBlob(VipsBlob* blob) {
  const std::unique_ptr<VipsArea, decltype(&vips_area_unref)> owned(VIPS_AREA(blob), vips_area_unref);
  size_t length = 0;
  const auto* data =
      static_cast<const uint8_t*>(vips_area_get_data(owned.get(), &length, nullptr, nullptr, nullptr));
  return media::Bytes(data, data + length);
}

namespace {

struct DeadlineGuard {
  budget::Deadline deadline;
  std::atomic<bool> reported{false};
};

constexpr const char* kOverTime = "the picture's work went over its time budget";

// Passes each requested area through from the input while the deadline has
// not passed.
int generateWithinDeadline(VipsRegion* out, void* sequence, void*, void* guardData, gboolean*) {
  auto* guard = static_cast<DeadlineGuard*>(guardData);
  if (guard->deadline.passed()) {
    // Several worker threads may find it at once: one line, one text.
    if (!guard->reported.exchange(true)) {
      reportOverBudget(kOverTime);
      vips_error("corvane", "%s", kOverTime);
    }
    return -1;
  }
  auto* in = static_cast<VipsRegion*>(sequence);
  const VipsRect* area = &out->valid;
  if (vips_region_prepare(in, area) != 0) return -1;
  return vips_region_region(out, in, area, area->left, area->top);
}

}  // namespace

vips::VImage withDeadline(const vips::VImage& image, const budget::Deadline& deadline) {
  VipsImage* in = image.get_image();
  VipsImage* out = vips_image_new();
  // out keeps its input and its guard for as long as it lives.
  g_object_ref(in);
  vips_object_local(out, in);
  auto* guard = new DeadlineGuard{deadline};
  g_object_set_data_full(G_OBJECT(out), "corvane-deadline", guard,
                         [](gpointer data) { delete static_cast<DeadlineGuard*>(data); });
  if (vips_image_pipelinev(out, VIPS_DEMAND_STYLE_ANY, in, nullptr) != 0 ||
      vips_image_generate(out, vips_start_one, generateWithinDeadline, vips_stop_one, in, guard) != 0) {
    g_object_unref(out);
    throw vips::VError();
  }
  return vips::VImage(out, vips::STEAL);
}

void reportOverBudget(std::string_view reason) { log::line("Picture over budget: " + std::string(reason)); }

void failOverBudget(const std::string& reason) {
  reportOverBudget(reason);
  throw ImagingError(reason);
}

}  // namespace corvane::imaging::detail
