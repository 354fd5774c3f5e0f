// The program driver.
#include "session/driver.hpp"

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
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fstream>
#include <future>
#include <iostream>
#include <mutex>
#include <new>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <utility>

#include "photo/identity.hpp"
#include "photo/load.hpp"
#include "photo/metadata.hpp"
#include "photo/output_name.hpp"
#include "photo/recipe_xmp.hpp"
#include "photo/sandbox.hpp"
#include "photo/save.hpp"
#include "pipeline/image_memory.hpp"
#include "pipeline/recipe.hpp"
#include "pipeline/stages.hpp"
#include "session/batch.hpp"
#include "session/journal.hpp"
#include "session/runner.hpp"
#include "ui/desktop.hpp"
#include "ui/display.hpp"
#include "ui/photo_window.hpp"

namespace {

constexpr const char* kUsage =
    "usage: lumivet-tool [IMAGE]   filter IMAGE (or one chosen in a dialog) with sliders; "
    "any key saves it beside IMAGE as NAME_.jpg\n"
    "       lumivet-tool --apply \"RECIPE\" [BATCH-OPTION...] PHOTO...       apply a recipe "
    "such as \"Bilateral 3; Blur 4\" to each PHOTO, no windows\n"
    "       lumivet-tool --apply-from EDITED_.jpg [BATCH-OPTION...] PHOTO...  apply the recipe "
    "saved in EDITED_.jpg\n"
    "       lumivet-tool -h | --help | --version   print this usage, or the version\n"
    "batch options: [--jobs N] photos at a time (default: one for each core)\n"
    "               [--files-from FILE] [-0]       more photos, one a line in FILE (- for "
    "standard input), or NUL-separated\n"
    "               [--output-dir DIR]             results under DIR, in the photos' folders "
    "relative to here\n"
    "               [--skip-done]                  skip photos whose result this recipe already "
    "made\n"
    "               [--log jsonl]                  a JSON line for each photo on standard "
    "output\n";

// Positions highgui writes when the user moves a slider. The value variables themselves belong to
// the stage runner's worker, which sets each from the move before it runs the stage.
std::array<int, kStageTable.size()> sliderPositions;
StageRunner* runner = nullptr;
bool slidersLive = false;
PhotoWindow* photoWindow = nullptr;
// A key was typed into the photo window, or its Save and close chosen.
bool endAsked = false;
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
std::deque<std::pair<std::string, std::string>> failures;  // title and message
// The journal of the edit, and what the worker found when it last wrote to it: whether the runs
// reach the disk (crash protection is on), and if not, why. The event loop shows a change in the
// status line.
EditJournal* journal = nullptr;
struct Protection {
  std::mutex mutex;
  bool on = true;
  bool changed = false;
  std::string cause;
} protection;

// The status line's word on crash protection after a change, and while it is off.
std::string protectionStatus(bool on, const std::string& cause) {
  return on ? "Crash protection is on again: the edit so far is kept"
            : "Crash protection is off: " + cause;
}

void showStatus(const std::string& text) {
  if (text == statusShown) return;
  statusShown = text;
  showStatusLine(text);
}

// Shows a picture the runner made at the window's size, with the photo-sized result for zooming
// in when it is one, opening the photo window again if the user closed it.
void show(const Picture& picture) {
  QElapsedTimer timer;
  timer.start();
  openPhotoWindow(photoSize);
  photoWindow->setPicture(picture.fit, picture.full, picture.marks, picture.histogram);
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
    const auto [title, message] = failures.front();
    failures.pop_front();
    showError(title, message);
  }
  showing = false;
}

// Brings the windows up to date with the runner: finished runs in the status line, the newest
// picture in the photo window, the share done, the pointer.
void refresh() {
  static bool refreshing = false;
  if (refreshing || !runner) return;
  refreshing = true;
  bool isProtected = true, changed = false;
  std::string cause;
  {
    const std::lock_guard<std::mutex> lock(protection.mutex);
    isProtected = protection.on, changed = protection.changed, cause = protection.cause;
    protection.changed = false;
  }
  for (const RunReport& report : runner->takeReports()) {
    if (!report.failure.empty()) {
      failures.push_back({"Filter failed", report.failure});
      continue;
    }
    std::string status =
        describeStageRun(report.slider->label, report.position, report.milliseconds);
    if (!isProtected) status += " (crash protection is off)";
    showStatus(status);
    if (traceFile) std::ofstream(traceFile, std::ios::app) << status << '\n';
  }
  if (changed) {
    const std::string status = protectionStatus(isProtected, cause);
    showStatus(status);
    if (!isProtected) std::cerr << "lumivet-tool: " << status << '\n';
    if (traceFile) std::ofstream(traceFile, std::ios::app) << status << '\n';
  }
  // A result reopens a closed photo window, a preview does not; once the run is ending, closed
  // windows stay closed.
  const bool open = windowShown(kImageWindow);
  Picture picture;
  if (runner->takePicture(picture) && (open || (!ending && picture.kind == PictureKind::kExact))) {
    show(picture);
  }
  if (runner->takeOriginal(picture)) {
    photoWindow->setOriginal(picture.fit, picture.full, picture.marks, picture.histogram);
  }
  const RunProgress progress = runner->progress();
  if (progress.slider && progress.seconds > 0.5) {
    const char* doing = ending ? "Saving after " : progress.replay ? "Restoring " : "";
    showStatus(doing + std::string(progress.slider->label) + " " +
               std::to_string(progress.position) + " - " + std::to_string(progress.percent()) +
               "%");
  }
  const bool busy = runner->busy();
  if (busy != busyShown) {
    busyShown = busy;
    setBusy(busy);
  }
  // Once the session has rested for a moment, the memory kept for the next pictures goes back to
  // the system: at rest the tool holds only what it shows. After a pause that long, only the
  // next picture pays for memory of its own again.
  static QElapsedTimer resting;
  static bool released = false;
  if (busy) {
    resting.invalidate();
    released = false;
  } else if (!resting.isValid()) {
    resting.start();
  } else if (!released && resting.elapsed() >= 300) {
    releaseKeptImageMemory();
    released = true;
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
    // A dialog or message box waiting for the user gives way, even one that refuses to close
    // without an answer.
    if (QWidget* modal = QApplication::activeModalWidget()) {
      if (!modal->close()) modal->hide();
    }
  });
  struct sigaction action = {};
  action.sa_handler = onEndingSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGHUP, SIGINT}) ::sigaction(signal, &action, nullptr);
}

// Waits until a key that is not a lone modifier is pressed (highgui reports a key that types no
// character by its X keysym, and modifier keys pressed on their own too), the photo window asks to
// end, both windows have been closed, or an ending signal has come.
void waitForEnd() {
  while (!signalled && !endAsked) {
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

// The question that offers the edit of `records`: when it was last changed, and its chain.
std::string restoreQuestion(const std::vector<JournalRecord>& records) {
  constexpr std::size_t kStepsNamed = 8;
  std::vector<StageStep> steps;
  for (const JournalRecord& record : journalChain(records)) {
    steps.push_back({record.stage, record.position});
  }
  std::string chain = formatRecipe(steps);
  if (steps.size() > kStepsNamed) {
    chain = formatRecipe({steps.begin(), steps.begin() + kStepsNamed}) + "; ... " +
            std::to_string(steps.size()) + " steps in all";
  }
  const std::time_t time = records.back().time;
  const std::tm* local = std::localtime(&time);
  char when[64] = "an earlier session";  // a time the calendar cannot show
  if (local) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", local);
  return std::string("Restore the unsaved edit from ") + when + " (" + chain + ")?";
}

// Offers the edit an earlier session left of this photo. Restore queues its chain on the runner
// and puts the sliders where that session left them; Discard forgets it.
void offerRestore(StageRunner& stageRunner) {
  if (journal->found() == EditJournal::Found::kDamaged) {
    showError("Could not restore the unsaved edit",
              "The unsaved edit of this photo could not be restored: " + journal->error() + ".");
  }
  // After an ending signal nobody may be there to answer: the journal stays for the next start.
  if (journal->found() != EditJournal::Found::kRestorable || signalled) return;
  const RestoreAnswer answer = askRestore(restoreQuestion(journal->records()));
  if (answer == RestoreAnswer::kDiscard) journal->discard();
  if (answer != RestoreAnswer::kRestore) return;
  journal->restore();
  std::vector<ReplayStep> chain;
  for (const JournalRecord& record : journalChain(journal->records())) {
    chain.push_back({sliderById(record.stage), record.position, record.rngState});
  }
  stageRunner.replay(chain);
  for (const JournalRecord& record : journal->records()) {
    cv::setTrackbarPos(sliderById(record.stage)->label, kControlWindow, record.position);
  }
}

// Saves the result beside the input, recording `source` as its photo; when that fails, says why
// and offers another place. After a signal nobody may be there to answer, so the reason goes to
// stderr only. `cleanEnd` tells whether the edit is done with: saved, or another place declined.
int saveResult(const std::string& inputPath, const PhotoMetadata& metadata,
               const Pipeline& pipeline, const PhotoSource* source, bool& cleanEnd) {
  cleanEnd = false;
  const auto failed = [](const std::string& message) {
    if (signalled) {
      std::cerr << "lumivet-tool: " << message << '\n';
    } else {
      showError("Could not save the result", message);
    }
  };
  std::vector<unsigned char> bytes;
  std::string error;
  if (!encodeResult(pipeline.result(), metadata, formatRecipe(pipeline.chain()), bytes, error,
                    source)) {
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
    if (target.empty()) {
      cleanEnd = !signalled;
      return 2;
    }
  }
  cleanEnd = true;
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
    if (isBatchOption(arg)) return runBatch(argc - 1, argv + 1);
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
  // The decoding helper sets its libraries up while the windows are made.
  startDecodingHelper();
  // Photo-sized buffers are mapped from the system one by one and given back when freed. The
  // worker thread allocates from a malloc arena of its own, which would otherwise keep freed
  // buffers of small photos resident.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  // Those of photo-sized images on huge pages, which fault in many times faster.
  useHugePagesForLargeImages();
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
    // How the decoder itself failed goes to stderr only: the user's message is that of a
    // damaged file.
    if (!photo.why.empty()) std::cerr << "lumivet-tool: " << photo.why << '\n';
    showError("Could not open the image", photo.error);
    return 1;
  }
  // The result records the photo it was made from, as the batch's results do, so that a batch
  // never replaces it with the result of another photo of the same name. The photo is hashed as
  // opened, off the GUI thread.
  std::future<PhotoSource> source = std::async(std::launch::async, [path] {
    PhotoSource identity;
    std::string error;
    return identifyPhoto(path, identity, error) ? identity : PhotoSource{};
  });

  // The control window holds sliders only; the zoom toolbar belongs to the photo window.
  cv::namedWindow(kControlWindow, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
  for (std::size_t i = 0; i < kStageTable.size(); ++i) {
    const StageSlider& slider = kStageTable[i];
    sliderPositions[i] = slider.initial;
    cv::createTrackbar(slider.label, kControlWindow, &sliderPositions[i], slider.maximum,
                       onSliderMoved, const_cast<StageSlider*>(&slider));
  }
  PhotoWindow window;
  photoWindow = &window;
  setPhotoWindow(&window);
  window.setEndHandler([] { endAsked = true; });
  // The runner makes the pictures again at the new size.
  window.setFitSizeHandler([](cv::Size size) {
    if (runner) runner->setViewSize(size);
  });
  photoSize = photo.image.size();
  openPhotoWindow(photoSize);
  if (!photo.note.empty()) showStatus(photo.note);
  EditJournal editJournal(defaultJournalFolder(), path);
  journal = &editJournal;

  RunnerOptions options;
  options.wake = [] { QMetaObject::invokeMethod(qApp, refresh, Qt::QueuedConnection); };
  options.slowStageMs = slowStageSetting ? std::atoi(slowStageSetting) : 0;
  if (timingFile) options.timingFile = timingFile;
  // Each completed run reaches the disk before the next starts, on the worker. After a failure
  // every run tries again.
  options.completed = [](const RunReport& report, std::size_t step) {
    const JournalRecord record{report.slider->id, report.position, static_cast<uint32_t>(step),
                               report.rngState, std::time(nullptr)};
    if (!journal->recording()) return;
    const bool kept = journal->append(record);
    const std::lock_guard<std::mutex> lock(protection.mutex);
    if (kept != protection.on) {
      protection.on = kept;
      protection.changed = true;
      protection.cause = journal->cause();
    }
  };
  // The exact pipeline holds the only reference: the stages may reuse the photo's buffer.
  StageRunner stageRunner(std::move(photo.image), options);
  runner = &stageRunner;
  stageRunner.setViewSize(photoViewSize(photoSize));
  QTimer ticker;  // progress four times a second and more
  QObject::connect(&ticker, &QTimer::timeout, refresh);
  ticker.start(100);
  offerRestore(stageRunner);
  if (journal->failing() || (!journal->recording() && !journal->error().empty())) {
    // Editing goes on; the journal is tried again at every run while it can be.
    const std::lock_guard<std::mutex> lock(protection.mutex);
    protection.on = false;
    protection.changed = true;
    protection.cause = journal->failing() ? journal->cause() : journal->error();
  }
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
  window.hide();
  setPhotoWindow(nullptr);
  photoWindow = nullptr;

  // Before any slider has moved, the result is the photo itself.
  bool cleanEnd = false;
  const PhotoSource identity = source.get();
  const int status = saveResult(path, photo.metadata, stageRunner.pipeline(),
                                identity.name.empty() ? nullptr : &identity, cleanEnd);
  if (cleanEnd) journal->endCleanly(stageRunner.pipeline().chain());
  journal = nullptr;
  return status;
}
