// Helper of the end-to-end tests: makes input photos, computes expected results with the
// project's own stage filters, and does the few things to X windows that xdotool cannot: finding
// the sliders, fingerprinting a window's picture or the pointer, a window manager's close request
// and ping, and recording what the photo window shows after a key or click.
// Qt's headers come first: X11's macros (CursorShape, None) break them.
// clang-format off
#include <QCryptographicHash>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
// clang-format on
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <fstream>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "pipeline/preview.hpp"
#include "tests/test_images.hpp"

// Last: the header of the X test extension defines a macro COUNT, a name the image library uses.
#include <X11/extensions/XTest.h>

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "lumivet-e2e-helper: %s\n", message.c_str());
  return 1;
}

int write(const std::string& path, const cv::Mat& image) {
  if (!cv::imwrite(path, image)) throw std::runtime_error("cannot write " + path);
  return 0;
}

// The pixels as stored in the file, before any orientation is applied.
cv::Mat readStored(const std::string& path, int flags = cv::IMREAD_IGNORE_ORIENTATION) {
  const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR | flags);
  if (image.empty()) throw std::runtime_error("cannot read " + path);
  return image;
}

int printHash(const void* data, std::size_t size) {
  const std::string_view bytes(static_cast<const char*>(data), size);
  std::printf("%016zx\n", std::hash<std::string_view>{}(bytes));
  return 0;
}

// The brightness stretch with a scratch brightness image of its own.
void filterStretchPAlone(const cv::Mat& src, int value, cv::Mat& dst) {
  cv::Mat gray;
  filterStretchP(src, value, dst, gray);
}

// The whole-image filters by the names the scripts give them, with their sliders' labels.
using Filter = void (*)(const cv::Mat&, int, cv::Mat&);
const std::map<std::string, std::pair<Filter, const char*>> kFilters = {
    {"bilateral", {filterBilateral, "Bilateral"}},
    {"blur", {filterBlur, "Blur"}},
    {"stretchc", {filterStretchC, "C.StretchC"}},
    {"stretchp", {filterStretchPAlone, "C.StretchP"}},
    {"smooth", {filterSmooth, "C.Smooth"}},
    {"noise", {filterNoise, "G.noise"}},
    {"black", {filterBlackToZero, "Black->0"}},
    {"white", {filterWhiteToZero, "White->0"}}};

// Applies the named filters one after another, each to the result of the one before, as the tool
// does when the user moves one slider after another, and records them as the tool's recipe.
int expect(int argc, char** argv) {
  cv::Mat image = readStored(argv[2], 0);  // upright, as the tool shows it
  std::string recipe;
  for (int i = 4; i + 1 < argc; i += 2) {
    const auto& [filter, name] = kFilters.at(argv[i]);
    recipe += (recipe.empty() ? "" : "; ") + std::string(name) + " " + argv[i + 1];
    filter(image.clone(), std::atoi(argv[i + 1]), image);
  }
  write(argv[3], image);
  Exiv2::XmpProperties::registerNs("https://lumivet.org/ns/recipe/1.0/", "lumivet");
  const auto saved = Exiv2::ImageFactory::open(argv[3]);
  saved->readMetadata();
  Exiv2::XmpData xmp;
  if (!recipe.empty()) xmp["Xmp.lumivet.Recipe"] = recipe;
  // The photo it was made from: its name, size and SHA-256.
  std::ifstream file(argv[2], std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(file), {}};
  xmp["Xmp.lumivet.Source"] = std::filesystem::path(argv[2]).filename().string();
  xmp["Xmp.lumivet.SourceSize"] = std::to_string(bytes.size());
  xmp["Xmp.lumivet.SourceSHA256"] =
      QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
          .toHex()
          .toStdString();
  xmp["Xmp.xmp.CreatorTool"] = std::string("Lumivet Tool ") + LUMIVET_VERSION;
  saved->setXmpData(xmp);
  saved->writeMetadata();
  return 0;
}

// For every stage but noise (drawn anew every time, it has no closer picture), every distance of
// the slider from its start (every fifth of a range above 30) and each coarser level of the
// preview: how close the level's picture of a move from the start comes to the exact result scaled
// to `size`, against the photo scaled before the move. Prints "LABEL DISTANCE LEVEL PSNR-OF-LEVEL
// PSNR-BEFORE", after the distances from which the stage table allows levels 1 and 2: "table
// LABEL FROM FROM".
int levels(const cv::Mat& photo, cv::Size size) {
  const cv::Mat before = areaScaled(photo, size);
  for (const StageSlider& slider : kStageTable) {
    if (slider.id != kNoiseStage)
      std::printf("table %s %d %d\n", slider.label, slider.coarseFrom[0], slider.coarseFrom[1]);
  }
  for (const StageSlider& slider : kStageTable) {
    if (slider.id == kNoiseStage) continue;
    for (int distance = 1; distance <= slider.maximum; distance += slider.maximum > 30 ? 5 : 1) {
      const int position = slider.initial == 0 ? distance : slider.initial - distance;
      Pipeline exact(photo);
      exact.move(slider, position);
      const cv::Mat result = areaScaled(exact.result(), size);
      PreviewPipeline preview(photo, size);
      preview.beginMove(slider, photo);
      for (int level = 1; level < PreviewPipeline::kLevels; ++level) {
        std::printf("%s %d %d %.2f %.2f\n", slider.label, distance, level,
                    cv::PSNR(preview.coarse(slider, position, level), result),
                    cv::PSNR(before, result));
      }
      std::fflush(stdout);
    }
  }
  return 0;
}

// The picture of a window as a BGR image (the X server stores 24-bit pixels as B, G, R, pad).
cv::Mat grab(Display* display, Window window) {
  XWindowAttributes a;
  XImage* x = XGetWindowAttributes(display, window, &a)
                  ? XGetImage(display, window, 0, 0, a.width, a.height, AllPlanes, ZPixmap)
                  : nullptr;
  if (!x) throw std::runtime_error("cannot read the window");
  cv::Mat image;
  cv::cvtColor(cv::Mat(a.height, a.width, CV_8UC4, x->data, x->bytes_per_line), image,
               cv::COLOR_BGRA2BGR);
  XDestroyImage(x);
  return image;
}

// A slider groove is the only thing in the control window drawn as a long unbroken horizontal
// run that differs from the background at the row's left edge; its rows form one band per slider.
// Prints a click point "X Y" on each slider, top to bottom, or with `ends` its left and right ends
// and middle row "LEFT RIGHT Y".
int findSliders(const cv::Mat& image, bool ends) {
  const int probe = image.cols - 50;
  int bandStart = -1, bandLeft = 0;
  for (int y = 0; y <= image.rows; ++y) {
    int left = probe;
    if (y < image.rows) {
      const cv::Vec3b background = image.at<cv::Vec3b>(y, 0);
      while (left > 0 && image.at<cv::Vec3b>(y, left - 1) != background) --left;
      if (image.at<cv::Vec3b>(y, probe) == background) left = probe;
    }
    const bool groove = y < image.rows && probe - left > image.cols / 3;
    if (groove && bandStart < 0) {
      bandStart = y;
      bandLeft = left;
    } else if (!groove && bandStart >= 0) {
      if (y - bandStart >= 4 && ends) {
        const int middle = (bandStart + y) / 2;
        const cv::Vec3b background = image.at<cv::Vec3b>(middle, 0);
        int right = probe;
        while (right + 1 < image.cols && image.at<cv::Vec3b>(middle, right + 1) != background)
          ++right;
        std::printf("%d %d %d\n", bandLeft, right, middle);
      }
      if (y - bandStart >= 4 && !ends)
        std::printf("%d %d\n", (bandLeft + probe) / 2, (bandStart + y) / 2);
      bandStart = -1;
    }
  }
  return 0;
}

// A WM_PROTOCOLS client message, as a window manager sends it: PROTOCOL with ID in the
// timestamp field.
int sendProtocol(Display* display, Window window, const char* protocol, long id) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, protocol, False));
  event.xclient.data.l[1] = id;
  event.xclient.data.l[2] = static_cast<long>(window);
  XSendEvent(display, window, False, NoEventMask, &event);
  XSync(display, False);
  return 0;
}

int digest(const cv::Mat& picture) {
  return printHash(picture.data, picture.total() * picture.elemSize());
}

int requestClose(Display* display, Window window) {
  return sendProtocol(display, window, "WM_DELETE_WINDOW", CurrentTime);
}

// The pointer's shape as the X server shows it, whichever window it is over.
int cursorDigest(Display* display, Window) {
  XFixesCursorImage* cursor = XFixesGetCursorImage(display);
  if (!cursor) return fail("cannot read the pointer");
  printHash(cursor->pixels, sizeof *cursor->pixels * cursor->width * cursor->height);
  XFree(cursor);
  return 0;
}

template <typename Clock = std::chrono::steady_clock>
double nowMs() {
  return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

// The window manager's liveness check: a _NET_WM_PING every 100 ms for SECONDS or until the window
// goes. The client answers to the root window with the substructure redirect mask, which only the
// window manager may select: the helper plays it, and passes on the map and configure requests
// that then come to it. One line per ping: its wall-clock send time in ms and the reply's latency,
// or "none" for a ping sent 350 ms or more before the pinging stopped and still unanswered.
int ping(Display* display, Window window, double seconds) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  XSelectInput(display, DefaultRootWindow(display),
               SubstructureNotifyMask | SubstructureRedirectMask);
  const Atom pingAtom = XInternAtom(display, "_NET_WM_PING", False);
  const double wallClock = nowMs<std::chrono::system_clock>() - nowMs();
  std::map<long, double> pending;  // id: sent
  XWindowAttributes attributes;
  const double end = nowMs() + seconds * 1000;
  for (long id = 1; nowMs() < end && XGetWindowAttributes(display, window, &attributes); ++id) {
    const double sent = pending[id] = nowMs();
    sendProtocol(display, window, "_NET_WM_PING", id);
    while (nowMs() < sent + 100) {
      usleep(2000);
      for (XEvent event; XPending(display);) {
        XNextEvent(display, &event);
        if (event.type == MapRequest) XMapWindow(display, event.xmaprequest.window);
        if (event.type == ConfigureRequest) {
          const XConfigureRequestEvent& r = event.xconfigurerequest;
          XWindowChanges changes = {r.x, r.y, r.width, r.height, r.border_width, r.above, r.detail};
          XConfigureWindow(display, r.window, r.value_mask, &changes);
        }
        const bool pong =
            event.type == ClientMessage && static_cast<Atom>(event.xclient.data.l[0]) == pingAtom;
        const auto answered = pong ? pending.find(event.xclient.data.l[1]) : pending.end();
        if (answered == pending.end()) continue;
        std::printf("%.0f %.0f\n", answered->second + wallClock, nowMs() - answered->second);
        pending.erase(answered);
      }
    }
  }
  const double stopped = nowMs();
  for (const auto& [id, sent] : pending)
    if (sent < stopped - 350) std::printf("%.0f none\n", sent + wallClock);
  return 0;
}

// Prints "WxH+X+Y PSNR": where the window shows `photo` scaled to `size` with area averaging, as
// the photo window shows the whole photo, and how close the picture there is to it.
int locate(Display* display, Window window, const cv::Mat& photo, cv::Size size) {
  const cv::Mat frame = grab(display, window);
  const cv::Mat scaled = areaScaled(photo, size);
  cv::Mat differences;
  cv::matchTemplate(frame, scaled, differences, cv::TM_SQDIFF);
  cv::Point at;
  cv::minMaxLoc(differences, nullptr, nullptr, &at);
  std::printf("%dx%d+%d+%d %.1f\n", size.width, size.height, at.x, at.y,
              cv::PSNR(frame(cv::Rect(at, size)), scaled));
  return 0;
}

volatile std::sig_atomic_t stopAsked = 0;

// Reads an area of a window through memory shared with the X server: read through the connection,
// 50 pictures a second would take half a core from the tool being measured.
class Grabber {
 public:
  Grabber(Display* display, Window window, cv::Rect area)
      : display_(display), window_(window), area_(area) {
    image_ = XShmCreateImage(display, DefaultVisual(display, DefaultScreen(display)), 24, ZPixmap,
                             nullptr, &segment_, area.width, area.height);
    segment_.shmid = shmget(IPC_PRIVATE, image_->bytes_per_line * image_->height, IPC_CREAT | 0600);
    segment_.shmaddr = image_->data = static_cast<char*>(shmat(segment_.shmid, nullptr, 0));
    XShmAttach(display, &segment_);
    shmctl(segment_.shmid, IPC_RMID, nullptr);  // it goes once both have let go
    grabbed_ = cv::Mat(area.height, area.width, CV_8UC4, image_->data, image_->bytes_per_line);
  }
  // Reads the area again; true when it differs from the last read, whose BGR copy is `shown`.
  bool changed(cv::Mat& shown) {
    if (!XShmGetImage(display_, window_, image_, area_.x, area_.y, AllPlanes))
      throw std::runtime_error("no picture");
    if (!last_.empty() && std::equal(grabbed_.datastart, grabbed_.dataend, last_.data))
      return false;
    grabbed_.copyTo(last_);
    cv::cvtColor(grabbed_, shown, cv::COLOR_BGRA2BGR);
    return true;
  }

 private:
  Display* display_;
  Window window_;
  cv::Rect area_;
  XShmSegmentInfo segment_{};
  XImage* image_;
  cv::Mat grabbed_, last_;
};

// What the photo window shows in `area`, every 20 ms from 300 ms before the user's action until
// SECONDS have passed, or SIGINT came and then the exact result or two seconds of a still
// picture. The action goes through the X server's test extension, as from a keyboard or
// mouse: "key:NAME" to the window with the keyboard focus, or "click", the middle button where
// the pointer is (which moves a slider's handle straight there). Against the expected result,
// both scaled to the area with area averaging, a picture is faithful at 35 dB (with "noise",
// which nobody can draw again: the spread of its difference from the photo within 15% of the
// result's) and exact when equal, as a preview may come within 2 of every sample (noise: exact is
// the last picture, when faithful). Prints how long scaling the result took, a line per change of
// the picture (ms from the action, PSNR, spread off by), then when the first picture that differs
// from the one before the action and moves toward the result, the first faithful one and the
// exact result came.
int record(Display* display, Window window, double seconds, cv::Rect area, const cv::Mat& photo,
           const cv::Mat& result, const std::string& action, bool noise) {
  cv::Mat expected, base, shown, difference, mean, deviation;
  const double scaling = nowMs();
  expected = areaScaled(result, area.size());
  std::printf("scale %.0f\n", nowMs() - scaling);
  base = areaScaled(photo, area.size());
  const auto spread = [&](const cv::Mat& picture) {
    cv::subtract(picture, base, difference, cv::noArray(), CV_16S);
    cv::meanStdDev(difference.reshape(1), mean, deviation);
    return deviation.at<double>(0);
  };
  const double expectedSpread = std::max(spread(expected), 1e-9);
  const bool click = action == "click", keyed = action.rfind("key:", 0) == 0;
  const KeyCode key = keyed ? XKeysymToKeycode(display, XStringToKeysym(action.c_str() + 4)) : 0;
  if (!click && key == 0) return fail(action + "?");
  std::signal(SIGINT, [](int) { stopAsked = 1; });
  Grabber grabber(display, window, area);

  const double start = nowMs(), end = start + seconds * 1000;
  double acted = 0, changed = start, stopped = 0, before = 0, first = -1, faithful = -1, exact = -1;
  // Asked to stop, it waits for the exact result, or for two seconds of a still picture (noise).
  for (int tick = 1;
       !(stopped && ((exact >= 0 && !noise) || nowMs() - std::max(changed, stopped) > 2000)) &&
       nowMs() < end;
       ++tick) {
    if (stopAsked && acted && !stopped) stopped = nowMs();
    if (!acted && nowMs() >= start + 300) {
      acted = nowMs();
      for (const Bool down : {True, False})
        click ? XTestFakeButtonEvent(display, 2, down, 0)
              : XTestFakeKeyEvent(display, key, down, 0);
      XSync(display, False);
    }
    const double ms = nowMs() - acted;
    if (grabber.changed(shown)) {
      changed = nowMs();
      const double psnr = cv::PSNR(shown, expected);
      const double off = std::abs(spread(shown) / expectedSpread - 1);
      const double distance = noise ? off : -psnr;  // from the result
      const bool close = noise ? off <= 0.15 : psnr >= 35;
      std::printf("frame %.0f %.2f %.3f\n", acted ? ms : 0.0, psnr, off);
      if (!acted) {
        before = distance;
      } else {
        if (first < 0 && distance < before) first = ms;
        if (faithful < 0 && close) faithful = ms;
        const bool equal = !noise && cv::norm(shown, expected, cv::NORM_INF) == 0;
        exact = noise ? (close ? ms : -1) : equal ? (exact < 0 ? ms : exact) : -1;
      }
    }
    std::this_thread::sleep_for(
        std::chrono::duration<double, std::milli>(start + 20 * tick - nowMs()));
  }
  for (const auto& [name, ms] :
       {std::pair{"first", first}, {"faithful", faithful}, {"exact", exact}})
    ms < 0 ? std::printf("%s none\n", name) : std::printf("%s %.0f\n", name, ms);
  return 0;
}

// A drag of a slider as a hand makes it, and what the photo window showed meanwhile. Through the X
// test extension: the left button pressed on the handle at `from` (a point of the control window,
// the slider at 0), the pointer moved to `to` in steps of 40 ms for `seconds`, the button let go.
// The area of the photo window is read every 20 ms from 300 ms before the press until its picture
// has been still for a second after the release. The positions the slider reached come from the
// tool's timing file (its "move" lines): each was reached when the step that moved it was sent.
// Each picture is compared with the exact result at every position reached (`stage` on `photo`
// after the `base` steps, scaled to the area): faithful at 35 dB (noise: its spread from the
// photo within 15% of the result's). Prints a line "position P MS" per position reached with the
// ms from reaching it to the first faithful picture (or "none"), then "pictures N SECONDS" (the
// changes of the picture from the press to the release, and how long that took), "shown N"
// (the positions that some picture was faithful to and closest to) and "last P".
int drag(Display* display, Window image, cv::Rect area, Window control, cv::Point from,
         cv::Point to, double seconds, const std::string& timing, const cv::Mat& photo,
         const std::vector<std::pair<std::string, int>>& base, const std::string& stage) {
  using Wall = std::chrono::system_clock;
  const bool noise = stage == "noise";
  int x0, y0;
  Window child;
  XTranslateCoordinates(display, control, DefaultRootWindow(display), 0, 0, &x0, &y0, &child);
  Grabber grabber(display, image, area);
  std::vector<std::pair<double, cv::Mat>> frames;  // wall ms, picture
  std::vector<std::pair<double, int>> sent;        // wall ms, pointer x
  const int steps = std::max(1, static_cast<int>(std::lround(seconds * 25)));
  const double start = nowMs<Wall>();
  double pressed = 0, released = 0, still = start;
  int step = -1;
  for (int tick = 0;; ++tick) {
    const double now = nowMs<Wall>();
    if (step < 0 && now >= start + 300) {
      XTestFakeMotionEvent(display, -1, x0 + from.x, y0 + from.y, 0);
      XTestFakeButtonEvent(display, 1, True, 0);
      XSync(display, False);
      pressed = nowMs<Wall>();
      sent.push_back({pressed, from.x});
      step = 0;
    } else if (step >= 0 && step < steps && now >= pressed + 40 * (step + 1)) {
      ++step;
      const int x = from.x + (to.x - from.x) * step / steps;
      XTestFakeMotionEvent(display, -1, x0 + x, y0 + from.y, 0);
      XSync(display, False);
      sent.push_back({nowMs<Wall>(), x});
      if (step == steps) {
        XTestFakeButtonEvent(display, 1, False, 0);
        XSync(display, False);
        released = nowMs<Wall>();
      }
    }
    cv::Mat shown;
    if (grabber.changed(shown)) {
      frames.push_back({nowMs<Wall>(), shown});
      still = nowMs<Wall>();
    }
    if (released && nowMs<Wall>() > std::max(still, released) + 1000) break;
    std::this_thread::sleep_for(
        std::chrono::duration<double, std::milli>(start + 20 * (tick + 1) - nowMs<Wall>()));
  }

  // The positions reached, each with the time the step that reached it was sent.
  std::vector<std::pair<int, double>> reached;
  std::ifstream lines(timing);
  for (std::string word, label; lines >> word;) {
    int position;
    double wall;
    if (word != "move" || !(lines >> label >> position >> wall) || wall < pressed) {
      lines.ignore(1 << 20, '\n');
      continue;
    }
    double when = pressed;
    for (const auto& [ms, x] : sent)
      if (ms <= wall) when = ms;
    reached.push_back({position, when});
  }
  if (reached.empty()) return fail("the slider did not move");

  cv::Mat source = photo.clone();
  for (const auto& [name, value] : base) kFilters.at(name).first(source.clone(), value, source);
  const cv::Mat before = areaScaled(source, area.size());
  cv::Mat difference, mean, deviation;
  const auto spread = [&](const cv::Mat& picture) {
    cv::subtract(picture, before, difference, cv::noArray(), CV_16S);
    cv::meanStdDev(difference.reshape(1), mean, deviation);
    return deviation.at<double>(0);
  };
  // How far each picture is from each position's result: -PSNR, or for noise how far off its
  // spread is; faithful within `near`.
  const double near = noise ? 0.15 : -35;
  std::map<int, std::vector<double>> distance;
  for (const auto& [position, when] : reached) {
    if (distance.count(position)) continue;
    cv::Mat result;
    kFilters.at(stage).first(source, position, result);
    const cv::Mat expected = areaScaled(result, area.size());
    const double wanted = std::max(spread(expected), 1e-9);
    for (const auto& [ms, picture] : frames) {
      distance[position].push_back(noise ? std::abs(spread(picture) / wanted - 1)
                                         : -cv::PSNR(picture, expected));
    }
  }
  for (const auto& [position, when] : reached) {
    double lag = -1;
    for (std::size_t i = 0; i < frames.size() && lag < 0; ++i)
      if (frames[i].first >= when && distance[position][i] <= near) lag = frames[i].first - when;
    lag < 0 ? std::printf("position %d none\n", position)
            : std::printf("position %d %.0f\n", position, lag);
  }
  std::set<int> shown;
  int changes = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (frames[i].first >= pressed && frames[i].first <= released) ++changes;
    auto best = distance.begin();
    for (auto it = distance.begin(); it != distance.end(); ++it)
      if (it->second[i] < best->second[i]) best = it;
    if (best->second[i] <= near) shown.insert(best->first);
  }
  std::printf("pictures %d %.3f\nshown %zu\nlast %d\n", changes, (released - pressed) / 1000,
              shown.size(), reached.back().first);
  return 0;
}

template <typename Action>
int withDisplay(const char* window, Action action) {
  // A window that vanished makes a request fail, which the caller notices.
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  Display* display = XOpenDisplay(nullptr);
  if (!display) return fail("cannot open the display");
  const int status = action(display, window ? std::strtoul(window, nullptr, 0) : 0);
  XCloseDisplay(display);
  return status;
}

// Runs an action on the picture of a window, or of an image file (its stored pixels).
int withPicture(const char* source, int (*action)(const cv::Mat&)) {
  if (::access(source, R_OK) == 0) return action(readStored(source));
  return withDisplay(
      source, [&](Display* display, Window window) { return action(grab(display, window)); });
}

}  // namespace

int main(int argc, char** argv) try {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "image" && (argc == 5 || argc == 6)) {  // PATH WIDTH HEIGHT [SEED], the format
    const unsigned seed = argc == 6 ? std::atoi(argv[5]) : 1;  // from the extension
    return write(argv[2], makePhoto(std::atoi(argv[4]), std::atoi(argv[3]), seed));
  }
  if (command == "expect" && argc >= 4 && argc % 2 == 0) return expect(argc, argv);
  if (command == "sliders" && argc == 3)
    return withPicture(argv[2], [](const cv::Mat& image) { return findSliders(image, false); });
  if (command == "grooves" && argc == 3)
    return withPicture(argv[2], [](const cv::Mat& image) { return findSliders(image, true); });
  if (command == "digest" && argc == 3) return withPicture(argv[2], digest);
  if (command == "cursor" && argc == 2) return withDisplay(nullptr, cursorDigest);
  if (command == "close" && argc == 3) return withDisplay(argv[2], requestClose);
  if (command == "ping" && argc == 4) {  // WINDOW SECONDS
    return withDisplay(argv[2], [&](Display* display, Window window) {
      return ping(display, window, std::atof(argv[3]));
    });
  }
  cv::Rect area;
  if (command == "locate" && argc == 5 &&  // WINDOW PHOTO WxH
      std::sscanf(argv[4], "%dx%d", &area.width, &area.height) == 2) {
    return withDisplay(argv[2], [&](Display* display, Window window) {
      return locate(display, window, readStored(argv[3], 0), area.size());
    });
  }
  cv::Point from, to;
  if (command == "drag" && argc >= 11 && argc % 2 == 1 &&  // IMAGE WxH+X+Y CONTROL X0,Y X1 ...
      std::sscanf(argv[3], "%dx%d+%d+%d", &area.width, &area.height, &area.x, &area.y) == 4 &&
      std::sscanf(argv[5], "%d,%d", &from.x, &from.y) == 2 &&
      std::sscanf(argv[6], "%d", &to.x) == 1) {
    std::vector<std::pair<std::string, int>> base;
    for (int i = 10; i + 2 < argc; i += 2) base.push_back({argv[i], std::atoi(argv[i + 1])});
    return withDisplay(argv[2], [&](Display* display, Window image) {
      return drag(display, image, area, std::strtoul(argv[4], nullptr, 0), from, to,
                  std::atof(argv[7]), argv[8], readStored(argv[9], 0), base, argv[argc - 1]);
    });
  }
  if (command == "levels" && argc == 4 &&  // PHOTO WxH
      std::sscanf(argv[3], "%dx%d", &area.width, &area.height) == 2) {
    return levels(readStored(argv[2], 0), area.size());
  }
  if (command == "record" && (argc == 8 || argc == 9) &&
      std::sscanf(argv[4], "%dx%d+%d+%d", &area.width, &area.height, &area.x, &area.y) == 4) {
    return withDisplay(argv[2], [&](Display* display, Window window) {
      return record(display, window, std::atof(argv[3]), area, readStored(argv[5], 0),
                    readStored(argv[6], 0), argv[7], argc == 9 && argv[8] == std::string("noise"));
    });
  }
  return fail(
      "usage: image PATH W H | expect IN OUT [STAGE VALUE]... | sliders|grooves|digest|close WINDOW"
      " | digest FILE | cursor | ping WINDOW SECONDS | locate WINDOW PHOTO WxH | levels PHOTO WxH"
      " | record WINDOW SECONDS WxH+X+Y PHOTO EXPECTED key:NAME|click [noise]"
      " | drag WINDOW WxH+X+Y CONTROL X0,Y X1 SECONDS TIMING PHOTO [BASE VALUE]... STAGE");
} catch (const std::exception& e) {
  return fail(e.what());
}
