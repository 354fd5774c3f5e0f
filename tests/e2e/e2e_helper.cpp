// Helper of the end-to-end tests: makes input photos, computes expected results with the
// project's own stage filters, and does the few things to X windows that xdotool cannot: finding
// the sliders, fingerprinting a window's picture or the pointer, and a window manager's close
// request and ping.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>
#include <sys/select.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exiv2/exiv2.hpp>
#include <map>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "stages/stages.hpp"
#include "tests/test_images.hpp"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "lumivet-e2e-helper: %s\n", message.c_str());
  return 1;
}

int write(const std::string& path, const cv::Mat& image) {
  return cv::imwrite(path, image) ? 0 : fail("cannot write " + path);
}

// Applies the named filters one after another, each to the result of the one before, as the tool
// does when the user moves one slider after another, and records them as the tool's recipe.
int expect(int argc, char** argv) {
  using Filter = void (*)(const cv::Mat&, int, cv::Mat&);
  const std::map<std::string, std::pair<Filter, const char*>> filters = {
      {"bilateral", {filterBilateral, "Bilateral"}}, {"blur", {filterBlur, "Blur"}},
      {"white", {filterWhiteToZero, "White->0"}},    {"black", {filterBlackToZero, "Black->0"}},
      {"smooth", {filterSmooth, "C.Smooth"}},        {"stretchc", {filterStretchC, "C.StretchC"}}};
  cv::Mat image = cv::imread(argv[2], cv::IMREAD_COLOR);
  if (image.empty()) return fail(std::string("cannot read ") + argv[2]);
  std::string recipe;
  for (int i = 4; i + 1 < argc; i += 2) {
    const auto filter = filters.find(argv[i]);
    if (filter == filters.end()) return fail(std::string("unknown stage ") + argv[i]);
    recipe += (recipe.empty() ? "" : "; ") + std::string(filter->second.second) + " " + argv[i + 1];
    cv::Mat out;
    filter->second.first(image, std::atoi(argv[i + 1]), out);
    image = out;
  }
  if (write(argv[3], image) != 0) return 1;
  try {
    Exiv2::XmpProperties::registerNs("https://lumivet.org/ns/recipe/1.0/", "lumivet");
    const std::unique_ptr<Exiv2::Image> saved(Exiv2::ImageFactory::open(argv[3]).release());
    saved->readMetadata();
    Exiv2::XmpData xmp;
    if (!recipe.empty()) xmp["Xmp.lumivet.Recipe"] = recipe;
    xmp["Xmp.xmp.CreatorTool"] = std::string("Lumivet Tool ") + LUMIVET_VERSION;
    saved->setXmpData(xmp);
    saved->writeMetadata();
  } catch (const std::exception& e) {
    return fail(std::string("cannot write XMP to ") + argv[3] + ": " + e.what());
  }
  return 0;
}

unsigned long long hashBytes(const uchar* bytes, std::size_t n, unsigned long long hash) {
  for (std::size_t i = 0; i < n; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  return hash;
}

// The picture of a window as a BGR image; empty if the window cannot be read.
cv::Mat grab(Display* display, Window window) {
  XWindowAttributes a;
  XImage* x = XGetWindowAttributes(display, window, &a)
                  ? XGetImage(display, window, 0, 0, a.width, a.height, AllPlanes, ZPixmap)
                  : nullptr;
  if (!x) return cv::Mat();
  cv::Mat image(a.height, a.width, CV_8UC3);
  for (int y = 0; y < image.rows; ++y) {
    for (int i = 0; i < image.cols; ++i) {
      const unsigned long p = XGetPixel(x, i, y);
      image.at<cv::Vec3b>(y, i) = cv::Vec3b(p & 0xff, (p >> 8) & 0xff, (p >> 16) & 0xff);
    }
  }
  XDestroyImage(x);
  return image;
}

// A slider groove is the only thing in the control window drawn as a long unbroken horizontal
// run that differs from the background at the row's left edge; its rows form one band per slider.
// Prints a click point "X Y" on each slider, top to bottom.
int findSliders(Display*, const cv::Mat& image) {
  const int probe = image.cols - 50;
  if (probe < image.cols / 2) return fail("the window is too narrow");
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
      if (y - bandStart >= 4) std::printf("%d %d\n", (bandLeft + probe) / 2, (bandStart + y) / 2);
      bandStart = -1;
    }
  }
  return 0;
}

int digest(Display*, const cv::Mat& image) {
  unsigned long long hash = 14695981039346656037ull;
  for (int y = 0; y < image.rows; ++y) hash = hashBytes(image.ptr(y), image.cols * 3, hash);
  std::printf("%016llx\n", hash);
  return 0;
}

// The ICCCM close request: a WM_PROTOCOLS client message carrying WM_DELETE_WINDOW.
int requestClose(Display* display, Window window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  if (!XSendEvent(display, window, False, NoEventMask, &event)) return fail("cannot send");
  XSync(display, False);
  return 0;
}

// The pointer's shape as the X server shows it, whichever window it is over.
int cursorDigest(Display* display, Window) {
  XFixesCursorImage* cursor = XFixesGetCursorImage(display);
  if (!cursor) return fail("cannot read the pointer");
  unsigned long long hash = 14695981039346656037ull;
  for (int i = 0; i < cursor->width * cursor->height; ++i) {
    const auto pixel = static_cast<uint32_t>(cursor->pixels[i]);
    hash = hashBytes(reinterpret_cast<const uchar*>(&pixel), sizeof pixel, hash);
  }
  std::printf("%dx%d-%016llx\n", cursor->width, cursor->height, hash);
  XFree(cursor);
  return 0;
}

int ignoreXError(Display*, XErrorEvent*) {
  return 0;  // a window that vanished makes the request fail, which the caller reports
}

template <typename Action>
int withDisplay(const char* window, Action action) {
  XSetErrorHandler(ignoreXError);
  Display* display = XOpenDisplay(nullptr);
  if (!display) return fail("cannot open the display");
  const int status = action(display, window ? std::strtoul(window, nullptr, 0) : 0);
  XCloseDisplay(display);
  return status;
}

// Runs an action on the picture of a window, or of an image file (its stored pixels).
int withPicture(const char* source, int (*action)(Display*, const cv::Mat&)) {
  if (::access(source, R_OK) == 0) {
    const cv::Mat file = cv::imread(source, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
    return file.empty() ? fail(std::string("cannot read ") + source) : action(nullptr, file);
  }
  return withDisplay(source, [&](Display* display, Window window) {
    const cv::Mat image = grab(display, window);
    return image.empty() ? fail("cannot read the window") : action(display, image);
  });
}

// A camera JPEG: stored sideways (orientation 6), with date, maker and model.
int makeCameraJpeg(const std::string& path, int width, int height) {
  if (write(path, makePhoto(height, width)) != 0) return 1;
  auto image = Exiv2::ImageFactory::open(path);
  Exiv2::ExifData exif;
  exif["Exif.Image.Orientation"] = uint16_t(6);
  exif["Exif.Photo.DateTimeOriginal"] = "2024:06:11 09:30:00";
  exif["Exif.Image.Make"] = "E2E Camera Works";
  exif["Exif.Image.Model"] = "Model 9";
  image->setExifData(exif);
  image->writeMetadata();
  return 0;
}

// Prints the stored size, orientation, date, maker and model.
int printTags(const std::string& path) {
  const cv::Mat stored = cv::imread(path, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
  if (stored.empty()) return fail("cannot read " + path);
  std::printf("size %dx%d\n", stored.cols, stored.rows);
  auto image = Exiv2::ImageFactory::open(path);
  image->readMetadata();
  const Exiv2::ExifData& exif = image->exifData();
  for (const char* key : {"Exif.Image.Orientation", "Exif.Photo.DateTimeOriginal",
                          "Exif.Image.Make", "Exif.Image.Model"}) {
    const auto tag = exif.findKey(Exiv2::ExifKey(key));
    std::printf("%s %s\n", key, tag == exif.end() ? "-" : tag->toString().c_str());
  }
  return 0;
}

double nowMs(bool wall = false) {
  const auto since = wall ? std::chrono::system_clock::now().time_since_epoch()
                          : std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration<double, std::milli>(since).count();
}

// The window manager's liveness check (_NET_WM_PING in a WM_PROTOCOLS client message), every
// 100 ms for SECONDS or until the window goes. The client answers to the root window with the
// substructure redirect mask, which only the window manager may select: the helper plays it, and
// passes on the map and configure requests that then come to it. One line per ping: its
// wall-clock send time in ms and the reply's latency, or "none" for a ping still unanswered when
// the window went 350 ms or more after it was sent.
int ping(Display* display, Window window, double seconds) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const Window root = DefaultRootWindow(display);
  XSelectInput(display, root, SubstructureNotifyMask | SubstructureRedirectMask);
  const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  const Atom pingAtom = XInternAtom(display, "_NET_WM_PING", False);
  std::map<long, std::pair<double, double>> pending;  // id: sent (steady, wall)
  const double end = nowMs() + seconds * 1000;
  double nextPing = nowMs();
  long id = 0;
  // After the last ping, replies are awaited for 300 ms more.
  for (XWindowAttributes attributes; nowMs() < end + 300;) {
    if (nowMs() >= nextPing && nowMs() < end) {
      if (!XGetWindowAttributes(display, window, &attributes)) {
        for (const auto& [sent, times] : pending)
          if (times.first < nowMs() - 350) std::printf("%.0f none\n", times.second);
        return 0;
      }
      XEvent event;
      std::memset(&event, 0, sizeof event);
      event.xclient.type = ClientMessage;
      event.xclient.window = window;
      event.xclient.message_type = protocols;
      event.xclient.format = 32;
      event.xclient.data.l[0] = static_cast<long>(pingAtom);
      event.xclient.data.l[1] = ++id;  // the timestamp field, as an id
      event.xclient.data.l[2] = static_cast<long>(window);
      XSendEvent(display, window, False, NoEventMask, &event);
      XFlush(display);
      pending[id] = {nowMs(), nowMs(true)};
      nextPing += 100;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(ConnectionNumber(display), &readable);
    timeval wait = {0, 5000};
    select(ConnectionNumber(display) + 1, &readable, nullptr, nullptr, &wait);
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MapRequest) XMapWindow(display, event.xmaprequest.window);
      if (event.type == ConfigureRequest) {
        const XConfigureRequestEvent& request = event.xconfigurerequest;
        XWindowChanges changes = {
            request.x,     request.y,     request.width, request.height, request.border_width,
            request.above, request.detail};
        XConfigureWindow(display, request.window, request.value_mask, &changes);
      }
      if (event.type != ClientMessage || event.xclient.message_type != protocols ||
          static_cast<Atom>(event.xclient.data.l[0]) != pingAtom)
        continue;
      const auto answered = pending.find(event.xclient.data.l[1]);
      if (answered == pending.end()) continue;
      std::printf("%.0f %.0f\n", answered->second.second, nowMs() - answered->second.first);
      pending.erase(answered);
    }
  }
  for (const auto& [sent, times] : pending) std::printf("%.0f none\n", times.second);
  return 0;
}

}  // namespace

int main(int argc, char** argv) try {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "image" && argc == 5)  // PATH WIDTH HEIGHT, format from the extension
    return write(argv[2], makePhoto(std::atoi(argv[4]), std::atoi(argv[3])));
  if (command == "camera" && argc == 5)
    return makeCameraJpeg(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  if (command == "tags" && argc == 3) return printTags(argv[2]);
  if (command == "expect" && argc >= 4 && argc % 2 == 0) return expect(argc, argv);
  if (command == "sliders" && argc == 3) return withPicture(argv[2], findSliders);
  if (command == "digest" && argc == 3) return withPicture(argv[2], digest);
  if (command == "close" && argc == 3) return withDisplay(argv[2], requestClose);
  if (command == "cursor" && argc == 2) return withDisplay(nullptr, cursorDigest);
  if (command == "ping" && argc == 4) {  // WINDOW SECONDS
    return withDisplay(argv[2], [&](Display* display, Window window) {
      return ping(display, window, std::atof(argv[3]));
    });
  }
  std::fputs(
      "usage: lumivet-e2e-helper image|camera PATH WIDTH HEIGHT | tags PATH\n"
      "       | expect IN OUT [bilateral|blur|white|black|smooth|stretchc VALUE]...\n"
      "       | sliders|digest|close WINDOW | digest IMAGE-FILE | cursor | ping WINDOW SECONDS\n",
      stderr);
  return 2;
} catch (const std::exception& e) {
  return fail(e.what());
}
