// The program driver.
#include "session/driver.hpp"

#include <X11/keysym.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <new>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <utility>

#include "photo/load.hpp"
#include "photo/metadata.hpp"
#include "photo/output_name.hpp"
#include "photo/recipe_xmp.hpp"
#include "photo/save.hpp"
#include "pipeline/recipe.hpp"
#include "pipeline/stages.hpp"
#include "session/batch.hpp"
#include "session/desktop.hpp"
#include "session/display.hpp"
#include "session/runner.hpp"

namespace {

constexpr const char* kUsage =
    "usage: lumivet-tool [IMAGE]   filter IMAGE (or one chosen in a dialog) with sliders; "
    "any key saves it beside IMAGE as NAME_.jpg\n"
    "       lumivet-tool --apply \"RECIPE\" PHOTO...       apply a recipe such as "
    "\"Bilateral 3; Blur 4\" to each PHOTO, no windows\n"
    "       lumivet-tool --apply-from EDITED_.jpg PHOTO...  apply the recipe saved in "
    "EDITED_.jpg\n";

// Positions highgui writes when the user moves a slider. The value variables themselves belong to
// the stage runner's worker, which sets each from the move before it runs the stage.
std::array<int, kStageTable.size()> sliderPositions;
StageRunner* runner = nullptr;
bool slidersLive = false;
// A key was pressed or both windows closed: the queued moves finish, then the result is saved.
bool ending = false;
// SIGTERM, SIGHUP or SIGINT arrived: the running stage is abandoned and the last complete result
// saved.
bool signalled = false;

// Test hooks, read once: LUMIVET_TRACE names a file that gets the status line of every completed
// stage run, LUMIVET_SLOW_STAGE_MS slows every stage run down (to make merging and cancelling
// observable), LUMIVET_TIMING names a file that gets when runs start and how long showing took.
const char* const traceFile = std::getenv("LUMIVET_TRACE");
const char* const slowStageSetting = std::getenv("LUMIVET_SLOW_STAGE_MS");
const char* const timingFile = std::getenv("LUMIVET_TIMING");

// What the event loop has shown of the runner's work.
bool busyShown = false;
std::string statusShown;
cv::Size photoSize;
std::deque<std::string> failures;

void showStatus(const std::string& text) {
  if (text == statusShown) return;
  statusShown = text;
  showStatusLine(text);
}

// Shows a picture the runner made at the window's size.
void show(const Picture& picture) {
  QElapsedTimer timer;
  timer.start();
  showPhoto(picture.fit);
  if (timingFile) {
    std::ofstream(timingFile, std::ios::app)
        << "show " << picture.fit.cols << 'x' << picture.fit.rows << ' '
        << timer.nsecsElapsed() / 1e6 << '\n';
  }
}

void showFailures() {
  // A message box runs an event loop of its own, which refreshes the rest in the meantime.
  static bool showing = false;
  if (showing) return;
  showing = true;
  while (!failures.empty()) {
    const std::string failure = failures.front();
    failures.pop_front();
    showError("Filter failed", failure);
  }
  showing = false;
}

// Brings the windows up to date with the runner: finished runs in the status line, the newest
// picture in the photo window, the share done, the pointer.
void refresh() {
  static bool refreshing = false;
  if (refreshing || !runner) return;
  refreshing = true;
  for (const RunReport& report : runner->takeReports()) {
    if (!report.failure.empty()) {
      failures.push_back(report.failure);
      continue;
    }
    const std::string status =
        describeStageRun(report.slider->label, report.position, report.milliseconds);
    showStatus(status);
    if (traceFile) std::ofstream(traceFile, std::ios::app) << status << '\n';
  }
  // A result reopens a closed photo window, a preview does not; once the run is ending, closed
  // windows stay closed.
  const bool open = windowShown(kImageWindow);
  Picture picture;
  if (runner->takePicture(picture) && (open || (!ending && picture.kind == PictureKind::kExact))) {
    show(picture);
  }
  if (open) runner->setViewSize(photoViewSize(photoSize));
  const RunProgress progress = runner->progress();
  if (progress.slider && progress.seconds > 0.5) {
    showStatus(std::string(ending ? "Saving after " : "") + progress.slider->label + " " +
               std::to_string(progress.position) + " - " + std::to_string(progress.percent()) +
               "%");
  }
  const bool busy = runner->busy();
  if (busy != busyShown) {
    busyShown = busy;
    setBusy(busy);
  }
  refreshing = false;
  showFailures();
}

void onSliderMoved(int position, void* userData) {
  // highgui reports positions while the sliders are being created; nothing has moved yet.
  if (!slidersLive) return;
  runner->move(*static_cast<const StageSlider*>(userData), position);
  refresh();
}

// The signals that end a session save the work. The handler only writes to a pipe; the event
// loop reads it.
int signalPipe[2] = {-1, -1};

void onEndingSignal(int) {
  const int savedErrno = errno;
  const char byte = 1;
  const ssize_t written = ::write(signalPipe[1], &byte, 1);
  (void)written;
  errno = savedErrno;
}

void catchEndingSignals() {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, [] {
    char bytes[16];
    while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    signalled = true;
    // A dialog or message box waiting for the user gives way.
    if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
  });
  struct sigaction action = {};
  action.sa_handler = onEndingSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGHUP, SIGINT}) ::sigaction(signal, &action, nullptr);
}

// highgui's Qt windows report a key that types no character by its X keysym, and they report
// modifier keys pressed on their own as keys too. These are the keysyms of the modifier and lock
// keys: Shift, Control, Caps and Shift Lock, Meta, Alt, Super and Hyper; the ISO level and group
// keys (AltGr is ISO_Level3_Shift); Mode_switch and Num_Lock.
bool isModifierKey(int key) {
  return (key >= XK_Shift_L && key <= XK_Hyper_R) ||
         (key >= XK_ISO_Lock && key <= XK_ISO_Level5_Lock) || key == XK_Mode_switch ||
         key == XK_Num_Lock;
}

// Waits until a key that is not a lone modifier is pressed, both windows have been closed, or an
// ending signal has come.
void waitForEnd() {
  while (!signalled) {
    const int key = cv::waitKeyEx(100);
    if (key >= 0 && !isModifierKey(key)) return;
    if (!windowShown(kControlWindow) && !windowShown(kImageWindow)) return;
  }
}

// The moves made before the end still count: waits for them with the event loop running, unless
// a signal asks to end at once.
void waitForMoves() {
  ending = true;
  runner->finish();
  refresh();
  while (!signalled && runner->busy()) {
    cv::waitKeyEx(50);
    refresh();
  }
}

// Saves the result beside the input; when that fails, says why and offers another place. After a
// signal nobody may be there to answer, so the reason goes to stderr only.
int saveResult(const std::string& inputPath, const PhotoMetadata& metadata,
               const Pipeline& pipeline) {
  const auto failed = [](const std::string& message) {
    if (signalled) {
      std::cerr << "lumivet-tool: " << message << '\n';
    } else {
      showError("Could not save the result", message);
    }
  };
  std::vector<unsigned char> bytes;
  std::string error;
  if (!encodeResult(pipeline.result(), metadata, formatRecipe(pipeline.chain()), bytes, error)) {
    failed("The result could not be saved: " + error + ".");
    return 2;
  }
  std::string target = outputPathFor(inputPath);
  while (!writeFileAtomically(target, bytes, error)) {
    const std::string reason =
        "The result could not be saved as \"" + target + "\": " + error + ".";
    if (signalled) {
      failed(reason);
      return 2;
    }
    failed(reason + "\nChoose another place.");
    target = chooseSavePath(target, inputPath);
    if (target.empty()) return 2;
  }
  return 0;
}

}  // namespace

int runTool(int argc, char** argv) {
  std::string path;
  if (argc > 1) {
    const std::string arg = argv[1];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--apply" || arg == "--apply-from") return runBatch(argc - 1, argv + 1);
    if (arg == "--version") {
      std::cout << "lumivet-tool " << LUMIVET_VERSION << '\n';
      return 0;
    }
    if (argc > 2 || (arg.size() > 1 && arg[0] == '-')) {
      std::cerr << kUsage;
      return 2;
    }
    path = arg;
  }

  // Without a windowing system Qt can only abort; say so plainly instead.
  const auto isSet = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  if (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY") && !isSet("QT_QPA_PLATFORM")) {
    std::cerr << "lumivet-tool: no display to show the windows on (DISPLAY is not set)\n";
    return 1;
  }
  silenceConsole();
  // Photo-sized buffers are mapped from the system one by one and given back when freed. The
  // worker thread allocates from a malloc arena of its own, which would otherwise keep freed
  // buffers of small photos resident.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  // Qt reads options of its own from the command line; it gets none of ours.
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QApplication application(qtArgc, qtArgv);
  QApplication::setApplicationName("Lumivet Tool");

  catchEndingSignals();
  if (path.empty()) {
    path = chooseImageFile();
    if (path.empty() || signalled) return 0;
  }

  LoadedPhoto photo = loadPhoto(path, availableMemory());
  if (photo.image.empty()) {
    showError("Could not open the image", photo.error);
    return 1;
  }

  // The control window holds sliders only; the zoom toolbar belongs to the photo window.
  cv::namedWindow(kControlWindow, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
  for (std::size_t i = 0; i < kStageTable.size(); ++i) {
    const StageSlider& slider = kStageTable[i];
    sliderPositions[i] = slider.initial;
    cv::createTrackbar(slider.label, kControlWindow, &sliderPositions[i], slider.maximum,
                       onSliderMoved, const_cast<StageSlider*>(&slider));
  }
  showPhoto(photo.image);
  photoSize = photo.image.size();
  if (!photo.note.empty()) showStatus(photo.note);

  RunnerOptions options;
  options.wake = [] { QMetaObject::invokeMethod(qApp, refresh, Qt::QueuedConnection); };
  options.slowStageMs = slowStageSetting ? std::atoi(slowStageSetting) : 0;
  if (timingFile) options.timingFile = timingFile;
  // The exact pipeline holds the only reference: the stages may reuse the photo's buffer.
  StageRunner stageRunner(std::move(photo.image), options);
  runner = &stageRunner;
  stageRunner.setViewSize(photoViewSize(photoSize));
  QTimer ticker;  // progress four times a second and more
  QObject::connect(&ticker, &QTimer::timeout, refresh);
  ticker.start(100);
  slidersLive = true;

  waitForEnd();
  if (!signalled) waitForMoves();
  slidersLive = false;
  // After a signal, only the running stage's own move is lost.
  if (signalled) stageRunner.abandon();
  stageRunner.stop();
  refresh();
  ticker.stop();
  runner = nullptr;
  cv::destroyAllWindows();

  // Before any slider has moved, the result is the photo itself.
  return saveResult(path, photo.metadata, stageRunner.pipeline());
}
