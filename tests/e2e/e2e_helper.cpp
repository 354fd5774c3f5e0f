// Helper of the end-to-end tests: makes input photos, computes the expected result of a slider
// chain with plain library calls, and does the few things to X windows that xdotool cannot:
// finding the sliders in the control window, fingerprinting a window's picture, screenshots, and
// the close request a window manager sends.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exiv2/exiv2.hpp>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

namespace {

int usage() {
  std::fputs(
      "usage: lumivet-e2e-helper COMMAND ...\n"
      "  image PATH WIDTH HEIGHT       write a test photo (format from the extension)\n"
      "  header PATH WIDTH HEIGHT      write only the header of a 24-bit BMP of that size\n"
      "  expect IN OUT [STAGE VALUE]...  load IN as the tool does, apply the stages in order\n"
      "                                (bilateral, blur, white, black) and write OUT with "
      "imwrite,\n"
      "                                with the tool's creator and recipe in its XMP\n"
      "  sliders WINDOW                print a click point \"X Y\" on each slider, top to bottom\n"
      "  digest WINDOW                 print a fingerprint of the window's picture\n"
      "  shot PATH                     save a screenshot of the whole screen\n"
      "  close WINDOW                  ask the window to close, as a window manager does\n"
      "  camera PATH WIDTH HEIGHT      write a camera JPEG: stored sideways (orientation 6),\n"
      "                                with date, maker and model\n"
      "  tags PATH                     print the stored size, orientation, date, maker, model\n"
      "  cursor                        print a fingerprint of the pointer's current shape\n",
      stderr);
  return 2;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "lumivet-e2e-helper: %s\n", message.c_str());
  return 1;
}

// A photo with smooth colour gradients, hard edges and grain, so that blurring and cutting off
// dark samples both change many samples.
int makeImage(const std::string& path, int width, int height) {
  cv::Mat image(height, width, CV_8UC3);
  cv::RNG rng(20240611);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int edge = ((x / 24 + y / 16) % 2) * 60;
      cv::Vec3b& px = image.at<cv::Vec3b>(y, x);
      px[0] = cv::saturate_cast<uchar>(x * 255 / width + rng.uniform(-20, 21));
      px[1] = cv::saturate_cast<uchar>(y * 255 / height - edge + rng.uniform(-20, 21));
      px[2] = cv::saturate_cast<uchar>((x + y) * 128 / (width + height) + edge);
    }
  }
  return cv::imwrite(path, image) ? 0 : fail("cannot write " + path);
}

// The 54-byte header of an uncompressed 24-bit BMP without its pixels: enough for a reader to
// learn the size and give up, or refuse it as too large, before it needs any pixel.
int makeHeader(const std::string& path, std::uint32_t width, std::uint32_t height) {
  const std::uint32_t rowBytes = (width * 3 + 3) / 4 * 4;
  const std::uint32_t fields[] = {54 + rowBytes * height, 0, 54, 40, width, height};
  std::vector<unsigned char> bytes = {'B', 'M'};
  for (std::uint32_t field : fields) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back((field >> shift) & 0xff);
  }
  const unsigned char rest[] = {1, 0, 24, 0};  // one plane, 24 bits per pixel
  bytes.insert(bytes.end(), rest, rest + 4);
  bytes.resize(54, 0);  // no compression, default resolution and palette
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return fail("cannot write " + path);
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written ? 0 : fail("cannot write " + path);
}

int expect(int argc, char** argv) {
  cv::Mat image = cv::imread(argv[2], cv::IMREAD_COLOR);
  if (image.empty()) return fail(std::string("cannot read ") + argv[2]);
  std::string recipe;
  for (int i = 4; i + 1 < argc; i += 2) {
    const std::string stage = argv[i];
    const int v = std::atoi(argv[i + 1]);
    const char* label = stage == "bilateral" ? "Bilateral"
                        : stage == "blur"    ? "Blur"
                        : stage == "white"   ? "White->0"
                                             : "Black->0";
    recipe += (recipe.empty() ? "" : "; ") + std::string(label) + " " + argv[i + 1];
    cv::Mat out;
    if (stage == "bilateral") {
      cv::bilateralFilter(image, out, 2 * v + 1, 4.0 * v + 1.0, v + 1.0, cv::BORDER_DEFAULT);
    } else if (stage == "blur") {
      cv::GaussianBlur(image, out, cv::Size(2 * v + 1, 2 * v + 1), 0.0, 0.0, cv::BORDER_DEFAULT);
    } else if (stage == "white") {
      cv::threshold(image, out, v, 0.0, cv::THRESH_TRUNC);
    } else if (stage == "black") {
      cv::threshold(image, out, v, 0.0, cv::THRESH_TOZERO);
    } else {
      return fail("unknown stage " + stage);
    }
    image = out;
  }
  if (!cv::imwrite(argv[3], image)) return fail(std::string("cannot write ") + argv[3]);
  try {
    Exiv2::XmpProperties::registerNs("https://lumivet.org/ns/recipe/1.0/", "lumivet");
    auto saved = Exiv2::ImageFactory::open(argv[3]);
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

// A window that vanished or is not mapped makes the request fail; report that instead of exiting.
int ignoreXError(Display*, XErrorEvent*) {
  return 0;
}

Display* openDisplay() {
  XSetErrorHandler(ignoreXError);
  Display* display = XOpenDisplay(nullptr);
  if (!display) std::fprintf(stderr, "lumivet-e2e-helper: cannot open the display\n");
  return display;
}

// The picture of a window as a BGR image; empty if the window cannot be read.
cv::Mat grab(Display* display, Window window) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, window, &attributes)) return cv::Mat();
  XImage* ximage =
      XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
  if (!ximage) return cv::Mat();
  cv::Mat image(attributes.height, attributes.width, CV_8UC3);
  for (int y = 0; y < image.rows; ++y) {
    for (int x = 0; x < image.cols; ++x) {
      const unsigned long pixel = XGetPixel(ximage, x, y);
      image.at<cv::Vec3b>(y, x) =
          cv::Vec3b(pixel & 0xff, (pixel >> 8) & 0xff, (pixel >> 16) & 0xff);
    }
  }
  XDestroyImage(ximage);
  return image;
}

// A slider groove is the only thing in the control window drawn as a long unbroken horizontal
// run that differs from the background at the row's left edge; its rows form one band per slider.
int findSliders(Display* display, Window window) {
  const cv::Mat image = grab(display, window);
  if (image.empty()) return fail("cannot read the window");
  const int probe = image.cols - 50;
  if (probe < image.cols / 2) return fail("the window is too narrow");
  int bandStart = -1;
  int bandLeft = 0;
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

int digest(Display* display, Window window) {
  const cv::Mat image = grab(display, window);
  if (image.empty()) return fail("cannot read the window");
  unsigned long long hash = 14695981039346656037ull;
  for (int y = 0; y < image.rows; ++y) {
    const uchar* row = image.ptr<uchar>(y);
    for (int i = 0; i < image.cols * 3; ++i) hash = (hash ^ row[i]) * 1099511628211ull;
  }
  std::printf("%016llx\n", hash);
  return 0;
}

int screenshot(Display* display, const std::string& path) {
  const cv::Mat image = grab(display, DefaultRootWindow(display));
  if (image.empty()) return fail("cannot read the screen");
  return cv::imwrite(path, image) ? 0 : fail("cannot write " + path);
}

// The ICCCM close request: a WM_PROTOCOLS client message carrying WM_DELETE_WINDOW.
int requestClose(Display* display, Window window) {
  XEvent event;
  std::memset(&event, 0, sizeof event);
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  if (!XSendEvent(display, window, False, NoEventMask, &event)) return fail("cannot send");
  XSync(display, False);
  return 0;
}

int withWindow(int argc, char** argv, int (*action)(Display*, Window)) {
  if (argc != 3) return usage();
  Display* display = openDisplay();
  if (!display) return 1;
  const int status = action(display, static_cast<Window>(std::strtoul(argv[2], nullptr, 0)));
  XCloseDisplay(display);
  return status;
}

template <typename AutoPointer>
auto owned(AutoPointer pointer) {
  return std::unique_ptr<typename AutoPointer::element_type>(pointer.release());
}

int makeCameraJpeg(const std::string& path, int width, int height) {
  if (makeImage(path, width, height) != 0) return 1;
  try {
    auto image = owned(Exiv2::ImageFactory::open(path));
    Exiv2::ExifData exif;
    exif["Exif.Image.Orientation"] = uint16_t(6);
    exif["Exif.Photo.DateTimeOriginal"] = "2024:06:11 09:30:00";
    exif["Exif.Image.Make"] = "E2E Camera Works";
    exif["Exif.Image.Model"] = "Model 9";
    image->setExifData(exif);
    image->writeMetadata();
  } catch (const std::exception& e) {
    return fail(std::string("cannot write metadata: ") + e.what());
  }
  return 0;
}

int printTags(const std::string& path) {
  const cv::Mat stored = cv::imread(path, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
  if (stored.empty()) return fail("cannot read " + path);
  std::printf("size %dx%d\n", stored.cols, stored.rows);
  try {
    auto image = owned(Exiv2::ImageFactory::open(path));
    image->readMetadata();
    const Exiv2::ExifData& exif = image->exifData();
    for (const char* key : {"Exif.Image.Orientation", "Exif.Photo.DateTimeOriginal",
                            "Exif.Image.Make", "Exif.Image.Model"}) {
      const auto tag = exif.findKey(Exiv2::ExifKey(key));
      std::printf("%s %s\n", key, tag == exif.end() ? "-" : tag->toString().c_str());
    }
  } catch (const std::exception& e) {
    return fail(std::string("cannot read metadata: ") + e.what());
  }
  return 0;
}

// The pointer's shape as the X server shows it, whichever window it is over.
int cursorDigest(Display* display) {
  XFixesCursorImage* cursor = XFixesGetCursorImage(display);
  if (!cursor) return fail("cannot read the pointer");
  unsigned long long hash = 14695981039346656037ull;
  for (int i = 0; i < cursor->width * cursor->height; ++i) {
    hash = (hash ^ (cursor->pixels[i] & 0xffffffffu)) * 1099511628211ull;
  }
  std::printf("%dx%d-%016llx\n", cursor->width, cursor->height, hash);
  XFree(cursor);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "image" && argc == 5)
    return makeImage(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  if (command == "header" && argc == 5) {
    return makeHeader(argv[2], std::strtoul(argv[3], nullptr, 10),
                      std::strtoul(argv[4], nullptr, 10));
  }
  if (command == "expect" && argc >= 4 && argc % 2 == 0) return expect(argc, argv);
  if (command == "sliders") return withWindow(argc, argv, findSliders);
  if (command == "digest") return withWindow(argc, argv, digest);
  if (command == "close") return withWindow(argc, argv, requestClose);
  if (command == "camera" && argc == 5)
    return makeCameraJpeg(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  if (command == "tags" && argc == 3) return printTags(argv[2]);
  if (command == "cursor" && argc == 2) {
    Display* display = openDisplay();
    if (!display) return 1;
    const int status = cursorDigest(display);
    XCloseDisplay(display);
    return status;
  }
  if (command == "shot" && argc == 3) {
    Display* display = openDisplay();
    if (!display) return 1;
    const int status = screenshot(display, argv[2]);
    XCloseDisplay(display);
    return status;
  }
  return usage();
}
